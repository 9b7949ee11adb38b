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
    for (const TConfigField Field : File.Config.MissingFields())
        if (Field != RemoteIdField)
            throw EConfigFile(Path, 0, ModuleConfigFieldName(Field),
                              "missing (a template needs every field but remote_id)");
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

// One module of the series as it ended, and what the dry run would change
// in one: the run's result, gathered as the modules come.
struct TCommissionedModule {
    std::size_t Number = 0;
    uint8_t Id = 0;
    TCommissionResult Result{};
    std::string Detail;
    TModuleHeld Held;
};
struct TWouldChange {
    std::size_t Number = 0;
    uint8_t Id = 0;
    std::vector<std::string> Changes;
};
struct TCommissionReport {
    bool DryRun = false;
    std::vector<TCommissionedModule> Modules;
    std::vector<TWouldChange> WouldChange;
    TCommissionSummary Summary;
    std::optional<uint8_t> NextId;
};

// The dry run's line for one module, on stdout as soon as it is known.
void RenderText(const TWouldChange& Would, std::size_t Total, std::ostream& Out)
{
    Out << "module " << Would.Number << " of " << Total << ": ID " << HexByteToStr2(Would.Id) << " would change ";
    if (Would.Changes.empty())
        Out << "nothing";
    for (std::size_t I = 0; I < Would.Changes.size(); ++I)
        Out << (I > 0 ? ", " : "") << Would.Changes[I];
    Out << std::endl;
}

void RenderText(const TCommissionReport& Report, std::ostream& Out)
{
    const TCommissionSummary& Summary = Report.Summary;
    Out << "summary: " << Summary.Ok << " ok, " << Summary.Failed << " failed, " << Summary.Skipped << " skipped";
    if (Summary.Complete)
        Out << "; every ID of the list is done";
    else if (Report.NextId)
        Out << "; stopped, the next ID is " << HexByteToStr2(*Report.NextId);
    Out << std::endl;
}

void RenderJson(const TCommissionReport& Report, TJsonWriter& Json)
{
    Json.Key("modules").BeginArray();
    std::size_t Written = 0;
    for (const TCommissionedModule& Module : Report.Modules) {
        Json.BeginObject()
            .Member("number", static_cast<int64_t>(Module.Number))
            .Member("id", HexByteToStr2(Module.Id))
            .Member("result", CommissionResultText(Module.Result))
            .Member("detail", Module.Detail);
        WriteModuleHeld(Json, Module.Held);
        Json.EndObject();
        if (!Module.Held.Written.empty() || Module.Held.Unconfirmed)
            ++Written;
    }
    Json.EndArray().Key("would_change").BeginArray();
    std::size_t WouldWrite = 0;
    for (const TWouldChange& Would : Report.WouldChange) {
        Json.BeginObject()
            .Member("number", static_cast<int64_t>(Would.Number))
            .Member("id", HexByteToStr2(Would.Id))
            .Member("changes", Would.Changes)
            .EndObject();
        if (!Would.Changes.empty())
            ++WouldWrite;
    }
    Json.EndArray();
    const std::size_t Changed = Report.DryRun ? WouldWrite : Written;
    Json.Member("changed", Changed > 0)
        .Member("comment",
                std::to_string(Changed) + (Report.DryRun ? " modules would be written" : " modules written"));
    const TCommissionSummary& Summary = Report.Summary;
    Json.Key("summary")
        .BeginObject()
        .Member("ok", static_cast<int64_t>(Summary.Ok))
        .Member("failed", static_cast<int64_t>(Summary.Failed))
        .Member("skipped", static_cast<int64_t>(Summary.Skipped))
        .Member("complete", Summary.Complete)
        .Key("next_id");
    if (Report.NextId && !Summary.Complete)
        Json.String(HexByteToStr2(*Report.NextId));
    else
        Json.Null();
    Json.EndObject();
}

// Progress on stderr and the dry run's changes on stdout as they come; the
// modules gathered into the report.
class TProgress final : public TCommissionObserver {
public:
    TProgress(std::ostream& Out, std::ostream& Err, bool DryRun, const TReportingLine& Line, bool Json)
        : Out_(Out), Err_(Err), Line_(Line), Json_(Json)
    {
        Report.DryRun = DryRun;
    }

    TCommissionReport Report;

    void WaitingForModule(const std::string& Port) override { Err_ << "waiting for a module on " << Port << std::endl; }

    void ModuleStarted(std::size_t Number, std::size_t Total, uint8_t ID) override
    {
        Total_ = Total;
        ID_ = ID;
        Err_ << Prefix(Number) << (Report.DryRun ? "reading (dry run), ID " : "writing ID ") << HexByteToStr2(ID)
             << std::endl;
    }

    void WouldChange(std::size_t Number, uint8_t ID, const std::vector<std::string>& Changes) override
    {
        Report.WouldChange.push_back({Number, ID, Changes});
        if (!Json_)
            RenderText(Report.WouldChange.back(), Total_, Out_);
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
        Report.Modules.push_back({Number, ID_, Row.Result, Row.Detail, Held});
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
    const TReportingLine& Line_;
    bool Json_;
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

// The run's result, rendered once, also when the run ends with an error.
void PrintSummary(const TSeriesCommissioning& Series, TProgress& Progress, std::ostream& Out, TJsonWriter* Json)
{
    Progress.Report.Summary = Series.Summary();
    Progress.Report.NextId = Series.NextID();
    if (Json)
        RenderJson(Progress.Report, *Json);
    else
        RenderText(Progress.Report, Out);
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
    OpenModulePort(Connection, Arguments);
    const std::string Port = TModuleConnection::DevicePathOf(Arguments.Port);
    Json.Member("port", Port);
    TReportingLine Line(Connection, Port);
    TJsonWriter* JsonOut = Arguments.Json ? &Json : nullptr;
    TProgress Progress(Out, Err, Plan.DryRun, Line, Arguments.Json);
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
