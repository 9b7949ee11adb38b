// SPDX-License-Identifier: MIT
// The chain session's phases: a request is queued, and started (announced,
// its reply wait running) only when its bytes are taken for writing, so a
// chain that ends in between reports it as not sent and never announced.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "tests/support/chain_session_fakes.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;
using TPhase = TChainSession::TPhase;

const TModuleConfig Wanted{0xA7, 6, {0x5A, 0x01, 0x02, 0x04, 0x08}, {0xFE, 0x10, 0x20, 0x40, 0x80}};

std::size_t StartsIn(const std::vector<TSessionEvent>& Events)
{
    std::size_t Count = 0;
    for (const TSessionEvent& Event : Events)
        Count += std::holds_alternative<TRequestStarted>(Event) ? 1 : 0;
    return Count;
}

// A step-by-step write that listens first, driven by hand: the test takes
// the output itself, so it sees the phase between queueing and writing.
class ChainPhases : public ::testing::Test {
protected:
    ChainPhases()
    {
        TChainPlan Plan = TChainPlan::Write(Wanted);
        Plan.ListenFirst = 40ms;
        Session.Start(std::move(Plan), T0);
    }

    const TSessionTime T0{};
    TChainSession Session{TChainSession::TPace::StepByStep, TChainSession::TReplyMatch::SameCode};
};

TEST_F(ChainPhases, AListeningWriteIsQueuedThenStartedWhenTakenThenAnswered)
{
    EXPECT_EQ(Session.Phase(), TPhase::Listening);
    EXPECT_EQ(Session.NextDeadline(), T0 + 40ms);
    Session.TimePassed(T0 + 40ms);

    EXPECT_EQ(Session.Phase(), TPhase::Queued);
    EXPECT_FALSE(Session.NextDeadline()) << "no reply is awaited before the frame goes out";
    EXPECT_FALSE(Session.OnTheLine());
    EXPECT_EQ(Session.StepsStarted(), 0u);
    EXPECT_EQ(StartsIn(Session.TakeEvents()), 0u);

    EXPECT_EQ(Session.TakeOutput(T0 + 100ms), "*02:1,A7=00\r\n");
    EXPECT_EQ(Session.Phase(), TPhase::AwaitingReply);
    EXPECT_EQ(Session.NextDeadline(), T0 + 100ms + TChainSession::DefaultReplyWait);
    EXPECT_EQ(Session.StepsStarted(), 1u);
    ASSERT_TRUE(Session.OnTheLine());
    EXPECT_EQ(Session.OnTheLine()->Code, CodeIDCode);
    const std::vector<TSessionEvent> Started = Session.TakeEvents();
    ASSERT_EQ(Started.size(), 1u);
    EXPECT_EQ(std::get<TRequestStarted>(Started[0]).Frame, "*02:1,A7=00\r\n");
    EXPECT_EQ(Session.TakeOutput(T0 + 100ms), "") << "a frame is taken once";

    Session.BytesReceived(CodeReply("02", "A7") + "\r", T0 + 150ms);
    EXPECT_EQ(Session.Phase(), TPhase::Answered);
    EXPECT_FALSE(Session.NextDeadline());
    Session.Continue(T0 + 160ms);
    EXPECT_EQ(Session.Phase(), TPhase::Queued);
    EXPECT_EQ(Session.TakeOutput(), "*03:1,06=00\r\n");
    EXPECT_EQ(Session.NextDeadline(), T0 + 160ms + TChainSession::DefaultReplyWait)
        << "without a time, the wait runs from the call that queued it";
}

// Whatever ends a chain with its request queued: that request was not sent,
// is on no line and was never announced; nothing is left to write.
struct TQueuedEnding {
    const char* Name;
    std::function<void(TChainSession&)> End;
    TChainEnd How;
};

class QueuedEndings : public ChainPhases, public ::testing::WithParamInterface<TQueuedEnding> {};

TEST_P(QueuedEndings, LeaveTheQueuedRequestNotSentAndUnannounced)
{
    Session.TimePassed(T0 + 40ms);
    Session.TakeOutput(T0 + 40ms);
    Session.BytesReceived(CodeReply("02", "A7") + "\r", T0 + 60ms);
    Session.Continue(T0 + 60ms);
    ASSERT_EQ(Session.Phase(), TPhase::Queued);
    const std::size_t StartsBefore = StartsIn(Session.TakeEvents());

    GetParam().End(Session);
    EXPECT_EQ(Session.Phase(), TPhase::Idle);
    EXPECT_EQ(Session.TakeOutput(T0 + 70ms), "");
    const std::vector<TSessionEvent> Events = Session.TakeEvents();
    EXPECT_EQ(StartsBefore, 1u);
    EXPECT_EQ(StartsIn(Events), 0u);
    ASSERT_FALSE(Events.empty());
    const auto* Ended = std::get_if<TChainEnded>(&Events.back());
    ASSERT_NE(Ended, nullptr);
    EXPECT_EQ(Ended->Result.End, GetParam().How);
    EXPECT_EQ(Ended->Result.Acknowledged.size(), 1u);
    EXPECT_FALSE(Ended->Result.OnTheLine);
    ASSERT_EQ(Ended->Result.NotSent.size(), SaveChain.size() - 1 + ReadChain.size());
    EXPECT_EQ(Ended->Result.NotSent.front().Code, CodeBaudrate);
    EXPECT_EQ(Session.StepsStarted(), 1u);
    EXPECT_FALSE(Session.NextDeadline());
}

INSTANTIATE_TEST_SUITE_P(
    EveryWay, QueuedEndings,
    ::testing::Values(
        TQueuedEnding{"StopNow", [](TChainSession& S) { S.StopNow(); }, TChainEnd::Stopped},
        // Nothing is on the line to finish first.
        TQueuedEnding{"RequestStop", [](TChainSession& S) { S.RequestStop(); }, TChainEnd::Stopped},
        TQueuedEnding{"DeviceLost", [](TChainSession& S) { S.DeviceLost("gone"); }, TChainEnd::DeviceLost},
        // A repeated answer while nothing is on the line: a second module.
        TQueuedEnding{"SecondReply",
                      [](TChainSession& S) { S.BytesReceived(CodeReply("02", "A7") + "\r", TSessionTime{} + 65ms); },
                      TChainEnd::TwoModules}),
    [](const ::testing::TestParamInfo<TQueuedEnding>& Info) { return std::string(Info.param.Name); });

}  // namespace
