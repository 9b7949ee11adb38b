// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "main/protocol/module_record.h"
#include "main/protocol/reply_assembler.h"
#include "main/protocol/reply_decoder.h"
#include "main/protocol/transaction_chains.h"

namespace varnolink {

// One conversation with one module, as a state machine without I/O and
// without a clock of its own: it is given the bytes the port delivered and
// the time, and it answers with the bytes to write, the next deadline and
// events. Every front end runs its chains through it (the window's buttons,
// the command line, commissioning), so one object knows at every
// moment which requests the module acknowledged, which one is on the line
// and which were not sent.
//
// The rules are those of the module's protocol: one request outstanding, a
// reply wait per request (5000 ms unless told otherwise), any accepted reply
// answers the request on the line (replies are not matched by code), and a
// chain ends at its first request without a reply. Replies that come when
// nothing is outstanding are still decoded and reported. That is the
// window's rule. The loops' sessions (TSessionPort: the command line,
// plants, commissioning) are stricter, TReplyMatch::SameCode: a reply
// carries the code of the request it answers, and a reply to any other
// request, or one heard while listening before the writes, ends the chain
// (a second module answering late, or a damaged line).

using TSessionClock = std::chrono::steady_clock;
using TSessionTime = TSessionClock::time_point;

// What to run: the steps, where their write values come from, and whether
// the module is read back afterwards and compared with the values.
struct TChainPlan {
    std::vector<TChainStep> Steps;
    // Fixed values for the writes (and what a read-back is compared with).
    std::optional<TModuleConfig> Config;
    // Or live values, asked when each write is built (the window's fields);
    // the caller keeps them alive while the chain runs.
    const TChainValues* LiveValues = nullptr;
    // After the steps: the read chain, compared with Config.
    bool VerifyByReading = false;
    // This chain's reply wait, instead of the session's (a short probe).
    std::optional<std::chrono::milliseconds> ReplyWait;
    // Listen this long before the first request: a reply that comes late
    // (a second module answering the last request) ends the chain before
    // anything is sent. Bytes heard meanwhile extend the listening to
    // ListenLine from the last of them, time for a whole reply line, but
    // never beyond ListenMost from its start (a line that never falls
    // quiet); see ListenBeforeWrites for the times at a line speed.
    std::chrono::milliseconds ListenFirst{0};
    std::chrono::milliseconds ListenLine{50};
    std::chrono::milliseconds ListenMost{150};

    static TChainPlan Identify();
    static TChainPlan Probe(std::chrono::milliseconds Wait);
    static TChainPlan Read();
    // The twelve writes, then the read-back compared with Config.
    static TChainPlan Write(const TModuleConfig& Config);
    // Identity, status and the factory values, then the read-back.
    static TChainPlan Factory();
};

enum class TChainEnd {
    Completed,   // every step answered (and the read-back agrees)
    NoReply,     // OnTheLine got no reply within the wait
    DeviceLost,  // the device went away
    PortError,   // the port refused to write a request
    Stopped,     // a stop was asked for: after the request on the line (RequestStop) or at once (StopNow)
    Differs,     // every step answered, but the read-back differs from the values written
    // More than one module answered: a second reply to one request, replies
    // run together, or (matching codes) a reply to another request; Reason
    // holds the words for the person.
    TwoModules,
};

// What the session says when more than one module answers on one line.
inline constexpr const char* TwoModulesText =
    "more than one module answered on this line; connect one module at a time";
// And when, matching codes, a reply answers another request than the one on
// the line, or comes while the line should be quiet.
inline constexpr const char* ReplyToAnotherText =
    "a reply answered another request than the one on the line: more than one module may be on this line, "
    "or the line is damaged; connect one module at a time";

// How a chain ended and what the module holds: the requests it acknowledged,
// the one sent but not confirmed, and those never sent.
struct TChainResult {
    TChainEnd End = TChainEnd::Completed;
    std::vector<TChainStep> Acknowledged;
    std::optional<TChainStep> OnTheLine;
    std::vector<TChainStep> NotSent;
    std::string Reason;                     // DeviceLost, PortError: the port's words
    std::chrono::milliseconds Wait{0};      // NoReply: how long the reply was awaited
    std::vector<TConfigField> Differences;  // Differs: the fields the read-back differs in

    // The same, for the configuration fields the writes carry.
    std::vector<TConfigField> WrittenFields() const;
    std::optional<TConfigField> UnconfirmedField() const;
    std::vector<TConfigField> UnsentFields() const;
};

// A request was taken for writing (TakeOutput returned Frame) and goes out
// now: the front end prepares for its reply (the window marks the fields)
// and logs it.
struct TRequestStarted {
    TChainStep Step;
    std::string Argument;
    std::string Frame;
};
// A reply line the decoder accepted. LastRequest: the request sent last, if
// any, which this reply may or may not answer (replies carry their own code).
struct TReplyDecoded {
    TDecodedReply Reply;
    std::string Raw;  // the bytes of the line as they came, through its CR
    std::optional<TChainStep> LastRequest;
};
// A line the decoder refused, or received bytes outside any line.
struct TLineIgnored {
    std::string Raw;
    std::string Why;
};
struct TNoiseDropped {
    std::string Raw;
    std::string Why;
};
// The reply wait of Step ran out.
struct TReplyWaitExpired {
    TChainStep Step;
    std::chrono::milliseconds Wait;
};
struct TChainEnded {
    TChainResult Result;
};
// The request frame came back before its reply: the adapter echoes what it
// sends. The echo is dropped, not counted as noise.
struct TEchoDropped {
    std::string Raw;
};

// What the session tells about the adapter, for a wire log and a doctor.
inline constexpr const char* EchoText = "the adapter echoes what it sends";

using TSessionEvent = std::variant<TRequestStarted, TReplyDecoded, TLineIgnored, TNoiseDropped, TReplyWaitExpired,
                                   TChainEnded, TEchoDropped>;

class TChainSession {
public:
    static constexpr std::chrono::milliseconds DefaultReplyWait{5000};

    // Continuous: an answered step is followed by the next at once (the
    // loops). StepByStep: the front end calls Continue (the window, which
    // ends its own wait first).
    enum class TPace { Continuous, StepByStep };

    // Which reply answers the request on the line: any accepted one, or only
    // one with the request's code (any other ends the chain, as does a reply
    // while listening before the first request).
    enum class TReplyMatch { AnyReply, SameCode };

    explicit TChainSession(TPace Pace = TPace::Continuous, TReplyMatch Match = TReplyMatch::AnyReply)
        : Pace_(Pace), Match_(Match)
    {}

    void SetReplyWait(std::chrono::milliseconds Wait) { ReplyWait_ = Wait; }
    std::chrono::milliseconds ReplyWait() const { return ReplyWait_; }

    // Starts a chain; its first request is in TakeOutput. A chain that is
    // still running ends first, as stopped.
    void Start(TChainPlan Plan, TSessionTime Now);
    // A chain that cannot start (the port is closed, the device gone, a stop
    // was asked for): it ends at once with every step not sent.
    void Decline(TChainPlan Plan, TChainEnd How, std::string Reason = {});
    // StepByStep: after an answered step, the next one (or the end).
    void Continue(TSessionTime Now);

    // Whatever the port delivered, split anywhere.
    void BytesReceived(std::string_view Bytes, TSessionTime Now);
    // A whole line decided as if its CR had just arrived.
    void LineCompleted(std::string_view Line, TSessionTime Now);
    // The loop calls this at or after NextDeadline.
    void TimePassed(TSessionTime Now);
    // The front end's own timer says the wait is over (the window's Timer1).
    void EndWait();
    void DeviceLost(std::string Reason);
    // Writing the request failed part way; it counts as on the line.
    void WriteFailed(std::string Reason);
    // Ends the chain after the request on the line (at once if none is).
    void RequestStop();
    // Ends the chain at once; a request on the line stays OnTheLine (sent,
    // unconfirmed). For a person who asked to stop and should not wait.
    void StopNow();

    // The request queued last, taken for writing: from here on it is on
    // the line, TRequestStarted announces it and its reply wait runs from
    // Now. Without a time, from the time of the call that queued it (a loop
    // that takes the output at once after every call).
    std::string TakeOutput(TSessionTime Now);
    std::string TakeOutput();
    std::vector<TSessionEvent> TakeEvents();
    std::optional<TSessionTime> NextDeadline() const;

    // What the session is doing. A request is queued by the session and is
    // on the line only once the front end has taken it for writing, so a
    // chain that ends in between has simply not sent it.
    enum class TPhase {
        Idle,           // no chain
        Listening,      // ListenFirst: the line must stay quiet before the first request
        Queued,         // a request built, not yet taken for writing
        AwaitingReply,  // a request on the line, its reply wait running
        Answered,       // the request answered; step by step, the front end calls Continue
    };
    TPhase Phase() const { return Phase_; }

    bool Running() const { return Phase_ != TPhase::Idle; }
    // 0 from the moment a request is started, 1 once any reply is decoded.
    uint8_t ReplyReceived() const { return ReplyReceived_; }
    std::optional<TChainStep> OnTheLine() const;
    // Progress of the running chain: the steps started (taken for writing)
    // so far and all of them (the read-back included).
    std::size_t StepsStarted() const { return Started_; }
    std::size_t StepCount() const { return Plan_.Steps.size(); }
    // The values the replies of this chain (and late ones) carried.
    const TModuleRecord& Record() const { return Record_; }
    // The reply line being assembled.
    const std::string& PacketBuffer() const { return Assembler_.Line(); }
    // A request frame has come back as an echo since the session was made.
    bool EchoSeen() const { return EchoSeen_; }
    // A second module answered while no chain ran: the next chain ends at
    // once, nothing sent, until a chain finds the line silent or the line
    // is another (ForgetLine).
    bool TwoModulesSeen() const { return TwoModulesSeen_; }
    void ForgetLine()
    {
        TwoModulesSeen_ = false;
        AnsweredCode_.reset();
        EchoSeen_ = false;
    }

private:
    void EnterPhase(TPhase Phase, TSessionTime Now = {});
    void TakeByte(char Ch, TSessionTime Now);
    void Decide(std::string_view Line, std::string Raw, TSessionTime Now);
    void StartStep(TSessionTime Now);
    void Advance(TSessionTime Now);
    void End(TChainEnd How, std::string Reason = {}, std::vector<TConfigField> Differences = {});
    void FlushRaw(const char* Why);
    bool AnswersAnother(int Code) const;
    // A request is queued or on the line: a reply cut short now is one of
    // two modules talking at once.
    bool InExchange() const { return Phase_ == TPhase::Queued || Phase_ == TPhase::AwaitingReply; }

    TPace Pace_;
    TReplyMatch Match_;
    std::chrono::milliseconds ReplyWait_ = DefaultReplyWait;
    std::chrono::milliseconds StepWait_ = DefaultReplyWait;

    TChainPlan Plan_;
    TPhase Phase_ = TPhase::Idle;
    // The steps taken for writing; the one on the line (AwaitingReply) is
    // Started_ - 1, the one queued (Queued) is Started_.
    std::size_t Started_ = 0;
    std::size_t VerifyFrom_ = 0;             // where the read-back starts
    std::optional<TRequestStarted> Queued_;  // Queued: the request and its frame
    TSessionTime QueuedAt_{};
    bool StopAsked_ = false;
    std::optional<TSessionTime> Deadline_;
    std::vector<TChainStep> Acknowledged_;
    std::optional<TChainStep> LastRequest_;

    uint8_t ReplyReceived_ = 0;
    TReplyAssembler Assembler_;
    std::string Raw_;            // bytes since the last '*' or CR, for the log
    bool AfterLineEnd_ = false;  // one LF right after a CR belongs to that line
    std::string LastFrame_;      // the request sent last, as an echo of it would come back (through its CR)
    bool EchoPossible_ = false;  // the request written last has no reply yet: its echo may still come
    bool EchoSeen_ = false;
    bool TwoModulesSeen_ = false;
    TSessionTime ListenEnd_{};         // the listening ends by then whatever is heard (ListenMost)
    std::optional<int> AnsweredCode_;  // the code of the request answered last, until the next is answered
    TModuleRecord Record_;

    std::vector<TSessionEvent> Events_;
};

}  // namespace varnolink
