// SPDX-License-Identifier: MIT
// The chain session's state machine: requests out one at a time, received
// bytes assembled and decoded, deadlines, stops and the end of each chain.
#include "main/engine/chain_session.h"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <utility>

#include "main/protocol/frames.h"

namespace varnolink {

namespace {

// Received bytes that form no line are reported in pieces of at most this
// many, so a peer that never sends "*" or CR costs no memory beyond it.
constexpr std::size_t RawLimit = 256;

std::vector<TChainStep> StepsOf(std::span<const TChainStep> Steps)
{
    return {Steps.begin(), Steps.end()};
}

TConfigField FieldOf(const TChainStep& Step)
{
    return *ConfigFieldOfCode(Step.Code);
}

bool CarriesField(const TChainStep& Step)
{
    return Step.Mode == TRequestMode::Write && ConfigFieldOfCode(Step.Code).has_value();
}

}  // namespace

TChainPlan TChainPlan::Identify()
{
    return {StepsOf(IdentityChain), {}, nullptr, false, {}, {}};
}

TChainPlan TChainPlan::Probe(std::chrono::milliseconds Wait)
{
    TChainPlan Plan = Identify();
    Plan.ReplyWait = Wait;
    return Plan;
}

TChainPlan TChainPlan::Read()
{
    return {StepsOf(ReadChain), {}, nullptr, false, {}, {}};
}

TChainPlan TChainPlan::Write(const TModuleConfig& Config)
{
    return {StepsOf(SaveChain), Config, nullptr, true, {}, {}};
}

TChainPlan TChainPlan::Factory()
{
    return {StepsOf(FactoryChain), FactoryModuleConfig, nullptr, true, {}, {}};
}

std::vector<TConfigField> TChainResult::WrittenFields() const
{
    std::vector<TConfigField> Fields;
    for (const TChainStep& Step : Acknowledged)
        if (CarriesField(Step))
            Fields.push_back(FieldOf(Step));
    return Fields;
}

std::optional<TConfigField> TChainResult::UnconfirmedField() const
{
    if (OnTheLine && CarriesField(*OnTheLine))
        return FieldOf(*OnTheLine);
    return std::nullopt;
}

std::vector<TConfigField> TChainResult::UnsentFields() const
{
    std::vector<TConfigField> Fields;
    for (const TChainStep& Step : NotSent)
        if (CarriesField(Step))
            Fields.push_back(FieldOf(Step));
    return Fields;
}

void TChainSession::Start(TChainPlan Plan, TSessionTime Now)
{
    if (Running())
        End(TChainEnd::Stopped);  // a front end that starts anew has given the old chain up
    Plan_ = std::move(Plan);
    if (Plan_.VerifyByReading && !Plan_.Config)
        throw std::invalid_argument("a read-back needs the values it is compared with");
    VerifyFrom_ = Plan_.Steps.size();
    if (Plan_.VerifyByReading)
        Plan_.Steps.insert(Plan_.Steps.end(), ReadChain.begin(), ReadChain.end());
    StepWait_ = Plan_.ReplyWait.value_or(ReplyWait_);
    Started_ = 0;
    EchoPossible_ = false;
    StopAsked_ = false;
    Acknowledged_.clear();
    Record_.Forget();
    if (TwoModulesSeen_) {
        End(TChainEnd::TwoModules, TwoModulesText);
        return;
    }
    if (Plan_.ListenFirst.count() > 0) {
        EnterPhase(TPhase::Listening, Now);
        return;
    }
    Advance(Now);
}

// Every phase change, with what belongs to the phase entered: its deadline.
void TChainSession::EnterPhase(TPhase Phase, TSessionTime Now)
{
    Phase_ = Phase;
    switch (Phase) {
    case TPhase::Listening:
        Deadline_ = Now + Plan_.ListenFirst;
        ListenEnd_ = Now + std::max(Plan_.ListenFirst, Plan_.ListenMost);
        return;
    case TPhase::AwaitingReply:
        // The reply wait runs from the moment the frame goes out.
        Deadline_ = Now + StepWait_;
        return;
    case TPhase::Idle:
    case TPhase::Queued:  // its wait begins when it is taken for writing
    case TPhase::Answered:
        Deadline_.reset();
        return;
    }
}

void TChainSession::Decline(TChainPlan Plan, TChainEnd How, std::string Reason)
{
    if (Running())
        End(TChainEnd::Stopped);
    TChainResult Result;
    Result.End = How;
    Result.NotSent = std::move(Plan.Steps);
    Result.Reason = std::move(Reason);
    Events_.emplace_back(TChainEnded{std::move(Result)});
}

void TChainSession::Continue(TSessionTime Now)
{
    if (Phase_ == TPhase::Answered)
        Advance(Now);
}

// The next step, or the end of the chain: stopped, verified, completed.
void TChainSession::Advance(TSessionTime Now)
{
    // A stop that comes with the last answer has nothing left to stop: the
    // chain ends as it would have, read-back compared.
    if (StopAsked_ && Started_ < Plan_.Steps.size()) {
        End(TChainEnd::Stopped);
        return;
    }
    if (Started_ == VerifyFrom_ && Started_ > 0 && Plan_.VerifyByReading)
        Record_.Forget();  // the read-back answers afresh
    if (Started_ < Plan_.Steps.size()) {
        StartStep(Now);
        return;
    }
    if (Plan_.VerifyByReading) {
        std::vector<TConfigField> Differences = DifferingFields(*Plan_.Config, Record_.Config());
        if (!Differences.empty()) {
            End(TChainEnd::Differs, {}, std::move(Differences));
            return;
        }
    }
    End(TChainEnd::Completed);
}

// Builds the next request (a live value is asked now) and queues it; it is
// announced when it is taken for writing.
void TChainSession::StartStep(TSessionTime Now)
{
    const TChainStep Step = Plan_.Steps[Started_];
    const TConfigChainValues Fixed(Plan_.Config.value_or(FactoryModuleConfig));
    const TChainValues& Values = Plan_.LiveValues != nullptr ? *Plan_.LiveValues : Fixed;
    std::string Argument = StepArgument(Step, Values);
    std::string Frame = BuildRequestFrame(Step.Code, Step.Mode, Argument);
    Queued_ = TRequestStarted{Step, std::move(Argument), std::move(Frame)};
    QueuedAt_ = Now;
    EnterPhase(TPhase::Queued);
}

std::optional<TChainStep> TChainSession::OnTheLine() const
{
    if (Phase_ == TPhase::AwaitingReply)
        return Plan_.Steps[Started_ - 1];
    return std::nullopt;
}

void TChainSession::End(TChainEnd How, std::string Reason, std::vector<TConfigField> Differences)
{
    // A request still queued was never announced nor sent: it is among the
    // steps not sent, as every step from Started_ on.
    Queued_.reset();
    TChainResult Result;
    Result.End = How;
    Result.Acknowledged = Acknowledged_;
    Result.OnTheLine = OnTheLine();
    Result.NotSent.assign(Plan_.Steps.begin() + static_cast<std::ptrdiff_t>(Started_), Plan_.Steps.end());
    Result.Reason = std::move(Reason);
    Result.Differences = std::move(Differences);
    if (How == TChainEnd::NoReply) {
        Result.Wait = StepWait_;
        TwoModulesSeen_ = false;  // the line fell silent: whoever answers next is new
    }
    EnterPhase(TPhase::Idle);
    Events_.emplace_back(TChainEnded{std::move(Result)});
}

void TChainSession::BytesReceived(std::string_view Bytes, TSessionTime Now)
{
    if (Phase_ == TPhase::Listening && !Bytes.empty())
        Deadline_ = std::min(std::max(*Deadline_, Now + Plan_.ListenLine), ListenEnd_);
    for (const char Ch : Bytes)
        TakeByte(Ch, Now);
}

// The assembler decides what a line is; Raw_ only keeps the bytes as they
// came, control characters included, so the log shows what was on the line.
void TChainSession::TakeByte(char Ch, TSessionTime Now)
{
    if (std::exchange(AfterLineEnd_, false) && Ch == '\n')
        return;
    if (Ch == '*' && !Raw_.empty()) {
        // A reply cut short by another reply: two modules talking at once.
        if (Raw_.rfind("*??:E", 0) == 0 && InExchange()) {
            FlushRaw("line cut short by a new \"*\"");
            End(TChainEnd::TwoModules, TwoModulesText);
        } else {
            FlushRaw(Raw_.front() == '*' ? "line cut short by a new \"*\"" : "not part of a reply line");
        }
    }
    Raw_ += Ch;
    const bool Complete = Assembler_.Feed(Ch);
    if (Ch == '\r') {
        AfterLineEnd_ = true;
        if (Complete)
            Decide(Assembler_.Line(), std::exchange(Raw_, {}), Now);
        else
            Events_.emplace_back(TLineIgnored{std::exchange(Raw_, {}), "longer than any reply"});
        return;
    }
    if (Raw_.size() >= RawLimit)
        FlushRaw(Raw_.front() == '*' ? "longer than any reply" : "not part of a reply line");
}

void TChainSession::FlushRaw(const char* Why)
{
    Events_.emplace_back(TNoiseDropped{std::exchange(Raw_, {}), Why});
}

void TChainSession::LineCompleted(std::string_view Line, TSessionTime Now)
{
    Decide(Line, std::string(Line) + '\r', Now);
}

void TChainSession::Decide(std::string_view Line, std::string Raw, TSessionTime Now)
{
    if (EchoPossible_ && Raw == LastFrame_) {
        EchoPossible_ = false;
        EchoSeen_ = true;
        Events_.emplace_back(TEchoDropped{std::move(Raw)});
        return;
    }
    TLineVerdict Verdict = DecideReplyLine(Line);
    if (!Verdict.Reply) {
        Events_.emplace_back(TLineIgnored{std::move(Raw), std::move(Verdict.WhyIgnored)});
        return;
    }
    EchoPossible_ = false;
    // A second reply to the request answered last, while no request is on
    // the line (also while the next is queued, not yet written): a second
    // module.
    // Taking any reply, a reply while a request is on the line answers it,
    // whatever its code; a second module shows there only when its reply
    // runs into the first, see TakeByte, or by the reply left over when the
    // chain has ended. Matching codes, a reply to another request ends the
    // chain instead (AnswersAnother).
    const int Code = ReplyCode(*Verdict.Reply);
    const bool Again = AnsweredCode_ == Code && Phase_ != TPhase::AwaitingReply;
    const bool Another = !Again && AnswersAnother(Code);
    Record_.Take(*Verdict.Reply);
    ReplyReceived_ = 1;
    Events_.emplace_back(TReplyDecoded{std::move(*Verdict.Reply), std::move(Raw), LastRequest_});
    if (Again || Another) {
        if (Running())
            End(TChainEnd::TwoModules, Again ? TwoModulesText : ReplyToAnotherText);
        else
            TwoModulesSeen_ = true;
        return;
    }
    if (Phase_ != TPhase::AwaitingReply)
        return;
    AnsweredCode_ = Code;
    // Any accepted reply answers the request on the line.
    Acknowledged_.push_back(Plan_.Steps[Started_ - 1]);
    EnterPhase(TPhase::Answered);
    // Step by step, the front end says when to go on; after the last step
    // there is nothing to go on to.
    if (Pace_ == TPace::Continuous || Started_ == Plan_.Steps.size())
        Advance(Now);
}

// Matching codes, a reply is only the answer of its own request: one with
// another code while a request is on the line, or any reply while the line
// should be quiet (before the writes, or with the next request not yet
// written), answers nothing sent.
bool TChainSession::AnswersAnother(int Code) const
{
    if (Match_ != TReplyMatch::SameCode)
        return false;
    switch (Phase_) {
    case TPhase::Listening:
    case TPhase::Queued:
        return true;
    case TPhase::AwaitingReply:
        return Plan_.Steps[Started_ - 1].Code != Code;
    case TPhase::Idle:
    case TPhase::Answered:
        return false;
    }
    return false;
}

void TChainSession::TimePassed(TSessionTime Now)
{
    if (!Deadline_ || Now < *Deadline_)
        return;
    if (Phase_ == TPhase::Listening) {
        Advance(Now);
        return;
    }
    EndWait();
}

void TChainSession::EndWait()
{
    if (Phase_ != TPhase::AwaitingReply)
        return;
    Events_.emplace_back(TReplyWaitExpired{Plan_.Steps[Started_ - 1], StepWait_});
    End(TChainEnd::NoReply);
}

void TChainSession::DeviceLost(std::string Reason)
{
    if (Running())
        End(TChainEnd::DeviceLost, std::move(Reason));
}

void TChainSession::WriteFailed(std::string Reason)
{
    if (Running())
        End(TChainEnd::PortError, std::move(Reason));
}

void TChainSession::RequestStop()
{
    StopAsked_ = true;
    if (Running() && Phase_ != TPhase::AwaitingReply)
        End(TChainEnd::Stopped);
}

void TChainSession::StopNow()
{
    StopAsked_ = true;
    if (Running())
        End(TChainEnd::Stopped);
}

std::string TChainSession::TakeOutput(TSessionTime Now)
{
    if (Phase_ != TPhase::Queued || !Queued_)
        return {};
    TRequestStarted Request = *std::exchange(Queued_, std::nullopt);
    std::string Frame = Request.Frame;
    ++Started_;
    ReplyReceived_ = 0;
    LastRequest_ = Request.Step;
    LastFrame_ = Frame.substr(0, Frame.find('\r') + 1);
    EchoPossible_ = true;  // only a frame that has gone out can come back as an echo
    EnterPhase(TPhase::AwaitingReply, Now);
    Events_.emplace_back(std::move(Request));
    return Frame;
}

std::string TChainSession::TakeOutput()
{
    return TakeOutput(QueuedAt_);
}

std::vector<TSessionEvent> TChainSession::TakeEvents()
{
    return std::exchange(Events_, {});
}

std::optional<TSessionTime> TChainSession::NextDeadline() const
{
    return Deadline_;
}

}  // namespace varnolink
