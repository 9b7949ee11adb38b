// SPDX-License-Identifier: MIT
// Many modules at once: a session port per line on one epoll loop, each line
// working through its rows one after the other.
#include "main/engine/plant_run.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <map>
#include <utility>

#include "main/engine/listen_before_writes.h"
#include "main/engine/module_errors.h"
#include "main/engine/session_port.h"
#include "main/files/commission_log.h"
#include "main/files/backup_store.h"
#include "main/files/config_file.h"

namespace varnolink {

namespace {

// A module's name as a file name of the backup folder: a name from the
// inventory never reaches outside it ("../x" and "a/b" stay inside).
std::string FileNameOf(std::string Name)
{
    std::replace(Name.begin(), Name.end(), '/', '-');
    if (!Name.empty() && Name.front() == '.')
        Name.front() = '_';
    return Name;
}

bool IsBusy(int SystemError)
{
    return SystemError == EWOULDBLOCK || SystemError == EBUSY;
}

}  // namespace

const char* PlantOutcomeText(TPlantOutcome Outcome)
{
    switch (Outcome) {
    case TPlantOutcome::Waiting:
        return "waiting";
    case TPlantOutcome::Running:
        return "running";
    case TPlantOutcome::Ok:
        return "ok";
    case TPlantOutcome::Differs:
        return "differs";
    case TPlantOutcome::Unchanged:
        return "unchanged";
    case TPlantOutcome::Written:
        return "written";
    case TPlantOutcome::DiffersAfterWrite:
        return "differs after write";
    case TPlantOutcome::NoReply:
        return "no reply";
    case TPlantOutcome::PortError:
        return "port error";
    case TPlantOutcome::Stopped:
        return "stopped";
    case TPlantOutcome::Found:
        return "found";
    case TPlantOutcome::NoAnswer:
        return "no answer";
    case TPlantOutcome::Busy:
        return "busy";
    case TPlantOutcome::FileError:
        return "file error";
    }
    return "?";
}

// One line: its rows in order, and while it is served its port.
struct TPlantRun::TLine {
    enum class TStage { Idle, Opening, Reading, Writing, Probing };
    std::vector<std::size_t> Rows;
    std::size_t Next = 0;  // the row running (an index into Rows)
    std::unique_ptr<TSessionPort> Port;
    TStage Stage = TStage::Idle;
    std::optional<TChainResult> Ended;
    std::optional<EModulePort> OpenFailure;  // how the open in steps ended
    std::string ChangeId;                    // the journal's record of the write under way
    bool InLoop = false;
    bool Done = false;
};

TPlantRun::TPlantRun(std::vector<TPlantModule> Modules, TPlantOptions Options) : Options_(std::move(Options))
{
    std::map<std::string, TLine*> LineOf;
    Rows_.reserve(Modules.size());
    for (TPlantModule& Module : Modules) {
        TPlantRow Row;
        Row.DevicePath = cport::TComPort::DevicePathOf(Module.Port);
        Row.Module = std::move(Module);
        TLine*& Line = LineOf[Row.DevicePath];
        if (Line == nullptr) {
            Lines_.push_back(std::make_unique<TLine>());
            Line = Lines_.back().get();
        }
        Line->Rows.push_back(Rows_.size());
        ++OutcomeCounts_[static_cast<std::size_t>(Row.Outcome)];
        Rows_.push_back(std::move(Row));
    }
}

TPlantRun::~TPlantRun() = default;

std::string TPlantRun::Now() const
{
    return Options_.UtcNow ? Options_.UtcNow() : UtcTimeText(std::chrono::system_clock::now());
}

void TPlantRun::Changed(std::size_t Row)
{
    if (OnRowChanged)
        OnRowChanged(Row);
}

// The summary is kept by outcome as rows change (each change is shown with
// it), not counted over every row each time.
TPlantSummary TPlantRun::Summary() const
{
    TPlantSummary Sum;
    Sum.Total = Rows_.size();
    for (std::size_t Outcome = 0; Outcome < OutcomeCounts_.size(); ++Outcome) {
        const std::size_t Count = OutcomeCounts_[Outcome];
        switch (static_cast<TPlantOutcome>(Outcome)) {
        case TPlantOutcome::Waiting:
        case TPlantOutcome::Running:
            continue;
        case TPlantOutcome::Ok:
        case TPlantOutcome::Unchanged:
        case TPlantOutcome::Written:
        case TPlantOutcome::Found:
            Sum.Good += Count;
            break;
        case TPlantOutcome::Differs:
        case TPlantOutcome::DiffersAfterWrite:
            Sum.Differing += Count;
            break;
        case TPlantOutcome::NoReply:
        case TPlantOutcome::PortError:
        case TPlantOutcome::NoAnswer:
        case TPlantOutcome::Busy:
            Sum.Unreachable += Count;
            break;
        case TPlantOutcome::FileError:
            Sum.Failed += Count;
            break;
        case TPlantOutcome::Stopped:
            Sum.Stopped += Count;
            break;
        }
        Sum.Done += Count;
    }
    return Sum;
}

void TPlantRun::SetOutcome(std::size_t Row, TPlantOutcome Outcome)
{
    --OutcomeCounts_[static_cast<std::size_t>(Rows_[Row].Outcome)];
    ++OutcomeCounts_[static_cast<std::size_t>(Outcome)];
    Rows_[Row].Outcome = Outcome;
}

void TPlantRun::Run(TEpollLoop& Loop)
{
    Loop.RunUntil([&] { return Advance(Loop); });
}

bool TPlantRun::Advance(TEpollLoop& Loop)
{
    StopAtEnd(Loop);
    // Taking an ending may start the next chain, which may end at once.
    while (!Ended_.empty()) {
        std::vector<TLine*> Ended;
        Ended.swap(Ended_);
        for (TLine* Line : Ended) {
            if (Line->Stage == TLine::TStage::Opening)
                OpenEnded(*Line, Loop);
            else
                ChainEnded(*Line, Loop);
        }
        StartWrites(Loop);
    }
    const std::size_t Jobs = Options_.Jobs == 0 ? Lines_.size() : Options_.Jobs;
    while (NextLine_ < Lines_.size() && Active_ < Jobs) {
        TLine& Line = *Lines_[NextLine_++];
        StartLine(Line, Loop);
        if (!Ended_.empty())
            return Advance(Loop);
    }
    return LinesDone_ == Lines_.size();
}

void TPlantRun::StopAtEnd(TEpollLoop& Loop) const
{
    if (Options_.EndBy && !Loop.StopRequested() && std::chrono::steady_clock::now() >= *Options_.EndBy)
        Loop.RequestStop(TStopWhen::AfterTheRequest);
}

void TPlantRun::StartLine(TLine& Line, TEpollLoop& Loop)
{
    ++Active_;
    Line.Port = std::make_unique<TSessionPort>();
    // Many ports open one after another on this thread: none may wait at
    // its open for a greeting.
    Line.Port->CheckTelnetAtFirstBytes();
    Line.Port->Session().SetReplyWait(Options_.ReplyWait);
    Line.Port->OnEvent = [this, &Line](const TSessionEvent& Event) {
        if (const auto* End = std::get_if<TChainEnded>(&Event)) {
            Line.Ended = End->Result;
            Ended_.push_back(&Line);
        }
    };
    // A network port opens in steps of the loop: a server that does not
    // answer costs its own line its time-out and holds no other line.
    Line.Port->OnOpenEnded = [this, &Line](const EModulePort* Failure) {
        if (Failure != nullptr)
            Line.OpenFailure = *Failure;
        Ended_.push_back(&Line);
    };
    Loop.Add(*Line.Port);
    Line.InLoop = true;
    StartRow(Line, Loop);
}

void TPlantRun::StartRow(TLine& Line, TEpollLoop& Loop)
{
    const std::size_t Index = Line.Rows[Line.Next];
    TPlantRow& Row = Rows_[Index];
    StopAtEnd(Loop);
    if (Loop.StopRequested()) {
        Row.Reason = "not started";
        Finish(Line, TPlantOutcome::Stopped, Loop);
        return;
    }
    SetOutcome(Index, TPlantOutcome::Running);
    Changed(Index);
    if (!Line.Port->IsOpen()) {
        try {
            Line.Port->BeginOpen(Row.Module.Port);
        } catch (const EModulePort& Error) {
            OpenFailed(Line, Error, Loop);
            return;
        }
        if (Line.Port->Opening()) {
            Line.Stage = TLine::TStage::Opening;
            return;
        }
    }
    StartChain(Line);
}

void TPlantRun::OpenFailed(TLine& Line, const EModulePort& Error, TEpollLoop& Loop)
{
    TPlantRow& Row = Rows_[Line.Rows[Line.Next]];
    const bool Busy = IsBusy(Error.SystemError());
    Row.Reason = Busy && Options_.HolderOf ? Options_.HolderOf(Row.DevicePath) : Error.what();
    Finish(Line, Busy ? TPlantOutcome::Busy : TPlantOutcome::PortError, Loop);
}

// The open in steps has ended: the row goes on, unless a stop came meanwhile
// (which abandons an open under way).
void TPlantRun::OpenEnded(TLine& Line, TEpollLoop& Loop)
{
    Line.Stage = TLine::TStage::Idle;
    std::optional<EModulePort> Failure = std::move(Line.OpenFailure);
    Line.OpenFailure.reset();
    StopAtEnd(Loop);
    if (Loop.StopRequested()) {
        Rows_[Line.Rows[Line.Next]].Reason = "not started";
        Finish(Line, TPlantOutcome::Stopped, Loop);
    } else if (Failure) {
        OpenFailed(Line, *Failure, Loop);
    } else {
        StartChain(Line);
    }
}

void TPlantRun::StartChain(TLine& Line)
{
    if (Options_.Task == TPlantTask::Find) {
        Line.Stage = TLine::TStage::Probing;
        // Who answers, and with which Remote ID, within the short wait.
        TChainPlan Probe = TChainPlan::Probe(Options_.ProbeWait);
        Probe.Steps.push_back(chain_detail::Read(CodeIDCode));
        Line.Port->Start(std::move(Probe), TSessionClock::now());
    } else {
        Line.Stage = TLine::TStage::Reading;
        Line.Port->Start(TChainPlan::Read(), TSessionClock::now());
    }
}

void TPlantRun::ChainEnded(TLine& Line, TEpollLoop& Loop)
{
    if (!Line.Ended)
        return;
    const TChainResult Result = std::move(*Line.Ended);
    Line.Ended.reset();
    TPlantRow& Row = Rows_[Line.Rows[Line.Next]];
    const TModuleRecord& Record = Line.Port->Session().Record();
    if (Line.Stage == TLine::TStage::Writing) {
        Row.Write = Result;
        if (!Line.ChangeId.empty())
            EndsDue_.push_back(EndRecord(std::exchange(Line.ChangeId, std::string()), Result));
    }
    switch (Result.End) {
    case TChainEnd::Completed:
        break;
    case TChainEnd::Differs:
        Row.ReadBack = Record.Config();
        Row.Differences = ConfigDifferences(*Row.Module.Wanted, Record.Config());
        Finish(Line, TPlantOutcome::DiffersAfterWrite, Loop);
        return;
    case TChainEnd::NoReply:
        if (Line.Stage == TLine::TStage::Probing) {
            Finish(Line, TPlantOutcome::NoAnswer, Loop);
            return;
        }
        Row.NoReplyTo = Result.OnTheLine;
        Finish(Line, TPlantOutcome::NoReply, Loop);
        return;
    case TChainEnd::DeviceLost:
    case TChainEnd::PortError:
    case TChainEnd::TwoModules:
        Row.Reason = Result.Reason;
        Finish(Line, TPlantOutcome::PortError, Loop);
        return;
    case TChainEnd::Stopped:
        Row.Reason = Line.Stage == TLine::TStage::Writing ? "while writing" : "while reading";
        Finish(Line, TPlantOutcome::Stopped, Loop);
        return;
    }
    switch (Line.Stage) {
    case TLine::TStage::Probing:
        Row.Identity = Record.Identity();
        Row.RemoteId = Record.Config().RemoteId;
        Finish(Line, TPlantOutcome::Found, Loop);
        return;
    case TLine::TStage::Reading:
        ReadEnded(Line, Row, Loop);
        return;
    case TLine::TStage::Writing:
        Row.ReadBack = Record.Config();
        Finish(Line, TPlantOutcome::Written, Loop);
        return;
    case TLine::TStage::Idle:
    case TLine::TStage::Opening:
        return;
    }
}

void TPlantRun::ReadEnded(TLine& Line, TPlantRow& Row, TEpollLoop& Loop)
{
    const TModuleRecord& Record = Line.Port->Session().Record();
    Row.ReadAt = Now();
    Row.Identity = Record.Identity();
    Row.Held = Record.Config();
    Row.RemoteId = Row.Held->RemoteId;
    if (Row.Module.Wanted)
        Row.Differences = ConfigDifferences(*Row.Module.Wanted, *Row.Held);
    const TBackupOrigin Origin{Row.ReadAt, Row.Module.Port, Row.Module.Name, *Row.Identity};
    switch (Options_.Task) {
    case TPlantTask::Find:
    case TPlantTask::Audit:
        Finish(Line, Row.Differences.empty() ? TPlantOutcome::Ok : TPlantOutcome::Differs, Loop);
        return;
    case TPlantTask::Backup:
        try {
            Row.BackupFile = Options_.BackupFolder + "/" + FileNameOf(Row.Module.Name) + ".ini";
            SaveConfigFile(Row.BackupFile, ConfigFileText(*Row.Held, &*Row.Identity, Row.ReadAt));
        } catch (const EConfigFile& Error) {
            Row.BackupFile.clear();
            Row.Reason = Error.what();
            Finish(Line, TPlantOutcome::FileError, Loop);
            return;
        }
        Finish(Line, TPlantOutcome::Ok, Loop);
        return;
    case TPlantTask::Apply:
        break;
    }
    if (Row.Differences.empty()) {
        Finish(Line, TPlantOutcome::Unchanged, Loop);
        return;
    }
    if (Options_.DryRun) {
        Finish(Line, TPlantOutcome::Differs, Loop);
        return;
    }
    if (Loop.StopRequested()) {
        Row.Reason = "before the write";
        Finish(Line, TPlantOutcome::Stopped, Loop);
        return;
    }
    // What the module held is kept before its first write frame; without
    // that copy nothing is written.
    try {
        Row.BackupFile = SaveBackup(Options_.BackupFolder, Origin, *Row.Held);
    } catch (const EConfigFile& Error) {
        Row.Reason = std::string("the backup could not be written, nothing was written: ") + Error.what();
        Finish(Line, TPlantOutcome::FileError, Loop);
        return;
    }
    Line.Stage = TLine::TStage::Writing;
    WritesDue_.push_back(&Line);
}

void TPlantRun::StartWrites(TEpollLoop& Loop)
{
    std::vector<TLine*> Due;
    Due.swap(WritesDue_);
    std::vector<TJournalRecord> Records;
    Records.swap(EndsDue_);
    for (TLine* Line : Due) {
        const TPlantRow& Row = Rows_[Line->Rows[Line->Next]];
        if (Options_.Journal == nullptr)
            break;
        Records.push_back(IntentRecord(
            {"apply", Row.DevicePath, *Row.Identity, Row.BackupFile, *Row.Held, *Row.Module.Wanted, Options_.Reason}));
        Line->ChangeId = Records.back().Id;
    }
    try {
        if (Options_.Journal != nullptr)
            Options_.Journal->Append(Records);
    } catch (const EJournal& Error) {
        for (TLine* Line : Due) {
            Line->ChangeId.clear();
            Rows_[Line->Rows[Line->Next]].Reason =
                std::string("the journal could not be written, nothing was written: ") + Error.what();
            Finish(*Line, TPlantOutcome::FileError, Loop);
        }
        return;
    }
    for (TLine* Line : Due) {
        // A reply left over from a second module shows before the first write.
        TChainPlan Write = TChainPlan::Write(*Rows_[Line->Rows[Line->Next]].Module.Wanted);
        ListenBeforeWrites(Write, Line->Port->LineSpeed());
        Line->Port->Start(std::move(Write), TSessionClock::now());
    }
}

void TPlantRun::Finish(TLine& Line, TPlantOutcome Outcome, TEpollLoop& Loop)
{
    const std::size_t Index = Line.Rows[Line.Next];
    SetOutcome(Index, Outcome);
    Line.Stage = TLine::TStage::Idle;
    Changed(Index);
    if (++Line.Next < Line.Rows.size()) {
        StartRow(Line, Loop);
        return;
    }
    // The line is done: its port is closed and freed.
    if (Line.InLoop)
        Loop.Remove(*Line.Port);
    Line.InLoop = false;
    Line.Port.reset();
    Line.Done = true;
    --Active_;
    ++LinesDone_;
}

}  // namespace varnolink
