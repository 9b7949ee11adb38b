// SPDX-License-Identifier: MIT
// The commands of varnolink: each runs on one module connection and reports
// as text or one JSON object, with the exit code it ends with.
#include "cli/commands.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_results.h"
#include "cli/commission.h"
#include "cli/doctor.h"
#include "cli/journal_command.h"
#include "cli/json_writer.h"
#include "cli/module_held.h"
#include "cli/plant_commands.h"
#include "cli/port_advice.h"
#include "cli/progress_line.h"
#include "cli/run_lock.h"
#include "main/files/commission_log.h"
#include "main/files/backup_store.h"
#include "main/files/config_file.h"
#include "main/files/inventory.h"
#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"
#include "main/engine/change_journal.h"
#include "main/engine/module_connection.h"
#include "main/engine/speed_search.h"
#include "main/ports/port_candidates.h"
#include "main/ports/port_listing.h"
#include "main/ports/udev_source.h"

namespace varnolink {

namespace {

// -v: each wire event as a line on stderr, at once.
class TStreamWireLog final : public TWireObserver {
public:
    explicit TStreamWireLog(std::ostream& Err) : Err_(Err) {}
    void OnWireEvent(const TWireEvent& Event) override { Err_ << FormatWireEvent(Event) << std::endl; }

private:
    std::ostream& Err_;
};

// An output file that cannot be written is refused before the port is
// opened, not after the module has been read.
void CheckOutputPath(const std::string& Path)
{
    const std::size_t Slash = Path.rfind('/');
    const std::string Folder = Slash == std::string::npos ? "." : Slash == 0 ? "/" : Path.substr(0, Slash);
    struct stat Info {};
    std::string Why;
    if (::stat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode))
        Why = "is a folder";
    else if (::access(Path.c_str(), F_OK) == 0 ? ::access(Path.c_str(), W_OK) != 0
                                               : ::access(Folder.c_str(), W_OK) != 0)
        Why = std::strerror(errno);
    if (!Why.empty())
        throw EConfigFile(Path, 0, "", "cannot be written: " + Why);
}

// One command's run: the connection, the output and the failure report.
class TCommandRun {
public:
    TCommandRun(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err)
        : Args_(Arguments),
          StopFd_(StopFd),
          Out_(Out),
          Err_(Err),
          WireLog_(Err),
          // The progress line is the terminal's; -v prints the wire instead,
          // and commission reports each module on lines of its own.
          Progress_(STDERR_FILENO, Arguments.ErrIsTerminal && !Arguments.Quiet && !Arguments.Verbose &&
                                       Arguments.Command != TCliCommand::Commission)
    {
        Json_.BeginObject().Member("command", CliCommandName(Args_.Command));
    }

    int Run()
    {
        int Code = ExitDone;
        try {
            Code = Dispatch();
        } catch (const EUsage& Error) {
            Code = Fail(ExitUsageOrFile, "usage", Error.what(), {});
        } catch (const EConfigFile& Error) {
            Code = Fail(ExitUsageOrFile, "file", Error.what(), {});
        } catch (const EInventory& Error) {
            Code = Fail(ExitUsageOrFile, "file", Error.what(), {});
        } catch (const EJournal& Error) {
            Code = Fail(ExitUsageOrFile, "file", Error.what(), {});
        } catch (const ERunLocked& Error) {
            Code = Fail(ExitLocked, "locked", Error.what(), {});
        } catch (const EModulePort& Error) {
            const std::string Advice =
                Error.Chain() ? std::string() : PortAdvice(Args_.Port, Error.SystemError(), Error.what());
            Code = Fail(ExitPort, "port", Error.what(), Error.Chain(), Advice);
        } catch (const EModuleNoReply& Error) {
            Json_.Member("request", DescribeStep(Error.Step()));
            Code = Fail(ExitNoReply, "no_reply", Error.what(), Error.Chain(), "",
                        "is the module powered, wired (A to A, B to B) and set to 9600 baud?");
        } catch (const EModuleReply& Error) {
            Code = Fail(ExitNoReply, "reply", Error.what(), {});
        } catch (const EModuleStopped& Error) {
            Code = Fail(ExitStopped, "stopped", Error.what(), Error.Chain());
        } catch (const std::exception& Error) {
            Code = Fail(ExitPort, "port", Error.what(), {});
        }
        Progress_.Erase();
        if (!Backup_.empty() && !Args_.Json)
            Err_ << "varnolink: what the module held before is kept in " << Backup_ << std::endl;
        if (Args_.Json) {
            // Whether the module was changed, and how, for configuration
            // tools that decide "changed" from a command's last line.
            if (Changed_)
                Json_.Member("changed", *Changed_).Member("comment", Comment_);
            Json_.Member("ok", Code == ExitDone).Member("exit_code", static_cast<int64_t>(Code)).EndObject();
            Out_ << Json_.Text() << std::endl;
        }
        return Code;
    }

private:
    // The plain words with their remedy first (Advice), then the message;
    // a write that ended early names what the module holds. Commission has
    // named it for its module already.
    int Fail(int Code, const char* Kind, const std::string& Message, const std::optional<TChainResult>& Chain,
             const std::string& Advice = {}, const std::string& Remedy = {})
    {
        Progress_.Erase();
        EndChange(Chain, Message);
        const bool Writes = Args_.Command == TCliCommand::Write || Args_.Command == TCliCommand::Default ||
                            Args_.Command == TCliCommand::Restore;
        const TModuleHeld Held = Chain ? TModuleHeld::Of(*Chain) : TModuleHeld{};
        if (!Advice.empty())
            Err_ << "varnolink: " << Advice << std::endl;
        Err_ << "varnolink: " << Message << std::endl;
        if (!Remedy.empty())
            Err_ << "varnolink: " << Remedy << std::endl;
        if (Writes && Code != ExitUsageOrFile)
            PrintModuleHeld(Held, Err_);
        Json_.Key("error").BeginObject().Member("kind", Kind).Member("message", Message);
        if (!Advice.empty() || !Remedy.empty())
            Json_.Member("advice", Advice.empty() ? Remedy : Advice);
        Json_.EndObject();
        if (Writes) {
            WriteModuleHeld(Json_, Held);
            Changed_ = !Held.Written.empty() || Held.Unconfirmed.has_value();
            Comment_ = Message + "; written: " + ListedFields(Held.Written) +
                       (Held.Unconfirmed ? "; sent, not confirmed: " + *Held.Unconfirmed : std::string()) +
                       (Held.NotSent.empty() ? std::string() : "; not sent: " + ListedFields(Held.NotSent));
        }
        return Code;
    }

    int Dispatch()
    {
        switch (Args_.Command) {
        case TCliCommand::Ports:
            return Ports();
        case TCliCommand::Identify:
            return Identify();
        case TCliCommand::Read:
            return Read();
        case TCliCommand::Write:
        case TCliCommand::Restore:
            return Write();
        case TCliCommand::Backups:
            return Backups();
        case TCliCommand::Diff:
            return Diff();
        case TCliCommand::Default:
            return Default();
        case TCliCommand::Commission:
            return RunCommission(Args_, Connection_, Args_.Verbose ? &WireLog_ : nullptr, StopFd_, STDIN_FILENO, Out_,
                                 Err_, Json_);
        case TCliCommand::Find:
            if (Args_.Speeds)
                return FindSpeeds();
            return RunPlantCommand(Args_, StopFd_, Out_, Err_, Json_, Progress_);
        case TCliCommand::Audit:
        case TCliCommand::Backup:
        case TCliCommand::Apply:
            return RunPlantCommand(Args_, StopFd_, Out_, Err_, Json_, Progress_);
        case TCliCommand::Doctor:
            return RunDoctor(Args_, StopFd_, Out_, Json_);
        case TCliCommand::Journal:
            return ListJournal(Args_, Out_, Err_, Json_);
        case TCliCommand::None:
            break;
        }
        throw EUsage("no command given");
    }

    TModuleConnection& Connect()
    {
        // Ctrl-C ends the chain at once; the request on the line is then
        // sent and unconfirmed.
        Connection_.SetStopDescriptor(StopFd_ >= 0 ? StopFd_ : -1, TStopWhen::Now);
        if (Args_.Verbose)
            Connection_.SetWireObserver(&WireLog_);
        Progress_.Follow(Connection_);
        OpenModulePort(Connection_, Args_);
        Json_.Member("port", TModuleConnection::DevicePathOf(Args_.Port));
        Identity_ = Connection_.Identify();
        Json_.Key("identity");
        WriteIdentityJson(Json_, Identity_);
        return Connection_;
    }

    // The result as --json asks: text or members of the JSON object.
    template <class TResult>
    void Render(const TResult& Result)
    {
        RenderResult(Result, Args_.Json, Out_, Json_);
    }

    // The list the window offers, with the same descriptions and holders.
    int Ports()
    {
        const std::unique_ptr<TUdevSource> Udev = MakeLibudevSource();
        Render(TPortsResult{ListPorts(PortCandidates(), Udev.get(), PortLabels())});
        return ExitDone;
    }

    int Identify()
    {
        Connect();
        Render(TIdentifyResult{Identity_});
        return ExitDone;
    }

    int Read()
    {
        if (!Args_.Output.empty())
            CheckOutputPath(Args_.Output);
        const TModuleReading Reading = Connect().ReadConfig();
        const std::string Text =
            ConfigFileText(Reading.Config, &Reading.Identity, UtcTimeText(std::chrono::system_clock::now()));
        if (!Args_.Output.empty())
            SaveConfigFile(Args_.Output, Text);
        Render(TReadResult{Reading.Config, Args_.Output.empty() ? std::optional(Text) : std::nullopt});
        return ExitDone;
    }

    // The file's configuration with the command line's replacements; the
    // fields of --keep come from Current, the module's, when given.
    TModuleConfig Wanted(const TConfigFile& File, const std::optional<TModuleConfig>& Current)
    {
        TPartialModuleConfig Partial = File.Config;
        if (Args_.Id) {
            const std::optional<uint8_t> Id = ParseConfigByte(*Args_.Id);
            if (!Id)
                throw EUsage("--id " + *Args_.Id + ": expected two hexadecimal digits");
            Partial.RemoteId = Id;
        }
        if (Args_.Baud)
            Partial.BaudIndex = BaudIndexOfRate(*Args_.Baud);  // one of the rates: the arguments took no other
        std::vector<TConfigField> Keep;
        for (const std::string& Name : Args_.Keep) {
            const std::vector<TConfigField> Fields = KeepFieldsOf(Name);
            if (Fields.empty())
                throw EUsage("--keep " + Name + ": no such field or group (module, direction, power_on_default)");
            Keep.insert(Keep.end(), Fields.begin(), Fields.end());
        }
        std::vector<TConfigField> Missing;
        for (const TConfigField Field : Partial.MissingFields())
            if (std::find(Keep.begin(), Keep.end(), Field) == Keep.end())
                Missing.push_back(Field);
        if (!Missing.empty()) {
            throw EConfigFile(Args_.File, 0, ModuleConfigFieldName(Missing.front()),
                              "missing (give it in the file, or leave it as the module has it with --keep " +
                                  ListedFields(ModuleConfigFieldNames(Missing)) + ")");
        }
        if (!Current || Keep.empty())
            return Partial.Over(TModuleConfig{});
        // Kept fields: the module's own values, whatever the file says.
        for (const TConfigField Field : Keep)
            Partial.Forget(Field);
        return Partial.Over(*Current);
    }

    int Verified(const TModuleConfig& Asked, const TWriteResult& Result)
    {
        TVerifiedResult Verified{Result.ReadBack.Config, ConfigDifferences(Asked, Result.ReadBack.Config), {}};
        Verified.Comment =
            Verified.Differences.empty()
                ? "written and verified: the module holds the configuration asked for"
                : "written, but the read-back differs in " + std::to_string(Verified.Differences.size()) + " field(s)";
        Changed_ = true;
        Comment_ = Verified.Comment;
        Render(Verified);
        for (const TFieldDifference& Item : Verified.Differences)
            Err_ << "varnolink: read-back differs: " << ModuleConfigFieldName(Item.Field) << " is " << Item.HeldText()
                 << ", written " << Item.WantedText() << std::endl;
        return Verified.Differences.empty() ? ExitDone : ExitDiffers;
    }

    // The module's configuration as it is, kept before the first write
    // frame (unless --no-backup); without the copy nothing is written. Then
    // the journal's intent, on disk before the first write frame too.
    void KeepBackup(TModuleConnection& Module, const TModuleConfig& Asked)
    {
        std::optional<TModuleReading> Before;
        if (!Args_.NoBackup) {
            Before = Module.ReadConfig();
            Backup_ = SaveBackup(DefaultBackupFolder(),
                                 {UtcTimeText(std::chrono::system_clock::now()), Args_.Port, {}, Before->Identity},
                                 Before->Config);
            Json_.Member("backup", Backup_);
        }
        ChangeId_ = Journal_.Begin({CliCommandName(Args_.Command), TModuleConnection::DevicePathOf(Args_.Port),
                                    Before ? Before->Identity : Identity_, Backup_,
                                    Before ? std::optional(Before->Config) : std::nullopt, Asked, Args_.Reason});
    }

    // The journal's end of the change begun: the read-back's differences,
    // or how the chain ended short. A journal that cannot take it is named,
    // and does not change the result: the module was written.
    void EndChange(const std::optional<TChainResult>& Chain, const std::string& Message = {},
                   const std::vector<TConfigField>& Differences = {})
    {
        if (ChangeId_.empty())
            return;
        const std::string Id = std::exchange(ChangeId_, std::string());
        try {
            if (!Chain && Message.empty()) {
                Journal_.EndWritten(Id, Differences);
            } else if (Chain) {
                Journal_.End(Id, *Chain);
            } else {
                Journal_.EndUnknown(Id, Message);
            }
        } catch (const EJournal& Error) {
            Err_ << "varnolink: " << Error.what() << std::endl;
        }
    }

    TWriteResult Written(const TWriteResult& Result)
    {
        EndChange(std::nullopt, {}, Result.Differences);
        return Result;
    }

    int Write()
    {
        const TConfigFile File = LoadConfigFile(Args_.File);
        if (Args_.Command == TCliCommand::Restore)
            RequireComplete(File, Args_.File);
        Wanted(File, std::nullopt);  // refuse a bad file or option before the port is touched
        TModuleConnection& Module = Connect();
        if (Args_.DryRun)
            return Planned(File, Module.ReadConfig());
        const TModuleConfig Asked =
            Wanted(File, Args_.Keep.empty() ? std::nullopt : std::optional(Module.ReadConfig().Config));
        KeepBackup(Module, Asked);
        return Verified(Asked, Written(Module.WriteConfig(Asked)));
    }

    // write --dry-run: the module as read and as it would be written, as
    // values and as configuration file text; nothing is written.
    int Planned(const TConfigFile& File, const TModuleReading& Before)
    {
        TPlanResult Plan{Before.Config, Wanted(File, Before.Config), {}, {}};
        Plan.Differences = ConfigDifferences(Plan.After, Plan.Before);
        Plan.Comment = Plan.Differences.empty()
                           ? "the module holds the configuration already; nothing would be written"
                           : "would write " + std::to_string(Plan.Differences.size()) + " field(s) that differ";
        Changed_ = !Plan.Differences.empty();
        Comment_ = Plan.Comment;
        Render(Plan);
        return ExitDone;
    }

    int Default()
    {
        TModuleConnection& Module = Connect();
        KeepBackup(Module, FactoryModuleConfig);
        return Verified(FactoryModuleConfig, Written(Module.WriteFactory()));
    }

    // Each port's module at the rate it answers at, one port after another.
    int FindSpeeds()
    {
        const std::chrono::milliseconds Wait(Args_.WaitMs.value_or(300));
        TSpeedsResult Result;
        for (const std::string& Port : Args_.Ports) {
            RefuseSystemConsole(Port);
            TModuleConnection Connection;
            Connection.SetStopDescriptor(StopFd_, TStopWhen::Now);
            if (!Args_.Rs485.empty())
                Connection.SetRs485(ParseRs485Choice(Args_.Rs485));
            TSpeedEntry& Entry = Result.Ports.emplace_back();
            Entry.Port = Port;
            try {
                Connection.Open(Port);
                Entry.Found = SearchLineSpeed(Connection, Wait, [&](int Baud) {
                    Progress_.ShowText(Port + ": asking at " + std::to_string(Baud) + " baud");
                });
            } catch (const EModulePort& Failure) {
                Entry.Error = Failure.what();
            }
            Progress_.Erase();
            if (!Args_.Json)
                RenderText(Entry, Out_);
        }
        if (Args_.Json)
            RenderJson(Result, Json_);
        const bool AnyFound = std::any_of(Result.Ports.begin(), Result.Ports.end(),
                                          [](const TSpeedEntry& Entry) { return Entry.Found.has_value(); });
        return AnyFound ? ExitDone : ExitNoReply;
    }

    // The backups kept so far, oldest first (their names begin with the time).
    int Backups()
    {
        TBackupsResult Result{DefaultBackupFolder(), {}};
        std::vector<std::string> Files;
        if (DIR* Dir = ::opendir(Result.Folder.c_str())) {
            while (const dirent* Entry = ::readdir(Dir)) {
                const std::string Name = Entry->d_name;
                if (Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".ini") == 0)
                    Files.push_back(Name);
            }
            ::closedir(Dir);
        }
        std::sort(Files.begin(), Files.end());
        for (const std::string& Name : Files) {
            TBackupEntry& Entry = Result.Backups.emplace_back();
            Entry.File = Result.Folder + "/" + Name;
            try {
                const TConfigFile File = LoadConfigFile(Entry.File);
                Entry.ReadAt = File.ReadAt;
                if (File.Config.RemoteId)
                    Entry.RemoteId = HexByteToStr2(*File.Config.RemoteId);
                Entry.Module = File.Identity.BiosName + " " + File.Identity.BiosVersion;
            } catch (const EConfigFile& Error) {
                Entry.Error = Error.what();
            }
        }
        Render(Result);
        return ExitDone;
    }

    int Diff()
    {
        const TConfigFile File = LoadConfigFile(Args_.File);
        TDiffResult Result{Connect().ReadConfig().Config, {}};
        Result.Differences = ConfigDifferences(File.Config.Over(Result.Module), Result.Module);
        Render(Result);
        return Result.Differences.empty() ? ExitDone : ExitDiffers;
    }

    const TCliArguments& Args_;
    int StopFd_;
    std::ostream& Out_;
    std::ostream& Err_;
    TStreamWireLog WireLog_;
    TJsonWriter Json_;
    TProgressLine Progress_;  // outlives the connection that calls it
    TModuleConnection Connection_;
    TModuleIdentity Identity_;
    TChangeJournal Journal_{JournalPathOf(Args_)};
    std::string ChangeId_;         // the journal's record of the write under way
    std::string Backup_;           // where the module's configuration was kept before a write
    std::optional<bool> Changed_;  // commands that write: whether the module was (or would be) changed
    std::string Comment_;          // and in a few words how
};

}  // namespace

int ReportUsageError(const std::vector<std::string>& Arguments, const std::string& Message, std::ostream& Out,
                     std::ostream& Err)
{
    Err << "varnolink: " << Message << "\nTry 'varnolink --help'." << std::endl;
    if (CliWantsJson(Arguments)) {
        TJsonWriter Json;
        Json.BeginObject()
            .Member("command", CliCommandName(CliCommandIn(Arguments)))
            .Key("error")
            .BeginObject()
            .Member("kind", "usage")
            .Member("message", Message)
            .EndObject()
            .Member("ok", false)
            .Member("exit_code", static_cast<int64_t>(ExitUsageOrFile))
            .EndObject();
        Out << Json.Text() << std::endl;
    }
    return ExitUsageOrFile;
}

int RunCliCommand(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err)
{
    TCommandRun Run(Arguments, StopFd, Out, Err);
    return Run.Run();
}

}  // namespace varnolink
