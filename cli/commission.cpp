// SPDX-License-Identifier: MIT
#include "cli/commission.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "main/files/commission_log.h"
#include "main/engine/commission_loop.h"
#include "main/files/config_file.h"
#include "main/protocol/hex.h"
#include "main/files/id_list.h"
#include "main/engine/series_commissioning.h"

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

// Progress on stderr, the dry run's changes on stdout.
class TProgress final : public TCommissionObserver {
public:
    TProgress(std::ostream& Out, std::ostream& Err, bool DryRun) : Out_(Out), Err_(Err), DryRun_(DryRun) {}

    void WaitingForModule(const std::string& Port) override
    {
        Err_ << "waiting for a module on " << Port << std::endl;
    }

    void ModuleStarted(std::size_t Number, std::size_t Total, uint8_t ID) override
    {
        Total_ = Total;
        ID_ = ID;
        Err_ << Prefix(Number) << (DryRun_ ? "reading (dry run), ID " : "writing ID ") << HexByteToStr2(ID)
             << std::endl;
    }

    void WouldChange(std::size_t Number, uint8_t ID, const std::vector<std::string>& Changes) override
    {
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

void PrintSummary(const TSeriesCommissioning& Series, std::ostream& Out)
{
    const TCommissionSummary& Summary = Series.Summary();
    Out << "summary: " << Summary.Ok << " ok, " << Summary.Failed << " failed, " << Summary.Skipped << " skipped";
    if (Summary.Complete)
        Out << "; every ID of the list is done";
    else if (const auto Next = Series.NextID())
        Out << "; stopped, the next ID is " << HexByteToStr2(*Next);
    Out << std::endl;
}

}  // namespace

int RunCommission(const TCliArguments& Arguments, TModuleConnection& Connection, TWireObserver* WireLog,
                  int StopFd, int EnterFd, std::ostream& Out, std::ostream& Err)
{
    if (Arguments.Json)
        throw EUsage("commission reports as text only (no --json)");
    TCommissionPlan Plan;
    Plan.Template = LoadTemplate(Arguments.File);
    try {
        Plan.IDs = ParseIDList(Arguments.Ids);
    } catch (const EIDList& Error) {
        throw EUsage("--ids " + Arguments.Ids + ": " + Error.what());
    }
    Plan.DryRun = Arguments.DryRun;
    Plan.NextOnEnter = Arguments.NextOnEnter;

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

    Connection.SetStopDescriptor(StopFd);
    if (WireLog)
        Connection.SetWireObserver(WireLog);
    Connection.Open(Arguments.Port);
    const std::string Port = TModuleConnection::DevicePathOf(Arguments.Port);
    TConnectionCommissionLine Line(Connection, Port);
    TProgress Progress(Out, Err, Plan.DryRun);
    TSeriesCommissioning Series(Line, Plan, Log.get(), Progress);
    try {
        RunCommissionLoop(Series, StopFd, EnterFd);
    } catch (const std::exception&) {
        PrintSummary(Series, Out);
        throw;
    }
    PrintSummary(Series, Out);
    return Series.Summary().Interrupted ? ExitStopped : ExitDone;
}
