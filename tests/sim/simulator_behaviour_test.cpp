// SPDX-License-Identifier: MIT
// The simulated module answering hand-made request frames over its
// pseudo-terminal, and its record of what it received.

#include <gtest/gtest.h>

#include <memory>

#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"

namespace varnolink::sim::test {
namespace {

class SimulatorBehaviourTest : public ::testing::Test {
protected:
    void StartWith(TSimulatorOptions Options)
    {
        Sim_ = std::make_unique<TModuleSimulator>(std::move(Options));
        Sim_->Start();
        Host_ = std::make_unique<TPtyHost>(Sim_->DevicePath());
    }
    void SetUp() override { StartWith({}); }

    std::unique_ptr<TModuleSimulator> Sim_;
    std::unique_ptr<TPtyHost> Host_;
};

TEST_F(SimulatorBehaviourTest, ReadsAnswerEveryCodeWithItsLayoutAndValue)
{
    TModuleState State;
    State.Status = 0x01;
    State.RemoteId = 0xA5;
    State.BaudIndex = 7;
    State.Directions = {0x12, 0x34, 0x56, 0x78, 0x9A};
    State.Defaults = {0xBC, 0xDE, 0xF0, 0x0F, 0x80};
    State.BiosName = "TEST MODULE 9";
    State.BiosVersion = "2.34b";
    Sim_->SetState(State);

    const std::pair<const char*, const char*> Exchanges[] = {{"*00:0,00=00\r\n", "*??:E00,00=TEST MODULE 9 2.34b\r"},
                                                             {"*01:0,00=00\r\n", "*??:E01,00=01\r"},
                                                             {"*02:0,00=00\r\n", "*??:E02,00=A5\r"},
                                                             {"*03:0,00=00\r\n", "*??:E03,00=07\r"},
                                                             {"*04:0,00=00\r\n", "*??:E04,00=12\r"},
                                                             {"*05:0,00=00\r\n", "*??:E05,00=34\r"},
                                                             {"*06:0,00=00\r\n", "*??:E06,00=56\r"},
                                                             {"*07:0,00=00\r\n", "*??:E07,00=78\r"},
                                                             {"*08:0,00=00\r\n", "*??:E08,00=9A\r"},
                                                             {"*09:0,00=00\r\n", "*??:E09,00=BC\r"},
                                                             {"*10:0,00=00\r\n", "*??:E10,00=DE\r"},
                                                             {"*11:0,00=00\r\n", "*??:E11,00=F0\r"},
                                                             {"*12:0,00=00\r\n", "*??:E12,00=0F\r"},
                                                             {"*13:0,00=00\r\n", "*??:E13,00=80\r"}};
    for (const auto& [request, reply] : Exchanges) {
        EXPECT_EQ(Host_->Exchange(request), reply);
    }
}

TEST_F(SimulatorBehaviourTest, FactoryStateAnswersTheFactoryValuesWithLineFeedOption)
{
    TSimulatorOptions Options;
    Options.LineFeedAfterReply = true;
    StartWith(Options);
    Host_->Write("*00:0,00=00\r\n");
    EXPECT_EQ(Host_->ReadLines(1, 2000ms, '\n'), "*??:E00,00=VARNOLINK I/O 1.00a\r\n");
    Host_->Write("*03:0,00=00\r\n*06:0,00=00\r\n*13:0,00=00\r\n");
    EXPECT_EQ(Host_->ReadLines(3, 2000ms, '\n'), "*??:E03,00=03\r\n*??:E06,00=F0\r\n*??:E13,00=FF\r\n");
}

TEST_F(SimulatorBehaviourTest, WritesStoreAndEchoAndCode99RestoresFactory)
{
    EXPECT_EQ(Host_->Exchange("*02:1,a5=00\r\n"), "*??:E02,00=A5\r");
    EXPECT_EQ(Host_->Exchange("*03:1,06=00\r\n"), "*??:E03,00=06\r");
    EXPECT_EQ(Host_->Exchange("*04:1,3C=00\r\n"), "*??:E04,00=3C\r");
    EXPECT_EQ(Host_->Exchange("*13:1,00=00\r\n"), "*??:E13,00=00\r");
    EXPECT_EQ(Host_->Exchange("*02:0,00=00\r\n"), "*??:E02,00=A5\r");
    EXPECT_EQ(Host_->Exchange("*04:0,00=00\r\n"), "*??:E04,00=3C\r");

    TModuleState Expected;
    Expected.RemoteId = 0xA5;
    Expected.BaudIndex = 6;
    Expected.Directions[0] = 0x3C;
    Expected.Defaults[4] = 0x00;
    EXPECT_EQ(Sim_->State(), Expected);

    TModuleState Custom = Sim_->State();
    Custom.Status = 0x01;
    Custom.BiosName = "ANOTHER NAME!";
    Sim_->SetState(Custom);
    EXPECT_EQ(Host_->Exchange("*99:1,00=00\r\n"), "*??:E99,00=00\r");
    TModuleState Restored = TModuleState::Factory();
    Restored.Status = 0x01;               // not a stored setting
    Restored.BiosName = "ANOTHER NAME!";  // nor is the identity
    EXPECT_EQ(Sim_->State(), Restored);
    EXPECT_EQ(Host_->Exchange("*03:0,00=00\r\n"), "*??:E03,00=03\r");
}

TEST_F(SimulatorBehaviourTest, InvalidAndUnknownRequestsAreRecordedButNotStoredOrAnswered)
{
    const std::vector<std::string> Ignored{
        "*02:1,5=00\r\n",  "*02:1,5G=00\r\n", "*02:1,123=00\r\n", "*03:1,0-1=00\r\n", "*03:1,08=00\r\n",
        "*03:1,13=00\r\n", "*04:1,=00\r\n",   "*11:1,FFF=00\r\n", "*99:1,01=00\r\n",  "*00:1,00=00\r\n",
        "*01:1,00=00\r\n", "*14:0,00=00\r\n", "*99:0,00=00\r\n",  "*05:0,01=00\r\n",  "*05:2,00=00\r\n",
        "*05:0,00=01\r\n", "*5:0,00=00\r\n",  "*05;0,00=00\r\n",
    };
    for (const auto& Frame : Ignored) {
        Host_->Write(Frame);
    }
    // The first reply to arrive must be the one to this valid read.
    EXPECT_EQ(Host_->Exchange("*02:0,00=00\r\n"), "*??:E02,00=01\r");
    EXPECT_EQ(Sim_->State(), TModuleState::Factory());

    const auto Log = Sim_->RequestLog();
    ASSERT_EQ(Log.size(), Ignored.size() + 1);
    for (std::size_t I = 0; I < Ignored.size(); ++I) {
        EXPECT_EQ(Log[I].Frame, Ignored[I]);
        EXPECT_NE(Log[I].Outcome, TRequestOutcome::Answered) << Ignored[I];
    }
    EXPECT_EQ(Log[0].Outcome, TRequestOutcome::InvalidArgument);
    EXPECT_EQ(Log[3].Outcome, TRequestOutcome::InvalidArgument);
    EXPECT_EQ(Log[9].Outcome, TRequestOutcome::UnknownCommand);
    EXPECT_EQ(Log[11].Outcome, TRequestOutcome::UnknownCommand);
    EXPECT_EQ(Log[16].Outcome, TRequestOutcome::Malformed);
    EXPECT_EQ(Log.back().Outcome, TRequestOutcome::Answered);
}

TEST_F(SimulatorBehaviourTest, RecordIsByteExactAndResynchronisesOnStar)
{
    // Noise before a frame is dropped; a "*" cuts a partial frame off; a frame
    // without its LF still counts and is answered.
    Host_->Write("xx\x01"
                 "*02:0,0*01:0,00=00\r\n");
    EXPECT_EQ(Host_->ReadLines(1), "*??:E01,00=00\r");
    Host_->Write("*04:1,AA=00\r");
    EXPECT_EQ(Host_->ReadLines(1), "*??:E04,00=AA\r");
    Host_->Write("*05:0,00=00\r*06:0,00=00\r\n");
    EXPECT_EQ(Host_->ReadLines(2), "*??:E05,00=00\r*??:E06,00=F0\r");

    ASSERT_TRUE(Sim_->WaitForRequests(4, 2000ms));
    EXPECT_EQ(Sim_->Requests(),
              (std::vector<std::string>{"*01:0,00=00\r\n", "*04:1,AA=00\r", "*05:0,00=00\r", "*06:0,00=00\r\n"}));
    Sim_->ClearRequests();
    EXPECT_TRUE(Sim_->Requests().empty());
    // Sent one byte per write, as the host protocol does.
    for (char C : std::string("*07:0,00=00\r\n"))
        Host_->Write(std::string(1, C));
    EXPECT_EQ(Host_->ReadLines(1), "*??:E07,00=FF\r");
    EXPECT_EQ(Sim_->Requests(), std::vector<std::string>{"*07:0,00=00\r\n"});
}

TEST_F(SimulatorBehaviourTest, StopHoldsRequestsUntilStartedAgain)
{
    Sim_->Stop();
    EXPECT_FALSE(Sim_->Running());
    Host_->Write("*01:0,00=00\r\n");
    EXPECT_EQ(Host_->ReadFor(100ms), "");
    Sim_->Start();
    EXPECT_EQ(Host_->ReadLines(1), "*??:E01,00=00\r");
}

TEST(SimulatorStateTest, RefusesStatesTheModuleCannotHold)
{
    TModuleSimulator Sim;
    TModuleState State;
    State.BiosName = "TOO SHORT";
    EXPECT_THROW(Sim.SetState(State), std::invalid_argument);
    State = TModuleState{};
    State.BiosVersion = "1.0*b";
    EXPECT_THROW(Sim.SetState(State), std::invalid_argument);
    State = TModuleState{};
    State.BaudIndex = 8;
    EXPECT_THROW(Sim.SetState(State), std::invalid_argument);
    TSimulatorOptions Options;
    Options.State.BiosName = std::string(13, '\r');
    EXPECT_THROW(TModuleSimulator{Options}, std::invalid_argument);
    EXPECT_EQ(Sim.State(), TModuleState::Factory());
}

}  // namespace
}  // namespace varnolink::sim::test
