// SPDX-License-Identifier: MIT
// audit, backup, apply and find: the inventory (or the ports) in, a plant
// run on one loop, a row per module out as text, JSON and an HTML page.
#include "cli/plant_commands.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <map>
#include <ostream>
#include <string_view>

#include "cli/audit_metrics.h"
#include "cli/command_results.h"
#include "cli/commands.h"
#include "cli/journal_command.h"
#include "cli/module_held.h"
#include "cli/port_advice.h"
#include "cli/run_lock.h"
#include "main/reports/plant_report.h"
#include "main/engine/plant_run.h"
#include "main/files/commission_log.h"
#include "main/files/backup_store.h"
#include "main/files/config_file.h"
#include "main/files/inventory.h"
#include "main/ports/port_candidates.h"
#include "main/ports/port_holder.h"
#include "main/ports/port_listing.h"
#include "main/ports/udev_source.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

TPlantTask TaskOf(TCliCommand Command)
{
    switch (Command) {
    case TCliCommand::Backup:
        return TPlantTask::Backup;
    case TCliCommand::Apply:
        return TPlantTask::Apply;
    case TCliCommand::Find:
        return TPlantTask::Find;
    default:
        return TPlantTask::Audit;
    }
}

// A folder the command writes into: made when missing, refused before any
// port is opened when it cannot be written.
void PrepareFolder(const std::string& Folder)
{
    if (::mkdir(Folder.c_str(), 0777) != 0 && errno != EEXIST)
        throw EConfigFile(Folder, 0, "", std::string("cannot make the folder: ") + std::strerror(errno));
    struct stat Info {};
    if (::stat(Folder.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode))
        throw EConfigFile(Folder, 0, "", "is no folder");
    if (::access(Folder.c_str(), W_OK) != 0)
        throw EConfigFile(Folder, 0, "", std::string("cannot be written: ") + std::strerror(errno));
}

// find with no port named: the USB adapters that are there and every port
// of VARNOLINK_PORTS. Built-in UARTs and the system console are asked only
// when named, since one of them may carry the console or a login.
std::vector<std::string> PortsToFind()
{
    std::vector<std::string> Ports;
    for (const std::string& Candidate : PortCandidatesFor(std::getenv("VARNOLINK_PORTS"), "1"))
        Ports.push_back(Candidate);
    for (const std::string& Candidate : PortCandidates()) {
        const bool Usb = Candidate.rfind("/dev/ttyUSB", 0) == 0 || Candidate.rfind("/dev/ttyACM", 0) == 0;
        if (Usb && ::access(Candidate.c_str(), F_OK) == 0 && !IsSystemConsole(Candidate) &&
            std::find(Ports.begin(), Ports.end(), Candidate) == Ports.end())
            Ports.push_back(Candidate);
    }
    return Ports;
}

// Every line holds a descriptor or a few while the plant runs; the usual soft
// limit of 1024 would refuse a large plant its ports half way.
// Descriptors one open line takes: a device or a raw network port is its
// one descriptor (a port read by the loop makes no wake-ups of its own); an
// rfc2217 port also keeps the eventfds, epoll set and timer of its telnet
// reading.
constexpr std::size_t DescriptorsPerLine = 1;
constexpr std::size_t DescriptorsPerRfc2217Line = 5;
// Descriptors kept for everything else: files, the terminal, the loop.
constexpr std::size_t DescriptorsReserved = 256;

std::size_t DescriptorsOfLine(const std::string& Port)
{
    constexpr std::string_view Scheme = "rfc2217://";
    const bool Rfc2217 = Port.size() > Scheme.size() &&
                         std::equal(Scheme.begin(), Scheme.end(), Port.begin(),
                                    [](char A, char B) { return A == std::tolower(static_cast<unsigned char>(B)); });
    return Rfc2217 ? DescriptorsPerRfc2217Line : DescriptorsPerLine;
}

// Raises the open-file limit as far as the lines need and the system
// allows; the number of lines that may be open at once within it (a plant
// larger than that is served in turns rather than failing with "too many
// open files" on the lines beyond it). Each line is counted at the most
// any of them takes.
std::size_t AllowDescriptorsFor(const std::vector<TPlantModule>& Modules)
{
    std::size_t PerLine = DescriptorsPerLine;
    for (const TPlantModule& Module : Modules)
        PerLine = std::max(PerLine, DescriptorsOfLine(Module.Port));
    const std::size_t Lines = Modules.size();
    rlimit Limit{};
    if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0)
        return Lines;
    const rlim_t Wanted = std::min<rlim_t>(Limit.rlim_max, static_cast<rlim_t>(Lines * PerLine + DescriptorsReserved));
    if (Limit.rlim_cur < Wanted) {
        Limit.rlim_cur = Wanted;
        ::setrlimit(RLIMIT_NOFILE, &Limit);
        ::getrlimit(RLIMIT_NOFILE, &Limit);
    }
    if (Limit.rlim_cur == RLIM_INFINITY)
        return Lines;
    const rlim_t Usable =
        Limit.rlim_cur > DescriptorsReserved * 2 ? Limit.rlim_cur - DescriptorsReserved : Limit.rlim_cur / 2;
    return std::max<std::size_t>(1, std::min<std::size_t>(Lines, static_cast<std::size_t>(Usable) / PerLine));
}

std::string Padded(const std::string& Text, std::size_t Width)
{
    return Text.size() >= Width ? Text : Text + std::string(Width - Text.size(), ' ');
}

class TPlantCommand {
public:
    TPlantCommand(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err, TJsonWriter& Json,
                  TProgressLine& Progress)
        : Args_(Arguments), StopFd_(StopFd), Out_(Out), Err_(Err), Json_(Json), Progress_(Progress)
    {}

    int Run()
    {
        TPlantOptions Options;
        Options.Task = TaskOf(Args_.Command);
        Options.Jobs = Args_.Jobs;
        Options.DryRun = Args_.DryRun;
        if (Args_.WaitMs)
            Options.ProbeWait = std::chrono::milliseconds(*Args_.WaitMs);
        Options.HolderOf = [](const std::string& DevicePath) { return HolderText(FindPortHolder(DevicePath)); };
        if (Args_.Deadline)
            Options.EndBy = std::chrono::steady_clock::now() + std::chrono::seconds(*Args_.Deadline);
        std::vector<TPlantModule> Modules = Args_.Command == TCliCommand::Find ? PortsOfFind() : Inventory();
        // One run on a plant at a time, from before its first port opens
        // until its results are written.
        std::optional<TRunLock> Lock;
        if (Args_.Command != TCliCommand::Find)
            Lock.emplace(Args_.File);
        if (Options.Task == TPlantTask::Backup) {
            PrepareFolder(Args_.Output);
            Options.BackupFolder = Args_.Output;
        } else if (Options.Task == TPlantTask::Apply) {
            Options.BackupFolder = Args_.BackupDir.empty() ? DefaultBackupFolder() : Args_.BackupDir;
            Options.Journal = &Journal_;
            Options.Reason = Args_.Reason;
        }
        if (!Args_.Report.empty())
            CheckWritable(Args_.Report);
        if (!Args_.Metrics.empty())
            CheckWritable(Args_.Metrics);
        if (Modules.empty()) {
            if (!Args_.Json)
                Out_ << "no ports to ask (name them, or list them in VARNOLINK_PORTS)\n";
            Json_.Key("rows").BeginArray().EndArray();
            return ExitNoReply;
        }

        const std::size_t LinesAtOnce = AllowDescriptorsFor(Modules);
        if (Options.Jobs == 0 || Options.Jobs > LinesAtOnce)
            Options.Jobs = LinesAtOnce;
        TPlantRun Run(std::move(Modules), Options);
        TEpollLoop Loop;
        // Ctrl-C lets every line finish the request on it; nothing new starts.
        Loop.WatchStop(StopFd_, TStopWhen::AfterTheRequest);
        Run.OnRowChanged = [&](std::size_t) { ShowProgress(Run); };
        // The tick also wakes the loop every second to look at the deadline.
        Loop.SetTick(std::chrono::seconds(1), [&] { ShowProgress(Run); });
        const auto Started = std::chrono::steady_clock::now();
        Run.Run(Loop);
        const auto Duration = std::chrono::steady_clock::now() - Started;
        Progress_.Erase();
        if (Options.EndBy && std::chrono::steady_clock::now() >= *Options.EndBy && Run.Summary().Stopped > 0)
            Err_ << "varnolink: the deadline of " << *Args_.Deadline
                 << " s has passed: the modules not reached are reported as stopped" << std::endl;

        const std::string MadeAt = UtcTimeText(std::chrono::system_clock::now());
        if (Options.Task == TPlantTask::Backup)
            WriteBackupInventory(Run.Rows());
        Report(Run);
        if (!Args_.Report.empty())
            SaveConfigFile(Args_.Report, PlantReportHtml("varnolink " + CliCommandName(Args_.Command) + " " +
                                                             (Args_.File.empty() ? "" : Args_.File),
                                                         MadeAt, Run.Rows(), Run.Summary()));
        if (!Args_.Metrics.empty())
            WriteAuditMetrics(Args_.Metrics, Args_.File, Run.Rows(), Duration, std::chrono::system_clock::now(), Err_);
        return ExitCode(Run);
    }

private:
    std::vector<TPlantModule> Inventory()
    {
        const bool NeedsConfig = Args_.Command == TCliCommand::Audit || Args_.Command == TCliCommand::Apply;
        Inventory_ = LoadInventory(Args_.File, NeedsConfig);
        std::vector<TModuleConfig> Configs;
        if (NeedsConfig)
            Configs = LoadInventoryConfigs(Inventory_);
        Json_.Member("inventory", Args_.File);
        std::vector<TPlantModule> Modules;
        for (std::size_t Index = 0; Index < Inventory_.Entries.size(); ++Index) {
            const TInventoryEntry& Entry = Inventory_.Entries[Index];
            RefuseSystemConsole(Entry.Port);
            Modules.push_back(
                {Entry.Name, Entry.Port, Entry.Location, NeedsConfig ? std::optional(Configs[Index]) : std::nullopt});
        }
        return Modules;
    }

    std::vector<TPlantModule> PortsOfFind()
    {
        // With an inventory, a module found is named by the inventory's
        // module whose file holds the same Remote ID.
        if (!Args_.Inventory.empty()) {
            Inventory_ = LoadInventory(Args_.Inventory, false);
            for (const TInventoryEntry& Entry : Inventory_.Entries) {
                if (Entry.ConfigPath.empty())
                    continue;
                try {
                    if (const auto Id = LoadConfigFile(Entry.ConfigPath).Config.RemoteId)
                        Expected_[*Id].push_back(Entry.Name);
                } catch (const EConfigFile& Error) {
                    throw EInventory(Args_.Inventory, Entry.Line, "config", Error.what());
                }
            }
        }
        const std::vector<std::string> Ports = Args_.Ports.empty() ? PortsToFind() : Args_.Ports;
        const std::unique_ptr<TUdevSource> Udev = MakeLibudevSource();
        const std::map<std::string, std::string> Labels = PortLabels();
        std::vector<TPlantModule> Modules;
        for (const std::string& Port : Ports) {
            RefuseSystemConsole(Port);
            const std::string Path = cport::TComPort::DevicePathOf(Port);
            const auto Label = Labels.find(Path);
            const std::optional<TUdevDevice> Device = IsNetworkPortName(Port) ? std::nullopt : Udev->Describe(Path);
            std::string Description = PortDescription(Path, Device ? &*Device : nullptr,
                                                      Label == Labels.end() ? std::string() : Label->second);
            if (Description.empty() && IsNetworkPortName(Port))
                Description = "network port";
            Modules.push_back({"", Port, Description, std::nullopt});
        }
        return Modules;
    }

    void CheckWritable(const std::string& Path)
    {
        const std::size_t Slash = Path.rfind('/');
        const std::string Folder = Slash == std::string::npos ? "." : Slash == 0 ? "/" : Path.substr(0, Slash);
        if (::access(Folder.c_str(), W_OK) != 0)
            throw EConfigFile(Path, 0, "", std::string("cannot be written: ") + std::strerror(errno));
    }

    void ShowProgress(const TPlantRun& Run)
    {
        const TPlantSummary Sum = Run.Summary();
        Progress_.ShowText(CliCommandName(Args_.Command) + ": " + std::to_string(Sum.Done) + " of " +
                           std::to_string(Sum.Total) + " done, " + std::to_string(Sum.Good) + " ok, " +
                           std::to_string(Sum.Differing) + " differing, " + std::to_string(Sum.Unreachable) +
                           " unreachable");
    }

    void WriteBackupInventory(const std::vector<TPlantRow>& Rows)
    {
        std::vector<std::vector<std::string>> Records;
        for (const TPlantRow& Row : Rows) {
            if (Row.Outcome != TPlantOutcome::Ok)
                continue;
            Records.push_back({Row.Module.Name, Row.Module.Port, Row.BackupFile.substr(Row.BackupFile.rfind('/') + 1),
                               Row.Module.Location, Row.ReadAt, Row.Identity ? Row.Identity->BiosName : "",
                               Row.Identity ? Row.Identity->BiosVersion : ""});
        }
        BackupInventory_ = Args_.Output + "/plant.csv";
        SaveConfigFile(BackupInventory_, InventoryText({"read_at", "bios_name", "bios_version"}, Records));
        Json_.Member("backup_inventory", BackupInventory_);
    }

    // Remote IDs that more than one module reported.
    std::vector<std::string> SharedIdWarnings(const std::vector<TPlantRow>& Rows) const
    {
        // Rows on one port are one module; the same ID on two ports is a warning.
        std::map<uint8_t, std::map<std::string, std::vector<std::string>>> Holders;
        for (const TPlantRow& Row : Rows)
            if (Row.RemoteId)
                Holders[*Row.RemoteId][Row.DevicePath].push_back(Row.Module.Name.empty() ? Row.Module.Port
                                                                                         : Row.Module.Name);
        std::vector<std::string> Warnings;
        for (const auto& [Id, Ports] : Holders) {
            if (Ports.size() < 2)
                continue;
            std::vector<std::string> Names;
            for (const auto& [Port, OnPort] : Ports)
                Names.insert(Names.end(), OnPort.begin(), OnPort.end());
            Warnings.push_back(ListedFields(Names) + " report the same Remote ID " + HexByteToStr2(Id));
        }
        return Warnings;
    }

    std::string FoundAs(const TPlantRow& Row) const
    {
        if (!Row.RemoteId)
            return {};
        const auto At = Expected_.find(*Row.RemoteId);
        return At == Expected_.end() ? std::string() : ListedFields(At->second);
    }

    // apply: whether any module was (in a dry run: would be) changed, for
    // configuration tools that decide "changed" from the command's JSON.
    void ReportChanged(const std::vector<TPlantRow>& Rows)
    {
        std::size_t Changed = 0;
        for (const TPlantRow& Row : Rows) {
            const bool Sent =
                Row.Write && (!Row.Write->WrittenFields().empty() || Row.Write->UnconfirmedField().has_value());
            if (Sent || (Args_.DryRun && Row.Outcome == TPlantOutcome::Differs))
                ++Changed;
        }
        const std::string Count = std::to_string(Changed) + " of " + std::to_string(Rows.size()) + " modules";
        Json_.Member("changed", Changed > 0)
            .Member("comment", Args_.DryRun ? Count + " would be written" : Count + " written");
    }

    // The run's result, once it has ended: shared Remote IDs named on stderr,
    // then the rows and totals rendered as text or as the JSON members.
    void Report(const TPlantRun& Run)
    {
        const std::vector<std::string> Warnings = SharedIdWarnings(Run.Rows());
        // A screenful at most; the JSON has them all.
        constexpr std::size_t ShownWarnings = 10;
        for (std::size_t Index = 0; Index < Warnings.size() && Index < ShownWarnings; ++Index)
            Err_ << "varnolink: warning: " << Warnings[Index] << std::endl;
        if (Warnings.size() > ShownWarnings)
            Err_ << "varnolink: warning: " << Warnings.size() - ShownWarnings << " more Remote IDs are shared"
                 << std::endl;
        if (Args_.Json)
            RenderJson(Run, Warnings);
        else
            RenderText(Run);
    }

    void RenderJson(const TPlantRun& Run, const std::vector<std::string>& Warnings)
    {
        const std::vector<TPlantRow>& Rows = Run.Rows();
        Json_.Key("rows").BeginArray();
        for (const TPlantRow& Row : Rows)
            JsonRow(Row);
        Json_.EndArray();
        const TPlantSummary Sum = Run.Summary();
        Json_.Key("totals")
            .BeginObject()
            .Member("total", static_cast<int64_t>(Sum.Total))
            .Member("ok", static_cast<int64_t>(Sum.Good))
            .Member("differing", static_cast<int64_t>(Sum.Differing))
            .Member("unreachable", static_cast<int64_t>(Sum.Unreachable))
            .Member("file_errors", static_cast<int64_t>(Sum.Failed))
            .Member("stopped", static_cast<int64_t>(Sum.Stopped))
            .EndObject();
        if (Args_.Command == TCliCommand::Apply)
            ReportChanged(Rows);
        Json_.Member("warnings", Warnings);
    }

    void RenderText(const TPlantRun& Run)
    {
        const std::vector<TPlantRow>& Rows = Run.Rows();
        std::size_t NameWidth = 4, ResultWidth = 6;
        for (const TPlantRow& Row : Rows) {
            NameWidth = std::max(NameWidth, (Row.Module.Name.empty() ? Row.Module.Port : Row.Module.Name).size());
            ResultWidth = std::max(ResultWidth, std::string(PlantOutcomeText(Row.Outcome)).size());
        }
        for (const TPlantRow& Row : Rows) {
            std::string Line = Padded(Row.Module.Name.empty() ? Row.Module.Port : Row.Module.Name, NameWidth) + "  " +
                               Padded(PlantOutcomeText(Row.Outcome), ResultWidth);
            std::string Module = PlantRowIdentity(Row);
            if (Row.RemoteId)
                Module += (Module.empty() ? "" : ", ") + std::string("Remote ID ") + HexByteToStr2(*Row.RemoteId);
            if (const std::string Name = FoundAs(Row); !Name.empty())
                Module += " (" + Name + ")";
            std::string Detail = PlantRowDetail(Row);
            if (Args_.Command == TCliCommand::Find)
                Detail = Row.Module.Location + (Detail.empty() ? "" : "; " + Detail);
            for (const std::string& Part : {Module, Detail})
                if (!Part.empty())
                    Line += "  " + Part;
            Out_ << Line << "\n";
        }
        if (!BackupInventory_.empty())
            Out_ << "inventory of the backup: " << BackupInventory_ << "\n";
        Out_ << PlantSummaryText(Run.Summary()) << "\n";
    }

    void JsonRow(const TPlantRow& Row)
    {
        Json_.BeginObject();
        if (!Row.Module.Name.empty())
            Json_.Member("name", Row.Module.Name);
        Json_.Member("port", Row.Module.Port);
        Json_.Member(Args_.Command == TCliCommand::Find ? "description" : "location", Row.Module.Location);
        Json_.Member("result", PlantOutcomeText(Row.Outcome));
        Json_.Key("identity");
        if (Row.Identity)
            Json_.BeginObject()
                .Member("bios_name", Row.Identity->BiosName)
                .Member("bios_version", Row.Identity->BiosVersion)
                .EndObject();
        else
            Json_.Null();
        Json_.Key("remote_id");
        if (Row.RemoteId)
            Json_.String(HexByteToStr2(*Row.RemoteId));
        else
            Json_.Null();
        if (Args_.Command == TCliCommand::Find && !Args_.Inventory.empty())
            Json_.Member("inventory_module", FoundAs(Row));
        if (!Row.ReadAt.empty())
            Json_.Member("read_at", Row.ReadAt);
        WriteDifferences(Json_, Row.Differences);
        if (Row.NoReplyTo)
            Json_.Member("request", DescribeStep(*Row.NoReplyTo));
        if (!Row.Reason.empty())
            Json_.Member("reason", Row.Reason);
        if (!Row.BackupFile.empty())
            Json_.Member("backup", Row.BackupFile);
        if (Args_.Command == TCliCommand::Apply)
            WriteModuleHeld(Json_, Row.Write                               ? TModuleHeld::Of(*Row.Write)
                                   : Row.Outcome == TPlantOutcome::Written ? TModuleHeld::Everything()
                                                                           : TModuleHeld{});
        Json_.EndObject();
    }

    int ExitCode(const TPlantRun& Run) const
    {
        const TPlantSummary Sum = Run.Summary();
        if (Sum.Stopped > 0)
            return ExitStopped;
        if (Args_.Command == TCliCommand::Find)
            return Sum.Good > 0 ? ExitDone : ExitNoReply;
        if (Sum.Failed > 0)
            return ExitUsageOrFile;
        if (Sum.Unreachable > 0)
            return ExitNoReply;
        if (Sum.Differing > 0)
            return ExitDiffers;
        return ExitDone;
    }

    const TCliArguments& Args_;
    int StopFd_;
    std::ostream& Out_;
    std::ostream& Err_;
    TJsonWriter& Json_;
    TProgressLine& Progress_;
    TChangeJournal Journal_{JournalPathOf(Args_)};  // apply: the record of every write
    TInventory Inventory_;
    std::map<uint8_t, std::vector<std::string>> Expected_;
    std::string BackupInventory_;
};

}  // namespace

int RunPlantCommand(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err, TJsonWriter& Json,
                    TProgressLine& Progress)
{
    TPlantCommand Command(Arguments, StopFd, Out, Err, Json, Progress);
    return Command.Run();
}

}  // namespace varnolink
