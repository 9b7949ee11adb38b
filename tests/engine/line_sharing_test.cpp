// SPDX-License-Identifier: MIT
// What else may be on the line besides one module: an adapter that echoes
// every request, and a second module that answers too, either after the
// first, over it, or a request late.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "main/engine/listen_before_writes.h"
#include "tests/support/chain_session_fakes.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;

const std::string IdentityLine = IdentityReply("VARNOLINK I/O", "1.00a") + "\r";
const std::string StatusLine = CodeReply("01", "00") + "\r";

class LineSharing : public ::testing::Test, protected TSessionUnderTest {
protected:
    std::size_t Count(auto Matches) const
    {
        std::size_t N = 0;
        for (const TSessionEvent& Event : Events)
            N += std::visit(Matches, Event) ? 1 : 0;
        return N;
    }
};

TEST_F(LineSharing, AnEchoedRequestIsDroppedReportedOnceAndTheReplyStillAnswers)
{
    Start(TChainPlan::Read());
    for (int Step = 0; Step < 2; ++Step)
        Receive(Sent.back().substr(0, Sent.back().size() - 1) + "\n" + (Step == 0 ? IdentityLine : StatusLine));
    EXPECT_TRUE(Session.EchoSeen());
    EXPECT_EQ(Sent.size(), 3u) << "both replies answered their requests";
    EXPECT_EQ(Count([](const auto& E) { return std::is_same_v<std::decay_t<decltype(E)>, TEchoDropped>; }), 2u);
    EXPECT_EQ(Count([](const auto& E) { return std::is_same_v<std::decay_t<decltype(E)>, TLineIgnored>; }), 0u)
        << "an echo is no noise";
    std::size_t EchoNotes = 0;
    for (const std::string& Line : WireLines.Lines)
        EchoNotes += Line.find(EchoText) != std::string::npos ? 1 : 0;
    EXPECT_EQ(EchoNotes, 1u);
}

TEST_F(LineSharing, ASecondReplyToOneRequestEndsTheChainBeforeItsNextRequest)
{
    Session = TChainSession(TChainSession::TPace::StepByStep);
    Start(TChainPlan::Factory());  // identity and status, then the writes
    Receive(IdentityLine);
    Receive(IdentityLine);  // the second module, before the next request goes out
    const TChainResult& Ended = Result();
    EXPECT_EQ(Ended.End, TChainEnd::TwoModules);
    EXPECT_EQ(Ended.Reason, TwoModulesText);
    EXPECT_TRUE(Ended.WrittenFields().empty());
    EXPECT_EQ(Sent.size(), 1u) << "nothing more went out";
}

TEST_F(LineSharing, RepliesRunTogetherEndTheChain)
{
    Start(TChainPlan::Read());
    Receive("*??:E00,00=VARNO*??:E00,00=VARNOLINK I/O 1.00a\r");
    EXPECT_EQ(Result().End, TChainEnd::TwoModules);
    EXPECT_EQ(Sent.size(), 1u);
}

TEST_F(LineSharing, ASecondModuleHeardBetweenChainsStopsTheNextUntilTheLineFallsSilent)
{
    Start(TChainPlan::Identify());
    Receive(IdentityLine);
    Receive(IdentityLine);  // after the chain has ended
    EXPECT_TRUE(Session.TwoModulesSeen());
    Start(TChainPlan::Write(TModuleConfig{}));
    EXPECT_EQ(Result().End, TChainEnd::TwoModules);
    EXPECT_EQ(Result().UnsentFields().size(), 12u);
    EXPECT_EQ(Sent.size(), 1u) << "nothing of the write was sent";

    Start(TChainPlan::Identify());  // still refused; then a fresh line
    Session.ForgetLine();
    Start(TChainPlan::Identify());
    Pass(5000ms);
    EXPECT_EQ(Result().End, TChainEnd::NoReply);
    EXPECT_FALSE(Session.TwoModulesSeen());
}

TEST_F(LineSharing, ListeningFirstCatchesALateSecondReplyBeforeTheFirstFrame)
{
    Start(TChainPlan::Identify());
    Receive(IdentityLine);
    TChainPlan Write = TChainPlan::Write(TModuleConfig{});
    Write.ListenFirst = 20ms;
    Start(Write);
    EXPECT_EQ(Sent.size(), 1u) << "nothing is sent while listening";
    Pass(15ms);
    Receive(IdentityLine.substr(0, 5));  // the second reply begins: the listening lasts for the line
    Pass(15ms);
    EXPECT_EQ(Sent.size(), 1u);
    Receive(IdentityLine.substr(5));
    EXPECT_EQ(Result().End, TChainEnd::TwoModules);
    EXPECT_EQ(Sent.size(), 1u);

    Session.ForgetLine();
    Start(Write);
    Pass(20ms);
    EXPECT_EQ(Sent.size(), 2u) << "a quiet line gets the first write after the listening";
}

// The loops' sessions take a reply only as the answer of its own request.
// Each case: a chain, the replies that come one after another, and how the
// chain ends (what went out, what the module holds).
struct TLateReplyCase {
    const char* Name;
    TChainPlan Plan;
    std::vector<std::string> Replies;
    std::size_t FramesSent;  // the chain's own frames
    std::size_t Acknowledged;
    std::optional<int> UnconfirmedCode;
};

class LateReplies : public ::testing::TestWithParam<TLateReplyCase>, protected TSessionUnderTest {
protected:
    LateReplies() { Session = TChainSession(TChainSession::TPace::Continuous, TChainSession::TReplyMatch::SameCode); }
};

TEST_P(LateReplies, AReplyToAnotherRequestEndsTheChainAndIsNoAnswer)
{
    const TLateReplyCase& Case = GetParam();
    Start(Case.Plan);
    for (const std::string& Reply : Case.Replies)
        Receive(Reply);
    const TChainResult& Ended = Result();
    EXPECT_EQ(Ended.End, TChainEnd::TwoModules);
    EXPECT_EQ(Ended.Reason, ReplyToAnotherText);
    EXPECT_EQ(Sent.size(), Case.FramesSent);
    EXPECT_EQ(Ended.Acknowledged.size(), Case.Acknowledged);
    ASSERT_EQ(Ended.OnTheLine.has_value(), Case.UnconfirmedCode.has_value());
    if (Ended.OnTheLine) {
        EXPECT_EQ(Ended.OnTheLine->Code, *Case.UnconfirmedCode);
    }
    EXPECT_EQ(Ended.Acknowledged.size() + (Ended.OnTheLine ? 1 : 0) + Ended.NotSent.size(),
              Case.Plan.Steps.size() + (Case.Plan.VerifyByReading ? ReadChain.size() : 0));
    EXPECT_NE(std::find_if(WireLines.Lines.begin(), WireLines.Lines.end(),
                           [](const std::string& Line) { return Line.find(ReplyToAnotherText) != std::string::npos; }),
              WireLines.Lines.end())
        << "the wire log says why";
}

const std::string RemoteIdLine = CodeReply("02", "01") + "\r";

INSTANTIATE_TEST_SUITE_P(
    OneRequestLate, LateReplies,
    ::testing::Values(
        // The identity answered, then its second reply comes while the status read is out.
        TLateReplyCase{"InARead", TChainPlan::Read(), {IdentityLine, IdentityLine}, 2, 1, CodeStatus},
        // The first write is out; a reply to the status read before it comes.
        TLateReplyCase{"AtTheFirstWrite", TChainPlan::Write(TModuleConfig{}), {StatusLine}, 1, 0, 2},
        // Two writes answered, the third is out when a reply to the first comes again.
        TLateReplyCase{"AmidTheWrites",
                       TChainPlan::Write(TModuleConfig{}),
                       {RemoteIdLine, CodeReply("03", "03") + "\r", RemoteIdLine},
                       3,
                       2,
                       4}),
    [](const ::testing::TestParamInfo<TLateReplyCase>& Info) { return std::string(Info.param.Name); });

TEST_F(LineSharing, TheWindowsRuleStillTakesAnyReplyAsTheAnswer)
{
    Session = TChainSession(TChainSession::TPace::StepByStep);
    Start(TChainPlan::Read());
    Receive(IdentityLine);
    Session.Continue(Now);
    Settle();
    Receive(IdentityLine);  // a reply to another request answers the status read
    EXPECT_TRUE(Session.Running());
    Session.Continue(Now);
    Settle();
    EXPECT_EQ(Sent.size(), 3u);
}

// Before the writes the session listens one reply line at the line's speed
// plus the module's latency: at 9600 baud a second module's reply that
// begins 40 ms late is heard, any reply heard ends the chain before its first
// frame, and bytes that never stop hold the writes back only so long.
TEST_F(LineSharing, ListeningBeforeWritesLastsAReplyLineAndEndsAtItsBound)
{
    Session = TChainSession(TChainSession::TPace::Continuous, TChainSession::TReplyMatch::SameCode);
    TChainPlan Write = TChainPlan::Write(TModuleConfig{});
    ListenBeforeWrites(Write, 9600);
    EXPECT_EQ(Write.ListenFirst, ReplyLineTime(9600) + ModuleReplyLatency);
    EXPECT_EQ(ReplyLineTime(9600), 34ms) << "32 bytes of 10 bits";

    Start(Write);
    Pass(40ms);
    Receive(StatusLine);  // a reply to no request on the line, and not the one answered last
    EXPECT_EQ(Result().End, TChainEnd::TwoModules);
    EXPECT_EQ(Result().Reason, ReplyToAnotherText);
    EXPECT_TRUE(Sent.empty());

    Start(Write);
    const TSessionTime Began = Now;
    while (Sent.empty() && Now - Began < 1s) {
        Pass(10ms);
        Receive("x");  // noise that never falls quiet
    }
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_GE(Now - Began, Write.ListenFirst + Write.ListenLine);
    EXPECT_LE(Now - Began, Write.ListenMost + 10ms);
}

}  // namespace
