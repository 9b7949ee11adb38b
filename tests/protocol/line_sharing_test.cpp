// SPDX-License-Identifier: MIT
// What else may be on the line besides one module: an adapter that echoes
// every request, and a second module that answers too, either after the
// first or over it.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "tests/protocol/protocol_fakes.h"

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

}  // namespace
