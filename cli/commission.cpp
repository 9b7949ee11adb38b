// SPDX-License-Identifier: MIT
// varnolink commission: a series of modules on one port, with its log,
// dry run, progress and summary.
#include "cli/commission.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/journal_command.h"
#include "cli/module_held.h"
#include "cli/port_advice.h"
#include "main/files/backup_store.h"
#include "main/files/commission_log.h"
#include "main/engine/commission_loop.h"
#include "main/files/config_file.h"
#include "main/protocol/hex.h"
#include "main/files/id_list.h"
#include "main/engine/series_commissioning.h"

namespace varnolink {

namespace {

// Every field but the Remote ID, which each module gets from the list.
TModuleConfig LoadTemplate(const std::string& Path)
{
    const TConfigFile File = LoadConfigFile(Path);
    for (const std::string& Field : File.Config.MissingFields())
        if (Field != ModuleConfigFieldName(0))
            throw EConfigFile(Path, 0, Field, "missing (a template needs every field but remote_id)");
    return File.Config.Over(FactoryModuleConfig);
}

std::string Seconds(std::chrono::milliseconds Took)
{
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.2f s", static_cast<double>(Took.count()) / 1000.0);
    return Text;
}

// The connection's line, remembering how the last write chain ended short
// (the module's writes then say what it holds).
class TReportingLine final : public TCommissionLine {
public:
    TReportingLine(TModuleConnection& Connection, std::string PortName) : Line_(Connection, std::move(PortName)) {}
    std::string PortName() const override { return Line_.PortName(); }
    std::optional<TModuleIdentity> Identify(std::chrono::milliseconds Wait) override { return Line_.Identify(Wait); }
    TModuleReading ReadConfig() override { return Line_.ReadConfig(); }
    TWriteResult WriteConfig(const TModuleConfig& Config) override
    {
        ShortEnd.reset();
        try {
            return Line_.WriteConfig(Config);
        } catch (const EModuleConnection& Error) {
            ShortEnd = Error.Chain();
            throw;
        }
    }

    std::optional<TChainResult> ShortEnd;

private:
    TConnectionCommissionLine Line_;
};

// Progress on stderr, the dry run's changes on stdout (or in the JSON).
class TProgress final : public TCommissionObserver {
public:
    TProgress(std::ostream& Out, std::ostream& Err, bool DryRun, const TReportingLine& Line, TJsonWriter* Json)
        : Out_(Out), Err_(Err), DryRun_(DryRun), Line_(Line), Json_(Json)
    {
        Modules.BeginArray();
        WouldChanges.BeginArray();
    }

    TJsonWriter Modules, WouldChanges;
    std::size_t Changed = 0;           // modules that got a write frame
    std::size_t WouldChangeCount = 0;  // dry run: modules that would

    bool DryRun() const { return DryRun_; }

    void WaitingForModule(const std::string& Port) override { Err_ << "waiting for a module on " << Port << std::endl; }

    void ModuleStarted(std::size_t Number, std::size_t Total, uint8_t ID) override
    {
        Total_ = Total;
        ID_ = ID;
        Err_ << Prefix(Number) << (DryRun_ ? "reading (dry run), ID " : "writing ID ") << HexByteToStr2(ID)
             << std::endl;
    }

    void WouldChange(std::size_t Number, uint8_t ID, const std::vector<std::string>& Changes) override
    {
        if (!Changes.empty())
            ++WouldChangeCount;
        if (Json_) {
            WouldChanges.BeginObject()
                .Member("number", static_cast<int64_t>(Number))
                .Member("id", HexByteToStr2(ID))
                .Member("changes", Changes)
                .EndObject();
            return;
        }
        Out_ << Prefix(Number) << "ID " << HexByteToStr2(ID) << " would change ";
        if (Changes.empty())
            Out_ << "nothing";
        for (std::size_t I = 0; I < Changes.size(); ++I)
            Out_ << (I > 0 ? ", " : "") << Changes[I];
        Out_ << std::endl;
    }

    void ModuleFinished(std::size_t Number, const TCommissionRow& Row, std::chrono::milliseconds Took) override
    {
        Err_ << Prefix(Number) << "ID " << HexByteToStr2(ID_) << " " << CommissionResultText(Row.Result);
        if (!Row.Detail.empty())
            Err_ << (Row.Result == TCommissionResult::NoReply ? " to " : ": ") << Row.Detail;
        Err_ << " (" << Seconds(Took) << ")" << std::endl;
        const TModuleHeld Held = Line_.ShortEnd ? TModuleHeld::Of(*Line_.ShortEnd) : TModuleHeld::Everything();
        if (Line_.ShortEnd)
            PrintModuleHeld(Held, Err_);
        Modules.BeginObject()
            .Member("number", static_cast<int64_t>(Number))
            .Member("id", HexByteToStr2(ID_))
            .Member("result", CommissionResultText(Row.Result))
            .Member("detail", Row.Detail);
        WriteModuleHeld(Modules, Held);
        Modules.EndObject();
        if (!Held.Written.empty() || Held.Unconfirmed)
            ++Changed;
    }

    void ConnectNextModule(bool OnEnter) override
    {
        Err_ << (OnEnter ? "connect the next module and press Enter"
                         : "connect the next module (or press Enter to take the one on the line)")
             << std::endl;
    }

private:
    std::string Prefix(std::size_t Number) const
    {
        return "module " + std::to_string(Number) + " of " + std::to_string(Total_) + ": ";
    }

    std::ostream& Out_;
    std::ostream& Err_;
    bool DryRun_;
    const TReportingLine& Line_;
    TJsonWriter* Json_;
    std::size_t Total_ = 0;
    uint8_t ID_ = 0;
};

// The IDs a log already shows as done, for a dry run that must not touch it.
std::set<uint8_t> DoneInExistingLog(const std::string& Path, std::vector<std::string>& Skipped)
{
    if (::access(Path.c_str(), F_OK) != 0)
        return {};
    return DoneIDs(ReadCommissionLog(Path, &Skipped));
}

void PrintSummary(const TSeriesCommissioning& Series, TProgress& Progress, std::ostream& Out, TJsonWriter* Json)
{
    const TCommissionSummary& Summary = Series.Summary();
    if (Json) {
        // The rows were gathered in arrays of their own as they came.
        Json->Key("modules").Raw(Progress.Modules.EndArray().Text());
        Json->Key("would_change").Raw(Progress.WouldChanges.EndArray().Text());
        const bool DryRun = Progress.DryRun();
        const std::size_t Changed = DryRun ? Progress.WouldChangeCount : Progress.Changed;
        Json->Member("changed", Changed > 0)
            .Member("comment", std::to_string(Changed) + (DryRun ? " modules would be written" : " modules written"));
        Json->Key("summary")
            .BeginObject()
            .Member("ok", static_cast<int64_t>(Summary.Ok))
            .Member("failed", static_cast<int64_t>(Summary.Failed))
            .Member("skipped", static_cast<int64_t>(Summary.Skipped))
            .Member("complete", Summary.Complete)
            .Key("next_id");
        if (const auto Next = Series.NextID(); Next && !Summary.Complete)
            Json->String(HexByteToStr2(*Next));
        else
            Json->Null();
        Json->EndObject();
        return;
    }
    Out << "summary: " << Summary.Ok << " ok, " << Summary.Failed << " failed, " << Summary.Skipped << " skipped";
    if (Summary.Complete)
        Out << "; every ID of the list is done";
    else if (const auto Next = Series.NextID())
        Out << "; stopped, the next ID is " << HexByteToStr2(*Next);
    Out << std::endl;
}

}  // namespace

int RunCommission(const TCliArguments& Arguments, TModuleConnection& Connection, TWireObserver* WireLog, int StopFd,
                  int EnterFd, std::ostream& Out, std::ostream& Err, TJsonWriter& Json)
{
    TCommissionPlan Plan;
    Plan.Template = LoadTemplate(Arguments.File);
    try {
        Plan.IDs = ParseIDList(Arguments.Ids);
    } catch (const EIDList& Error) {
        throw EUsage("--ids " + Arguments.Ids + ": " + Error.what());
    }
    Plan.DryRun = Arguments.DryRun;
    Plan.NextOnEnter = Arguments.NextOnEnter;
    if (!Arguments.NoBackup)
        Plan.BackupFolder = DefaultBackupFolder();
    TChangeJournal Journal(JournalPathOf(Arguments));
    Plan.Journal = &Journal;
    Plan.Reason = Arguments.Reason;

    std::unique_ptr<TCommissionLog> Log;
    std::vector<std::string> Skipped;
    try {
        if (!Arguments.Log.empty() && Arguments.DryRun) {
            Plan.Done = DoneInExistingLog(Arguments.Log, Skipped);
        } else if (!Arguments.Log.empty()) {
            Log = std::make_unique<TCommissionLog>(Arguments.Log);
            Plan.Done = Log->Done();
            Skipped = Log->Skipped();
        }
    } catch (const ECommissionLog& Error) {
        // Exit status 1, as for a configuration file that is wrong.
        throw EUsage(Error.what());
    }
    // Damaged rows do not block the run; the operator learns which they are.
    for (const std::string& Row : Skipped)
        Err << "varnolink: " << Row << std::endl;

    // Ctrl-C ends the module's chain at once, as in write: the row says
    // what the module holds, the request on the line unconfirmed.
    Connection.SetStopDescriptor(StopFd, TStopWhen::Now);
    if (WireLog)
        Connection.SetWireObserver(WireLog);
    RefuseSystemConsole(Arguments.Port);
    Connection.Open(Arguments.Port);
    const std::string Port = TModuleConnection::DevicePathOf(Arguments.Port);
    Json.Member("port", Port);
    TReportingLine Line(Connection, Port);
    TJsonWriter* JsonOut = Arguments.Json ? &Json : nullptr;
    TProgress Progress(Out, Err, Plan.DryRun, Line, JsonOut);
    TSeriesCommissioning Series(Line, Plan, Log.get(), Progress);
    try {
        RunCommissionLoop(Series, StopFd, EnterFd);
    } catch (const std::exception&) {
        PrintSummary(Series, Progress, Out, JsonOut);
        throw;
    }
    PrintSummary(Series, Progress, Out, JsonOut);
    return Series.Summary().Interrupted ? ExitStopped : ExitDone;
}

}  // namespace varnolink
