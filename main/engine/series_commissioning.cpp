// SPDX-License-Identifier: MIT
// Commissioning a series of modules: one module at a time, each given the
// next ID, read back and logged.
#include "main/engine/series_commissioning.h"

#include <algorithm>
#include <utility>

#include "main/files/backup_store.h"
#include "main/protocol/hex.h"
#include "main/protocol/transaction_chains.h"

namespace varnolink {

namespace {

using TClock = std::chrono::steady_clock;

std::string Joined(const std::vector<std::string>& Parts, const std::string& Separator)
{
    std::string Text;
    for (const auto& Part : Parts)
        Text += (Text.empty() ? "" : Separator) + Part;
    return Text;
}

bool Contains(const std::vector<TConfigField>& Fields, TConfigField Field)
{
    return std::find(Fields.begin(), Fields.end(), Field) != Fields.end();
}

// "direction.P0: wrote 5A, read 5B" for each field the module did not take.
std::vector<std::string> Mismatches(const TModuleConfig& Written, const TModuleConfig& Held)
{
    std::vector<std::string> Fields;
    for (const TFieldDifference& Difference : ConfigDifferences(Written, Held))
        Fields.push_back(ModuleConfigFieldName(Difference.Field) + ": wrote " + Difference.WantedText() + ", read " +
                         Difference.HeldText());
    return Fields;
}

}  // namespace

std::string HeldText(const TChainResult& Result)
{
    const std::vector<std::string> Written = ModuleConfigFieldNames(Result.WrittenFields());
    std::string Text = Written.empty() ? "nothing written" : "written: " + Joined(Written, " ");
    if (const std::optional<TConfigField> Unconfirmed = Result.UnconfirmedField())
        Text += "; sent, unconfirmed: " + ModuleConfigFieldName(*Unconfirmed);
    if (const std::vector<std::string> Unsent = ModuleConfigFieldNames(Result.UnsentFields()); !Unsent.empty())
        Text += "; not sent: " + Joined(Unsent, " ");
    return Text;
}

TCommissionLine::~TCommissionLine() = default;

TConnectionCommissionLine::TConnectionCommissionLine(TModuleConnection& Connection, std::string PortName,
                                                     std::chrono::milliseconds Wait)
    : Connection_(Connection), PortName_(std::move(PortName))
{
    Connection_.SetReplyWait(Wait);
}

std::optional<TModuleIdentity> TConnectionCommissionLine::Identify(std::chrono::milliseconds Wait)
{
    return Connection_.Probe(Wait);
}

TCommissionObserver::~TCommissionObserver() = default;
void TCommissionObserver::WaitingForModule(const std::string&) {}
void TCommissionObserver::ModuleStarted(std::size_t, std::size_t, uint8_t) {}
void TCommissionObserver::WouldChange(std::size_t, uint8_t, const std::vector<std::string>&) {}
void TCommissionObserver::ModuleFinished(std::size_t, const TCommissionRow&, std::chrono::milliseconds) {}
void TCommissionObserver::ConnectNextModule(bool) {}

std::string ModuleConfigHex(const TModuleConfig& Config)
{
    std::string Text = HexByteToStr2(Config.RemoteId) + " " + HexByteToStr2(static_cast<uint8_t>(Config.BaudIndex));
    for (const auto& Bytes : {Config.Direction, Config.PowerOnDefault})
        for (const uint8_t Byte : Bytes)
            Text += " " + HexByteToStr2(Byte);
    return Text;
}

std::vector<std::string> FieldChanges(const TModuleConfig& From, const TModuleConfig& To)
{
    std::vector<std::string> Changes;
    for (const TFieldDifference& Change : ConfigDifferences(From, To))
        Changes.push_back(ModuleConfigFieldName(Change.Field) + " " + Change.WantedText() + " -> " + Change.HeldText());
    return Changes;
}

TSeriesCommissioning::TSeriesCommissioning(TCommissionLine& Line, TCommissionPlan Plan, TCommissionLog* Log,
                                           TCommissionObserver& Observer)
    : Line_(Line), Plan_(std::move(Plan)), Log_(Log), Observer_(Observer)
{
    for (const uint8_t ID : Plan_.IDs)
        ++(Plan_.Done.contains(ID) ? Summary_.Skipped : Total_);
    if (!NextID()) {
        State_ = TState::Finished;
        Summary_.Complete = true;
    }
}

std::optional<uint8_t> TSeriesCommissioning::NextID() const
{
    for (const uint8_t ID : Plan_.IDs)
        if (!Plan_.Done.contains(ID) && !Given_.contains(ID))
            return ID;
    return std::nullopt;
}

void TSeriesCommissioning::NextModule()
{
    if (State_ == TState::WaitingForChange || State_ == TState::WaitingForEnter)
        State_ = TState::WaitingForModule;
}

void TSeriesCommissioning::Stop()
{
    State_ = TState::Finished;
}

void TSeriesCommissioning::Poll()
{
    if (State_ == TState::Finished || State_ == TState::WaitingForEnter)
        return;
    try {
        const std::optional<TModuleIdentity> Identity = Line_.Identify(PollInterval);
        if (!Identity) {
            SilenceSeen_ = true;
            if (!WaitAnnounced_)
                Observer_.WaitingForModule(Line_.PortName());
            WaitAnnounced_ = true;
            return;
        }
        const TClock::time_point Answered = TClock::now();
        TModuleReading Present;
        try {
            Present = Line_.ReadConfig();
        } catch (const EModuleNoReply&) {
            // Gone while being read: a module being unplugged.
            SilenceSeen_ = true;
            return;
        }
        const bool SameModule =
            State_ == TState::WaitingForChange && !SilenceSeen_ && Present.Config.RemoteId == LastID_;
        if (!SameModule)
            Commission(Present, Answered);
    } catch (const EModuleStopped&) {
        // Nothing was being written: the run ends between two modules.
        State_ = TState::Finished;
    }
}

void TSeriesCommissioning::Commission(const TModuleReading& Present, TClock::time_point Answered)
{
    const uint8_t ID = *NextID();
    const std::size_t Number = Given_.size() + 1;
    TModuleConfig Target = Plan_.Template;
    Target.RemoteId = ID;
    Observer_.ModuleStarted(Number, Total_, ID);

    TCommissionRow Row;
    Row.TimeUtc = UtcTimeText(std::chrono::system_clock::now());
    Row.Port = Line_.PortName();
    Row.BiosName = Present.Identity.BiosName;
    Row.BiosVersion = Present.Identity.BiosVersion;
    Row.IdBefore = HexByteToStr2(Present.Config.RemoteId);
    Row.ConfigBefore = ModuleConfigHex(Present.Config);

    if (Plan_.DryRun) {
        Observer_.WouldChange(Number, ID, FieldChanges(Present.Config, Target));
        Given_.insert(ID);
        ++Summary_.Ok;
        LastID_ = Present.Config.RemoteId;
        SilenceSeen_ = false;
        AfterModule();
        return;
    }

    std::string Backup;
    if (!Plan_.BackupFolder.empty())
        Backup = SaveBackup(Plan_.BackupFolder, {Row.TimeUtc, Line_.PortName(), {}, Present.Identity}, Present.Config);
    std::string ChangeId;
    if (Plan_.Journal != nullptr)
        ChangeId = Plan_.Journal->Begin(
            {"commission", Line_.PortName(), Present.Identity, Backup, Present.Config, Target, Plan_.Reason});
    try {
        const TWriteResult Result = Line_.WriteConfig(Target);
        if (Plan_.Journal != nullptr)
            Plan_.Journal->EndWritten(ChangeId, Result.Differences);
        const TModuleConfig& Held = Result.ReadBack.Config;
        Row.IdAfter = HexByteToStr2(Held.RemoteId);
        Row.ConfigAfter = ModuleConfigHex(Held);
        Row.Result = Result.Differences.empty() ? TCommissionResult::Ok : TCommissionResult::Mismatch;
        Row.Detail = Joined(Mismatches(Target, Held), "; ");
        LastID_ = Held.RemoteId;
        SilenceSeen_ = false;
    } catch (const EModuleNoReply& Error) {
        EndChange(ChangeId, Error.Chain(), Error.what());
        Row.Result = TCommissionResult::NoReply;
        Row.Detail = DescribeStep(Error.Step());
        if (Contains(Error.Written(), RemoteIdField))
            Row.IdAfter = HexByteToStr2(ID);
        // It fell silent: whatever answers next is another module.
        SilenceSeen_ = true;
    } catch (const EModuleStopped& Error) {
        EndChange(ChangeId, Error.Chain(), Error.what());
        Row.Result = TCommissionResult::Interrupted;
        Row.Detail = HeldText(*Error.Chain());
        if (Contains(Error.Written(), RemoteIdField))
            Row.IdAfter = HexByteToStr2(ID);
        Summary_.Interrupted = true;
        Record(Number, Row, Answered);
        State_ = TState::Finished;
        return;
    } catch (const EModulePort& Error) {
        EndChange(ChangeId, Error.Chain(), Error.what());
        if (!Error.Chain() || Error.Chain()->End != TChainEnd::DeviceLost)
            throw;
        // The module's row says what it holds; the run cannot go on without the line.
        Row.Result = TCommissionResult::DeviceLost;
        Row.Detail = HeldText(*Error.Chain());
        if (Contains(Error.Written(), RemoteIdField))
            Row.IdAfter = HexByteToStr2(ID);
        Record(Number, Row, Answered);
        throw;
    }
    Record(Number, Row, Answered);
    AfterModule();
}

void TSeriesCommissioning::EndChange(const std::string& ChangeId, const std::optional<TChainResult>& Chain,
                                     const char* Error)
{
    if (Plan_.Journal == nullptr)
        return;
    if (Chain)
        Plan_.Journal->End(ChangeId, *Chain);
    else
        Plan_.Journal->EndUnknown(ChangeId, Error);
}

void TSeriesCommissioning::Record(std::size_t Number, const TCommissionRow& Row, TClock::time_point Answered)
{
    if (Log_)
        Log_->Append(Row);
    if (Row.Result == TCommissionResult::Ok) {
        Given_.insert(HexStr2ToByte(Row.IdAfter));
        ++Summary_.Ok;
    } else {
        ++Summary_.Failed;
    }
    Observer_.ModuleFinished(Number, Row,
                             std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Answered));
}

void TSeriesCommissioning::AfterModule()
{
    WaitAnnounced_ = false;
    if (!NextID()) {
        State_ = TState::Finished;
        Summary_.Complete = true;
        return;
    }
    State_ = Plan_.NextOnEnter ? TState::WaitingForEnter : TState::WaitingForChange;
    Observer_.ConnectNextModule(Plan_.NextOnEnter);
}

}  // namespace varnolink
