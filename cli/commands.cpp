// SPDX-License-Identifier: MIT
#include "cli/commands.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commission.h"
#include "cli/json_writer.h"
#include "main/files/config_file.h"
#include "main/protocol/hex.h"
#include "main/engine/module_connection.h"
#include "main/ports/port_candidates.h"
#include "main/ports/port_listing.h"
#include "main/ports/udev_source.h"

namespace {

// -v: each wire event as a line on stderr, at once.
class TStreamWireLog final : public TWireObserver {
public:
    explicit TStreamWireLog(std::ostream& Err) : Err_(Err) {}
    void OnWireEvent(const TWireEvent& Event) override { Err_ << FormatWireEvent(Event) << std::endl; }

private:
    std::ostream& Err_;
};

std::string UtcNow()
{
    const std::time_t Now = std::time(nullptr);
    std::tm Utc{};
    gmtime_r(&Now, &Utc);
    char Text[32];
    std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%SZ", &Utc);
    return Text;
}

void WriteConfig(TJsonWriter& Json, const TModuleConfig& Config)
{
    Json.BeginObject();
    Json.Member("remote_id", ModuleConfigFieldValue(Config, 0));
    Json.Member("baud", static_cast<int64_t>(std::stoll(ModuleConfigFieldValue(Config, 1))));
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        Json.Key(PortGridName(Grid)).BeginObject();
        for (int Row = 0; Row < PortRowCount; ++Row)
            Json.Member(PortRowName(Row), HexByteToStr2(Config.PortByte(Grid, Row)));
        Json.EndObject();
    }
    Json.EndObject();
}

void WriteIdentity(TJsonWriter& Json, const TModuleIdentity& Identity)
{
    Json.BeginObject().Member("bios_name", Identity.BiosName).Member("bios_version", Identity.BiosVersion);
    if (!Identity.StatusText.empty())
        Json.Member("status", Identity.StatusText);
    Json.EndObject();
}

struct TDifference {
    std::string Field, Expected, Actual;
};

std::vector<TDifference> Differences(const TModuleConfig& Expected, const TModuleConfig& Actual)
{
    std::vector<TDifference> Result;
    for (const std::string& Name : DifferingFields(Expected, Actual)) {
        const int Field = ModuleConfigFieldOf(Name).value_or(0);
        Result.push_back({Name, ModuleConfigFieldValue(Expected, Field), ModuleConfigFieldValue(Actual, Field)});
    }
    return Result;
}

void WriteDifferences(TJsonWriter& Json, const std::vector<TDifference>& List)
{
    Json.Key("differences").BeginArray();
    for (const TDifference& Item : List)
        Json.BeginObject()
            .Member("field", Item.Field)
            .Member("expected", Item.Expected)
            .Member("actual", Item.Actual)
            .EndObject();
    Json.EndArray();
}

std::string Listed(const std::vector<std::string>& Names)
{
    std::string Text;
    for (const std::string& Name : Names)
        Text += (Text.empty() ? "" : ", ") + Name;
    return Text.empty() ? "nothing" : Text;
}

// One command's run: the connection, the output and the failure report.
class TCommandRun {
public:
    TCommandRun(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err)
        : Args_(Arguments), StopFd_(StopFd), Out_(Out), Err_(Err), WireLog_(Err)
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
        } catch (const EModulePort& Error) {
            Code = Fail(ExitPort, "port", Error.what(), Error.Chain());
        } catch (const EModuleNoReply& Error) {
            Json_.Member("request", DescribeStep(Error.Step()));
            Code = Fail(ExitNoReply, "no_reply", Error.what(), Error.Chain());
        } catch (const EModuleReply& Error) {
            Code = Fail(ExitNoReply, "reply", Error.what(), {});
        } catch (const EModuleStopped& Error) {
            Code = Fail(ExitStopped, "stopped", Error.what(), Error.Chain());
        } catch (const std::exception& Error) {
            Code = Fail(ExitPort, "port", Error.what(), {});
        }
        if (Args_.Json) {
            Json_.Member("exit_code", static_cast<int64_t>(Code)).EndObject();
            Out_ << Json_.Text() << std::endl;
        }
        return Code;
    }

private:
    // A write that ended early names what the module holds: the fields it
    // acknowledged, the one sent but not confirmed, and those never sent.
    int Fail(int Code, const char* Kind, const std::string& Message, const std::optional<TChainResult>& Chain)
    {
        const bool Writes = Args_.Command == TCliCommand::Write || Args_.Command == TCliCommand::Default;
        const std::vector<std::string> Written = Chain ? Chain->WrittenFields() : std::vector<std::string>{};
        const std::optional<std::string> Unconfirmed = Chain ? Chain->UnconfirmedField() : std::nullopt;
        const std::vector<std::string> NotSent = Chain ? Chain->UnsentFields() : std::vector<std::string>{};
        Err_ << "varnolink: " << Message << std::endl;
        if (Writes && Code != ExitUsageOrFile) {
            Err_ << "varnolink: written before it ended: " << Listed(Written) << std::endl;
            if (Unconfirmed)
                Err_ << "varnolink: sent, not confirmed: " << *Unconfirmed << std::endl;
            if (!NotSent.empty())
                Err_ << "varnolink: not sent: " << Listed(NotSent) << std::endl;
        }
        Json_.Member("ok", false);
        Json_.Key("error").BeginObject().Member("kind", Kind).Member("message", Message).EndObject();
        if (Writes) {
            Json_.Member("written", Written);
            Json_.Key("unconfirmed");
            if (Unconfirmed)
                Json_.String(*Unconfirmed);
            else
                Json_.Null();
            Json_.Member("not_sent", NotSent);
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
            return Write();
        case TCliCommand::Diff:
            return Diff();
        case TCliCommand::Default:
            return Default();
        case TCliCommand::Commission:
            return RunCommission(Args_, Connection_, Args_.Verbose ? &WireLog_ : nullptr, StopFd_, STDIN_FILENO,
                                 Out_, Err_);
        case TCliCommand::None:
            break;
        }
        throw EUsage("no command given");
    }

    TModuleConnection& Connect()
    {
        Connection_.SetStopDescriptor(StopFd_ >= 0 ? StopFd_ : -1);
        if (Args_.Verbose)
            Connection_.SetWireObserver(&WireLog_);
        Connection_.Open(Args_.Port);
        Json_.Member("port", TModuleConnection::DevicePathOf(Args_.Port));
        Identity_ = Connection_.Identify();
        Json_.Key("identity");
        WriteIdentity(Json_, Identity_);
        return Connection_;
    }

    // The list the window offers, with the same descriptions and holders.
    int Ports()
    {
        const std::unique_ptr<TUdevSource> Udev = MakeLibudevSource();
        Json_.Key("ports").BeginArray();
        for (const TPortListing& Port : ListPorts(PortCandidates(), Udev.get(), PortLabels())) {
            Json_.BeginObject()
                .Member("name", Port.Name)
                .Member("path", Port.DevicePath)
                .Member("description", Port.Description)
                .Member("state", Port.Busy ? "busy" : "free");
            if (Port.Busy)
                Json_.Member("holder", Port.Holder);
            Json_.EndObject();
            if (Args_.Json)
                continue;
            Out_ << Port.Name;
            if (!Port.Description.empty())
                Out_ << " \u2014 " << Port.Description;
            if (Port.Busy)
                Out_ << "  (" << Port.Holder << ")";
            Out_ << "\n";
        }
        Json_.EndArray().Member("ok", true);
        return ExitDone;
    }

    int Identify()
    {
        Connect();
        Json_.Member("ok", true);
        if (!Args_.Json)
            Out_ << "BIOS name: " << Identity_.BiosName << "\nBIOS version: " << Identity_.BiosVersion << "\n";
        return ExitDone;
    }

    int Read()
    {
        const TModuleReading Reading = Connect().ReadConfig();
        const std::string Text = ConfigFileText(Reading.Config, &Reading.Identity, UtcNow());
        if (!Args_.Output.empty())
            SaveConfigFile(Args_.Output, Text);
        Json_.Key("config");
        WriteConfig(Json_, Reading.Config);
        Json_.Member("ok", true);
        if (!Args_.Json && Args_.Output.empty())
            Out_ << Text;
        return ExitDone;
    }

    // The file's configuration with the command line's replacements; the
    // fields of --keep come from Module when given.
    TModuleConfig Wanted(const TConfigFile& File, TModuleConnection* Module)
    {
        TPartialModuleConfig Partial = File.Config;
        if (Args_.Id) {
            const std::optional<uint8_t> Id = ParseConfigByte(*Args_.Id);
            if (!Id)
                throw EUsage("--id " + *Args_.Id + ": expected two hexadecimal digits");
            Partial.RemoteId = Id;
        }
        if (Args_.Baud) {
            const std::optional<int> Index = ParseBaudRate(*Args_.Baud);
            if (!Index)
                throw EUsage("--baud " + *Args_.Baud + ": expected one of 1200, 2400, 4800, 9600, 19200, 38400, "
                             "57600, 115200");
            Partial.BaudIndex = Index;
        }
        for (const std::string& Field : Args_.Keep)
            if (!ModuleConfigFieldOf(Field))
                throw EUsage("--keep " + Field + ": no such field");
        std::vector<std::string> Missing;
        for (const std::string& Field : Partial.MissingFields())
            if (std::find(Args_.Keep.begin(), Args_.Keep.end(), Field) == Args_.Keep.end())
                Missing.push_back(Field);
        if (!Missing.empty()) {
            throw EConfigFile(Args_.File, 0, Missing.front(),
                              "missing (give it in the file, or leave it as the module has it with --keep " +
                                  Listed(Missing) + ")");
        }
        if (Module == nullptr || Args_.Keep.empty())
            return Partial.Over(TModuleConfig{});
        // Kept fields: the module's own values, whatever the file says.
        for (const std::string& Field : Args_.Keep)
            Partial.Forget(*ModuleConfigFieldOf(Field));
        return Partial.Over(Module->ReadConfig().Config);
    }

    int Verified(const TModuleConfig& Asked, const TWriteResult& Result)
    {
        const std::vector<TDifference> List = Differences(Asked, Result.ReadBack.Config);
        std::vector<std::string> Written;
        for (int Field = 0; Field < ModuleConfigFieldCount; ++Field)
            Written.push_back(ModuleConfigFieldName(Field));
        Json_.Member("written", Written);
        Json_.Key("read_back");
        WriteConfig(Json_, Result.ReadBack.Config);
        WriteDifferences(Json_, List);
        Json_.Member("ok", List.empty());
        if (List.empty()) {
            if (!Args_.Json)
                Out_ << "written and verified: the module holds the configuration asked for\n";
            return ExitDone;
        }
        for (const TDifference& Item : List)
            Err_ << "varnolink: read-back differs: " << Item.Field << " is " << Item.Actual << ", written "
                 << Item.Expected << std::endl;
        return ExitDiffers;
    }

    int Write()
    {
        const TConfigFile File = LoadConfigFile(Args_.File);
        Wanted(File, nullptr);  // refuse a bad file or option before the port is touched
        TModuleConnection& Module = Connect();
        const TModuleConfig Asked = Wanted(File, &Module);
        return Verified(Asked, Module.WriteConfig(Asked));
    }

    int Default()
    {
        TModuleConnection& Module = Connect();
        return Verified(FactoryModuleConfig, Module.WriteFactory());
    }

    int Diff()
    {
        const TConfigFile File = LoadConfigFile(Args_.File);
        const TModuleConfig Current = Connect().ReadConfig().Config;
        const std::vector<TDifference> List = Differences(File.Config.Over(Current), Current);
        Json_.Key("module");
        WriteConfig(Json_, Current);
        WriteDifferences(Json_, List);
        Json_.Member("ok", true);
        if (!Args_.Json) {
            for (const TDifference& Item : List)
                Out_ << Item.Field << ": file " << Item.Expected << ", module " << Item.Actual << "\n";
            if (List.empty())
                Out_ << "no differences\n";
        }
        return List.empty() ? ExitDone : ExitDiffers;
    }

    const TCliArguments& Args_;
    int StopFd_;
    std::ostream& Out_;
    std::ostream& Err_;
    TStreamWireLog WireLog_;
    TJsonWriter Json_;
    TModuleConnection Connection_;
    TModuleIdentity Identity_;
};

}  // namespace

int RunCliCommand(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err)
{
    TCommandRun Run(Arguments, StopFd, Out, Err);
    return Run.Run();
}
