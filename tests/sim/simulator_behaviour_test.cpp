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
    void StartWith(TSimulatorOptions options) {
        Sim = std::make_unique<TModuleSimulator>(std::move(options));
        Sim->Start();
        Host = std::make_unique<TPtyHost>(Sim->DevicePath());
    }
    void SetUp() override { StartWith({}); }

    std::unique_ptr<TModuleSimulator> Sim;
    std::unique_ptr<TPtyHost> Host;
};

TEST_F(SimulatorBehaviourTest, ReadsAnswerEveryCodeWithItsLayoutAndValue) {
    TModuleState state;
    state.Status = 0x01;
    state.RemoteId = 0xA5;
    state.BaudIndex = 7;
    state.Directions = {0x12, 0x34, 0x56, 0x78, 0x9A};
    state.Defaults = {0xBC, 0xDE, 0xF0, 0x0F, 0x80};
    state.BiosName = "TEST MODULE 9";
    state.BiosVersion = "2.34b";
    Sim->SetState(state);

    const std::pair<const char*, const char*> exchanges[] = {
        {"*00:0,00=00\r\n", "*??:E00,00=TEST MODULE 9 2.34b\r"},
        {"*01:0,00=00\r\n", "*??:E01,00=01\r"}, {"*02:0,00=00\r\n", "*??:E02,00=A5\r"},
        {"*03:0,00=00\r\n", "*??:E03,00=07\r"}, {"*04:0,00=00\r\n", "*??:E04,00=12\r"},
        {"*05:0,00=00\r\n", "*??:E05,00=34\r"}, {"*06:0,00=00\r\n", "*??:E06,00=56\r"},
        {"*07:0,00=00\r\n", "*??:E07,00=78\r"}, {"*08:0,00=00\r\n", "*??:E08,00=9A\r"},
        {"*09:0,00=00\r\n", "*??:E09,00=BC\r"}, {"*10:0,00=00\r\n", "*??:E10,00=DE\r"},
        {"*11:0,00=00\r\n", "*??:E11,00=F0\r"}, {"*12:0,00=00\r\n", "*??:E12,00=0F\r"},
        {"*13:0,00=00\r\n", "*??:E13,00=80\r"}};
    for (const auto& [request, reply] : exchanges) {
        EXPECT_EQ(Host->Exchange(request), reply);
    }
}

TEST_F(SimulatorBehaviourTest, FactoryStateAnswersTheFactoryValuesWithLineFeedOption) {
    TSimulatorOptions options;
    options.LineFeedAfterReply = true;
    StartWith(options);
    Host->Write("*00:0,00=00\r\n");
    EXPECT_EQ(Host->ReadLines(1, 2000ms, '\n'), "*??:E00,00=VARNOLINK I/O 1.00a\r\n");
    Host->Write("*03:0,00=00\r\n*06:0,00=00\r\n*13:0,00=00\r\n");
    EXPECT_EQ(Host->ReadLines(3, 2000ms, '\n'), "*??:E03,00=03\r\n*??:E06,00=F0\r\n*??:E13,00=FF\r\n");
}

TEST_F(SimulatorBehaviourTest, WritesStoreAndEchoAndCode99RestoresFactory) {
    EXPECT_EQ(Host->Exchange("*02:1,a5=00\r\n"), "*??:E02,00=A5\r");
    EXPECT_EQ(Host->Exchange("*03:1,06=00\r\n"), "*??:E03,00=06\r");
    EXPECT_EQ(Host->Exchange("*04:1,3C=00\r\n"), "*??:E04,00=3C\r");
    EXPECT_EQ(Host->Exchange("*13:1,00=00\r\n"), "*??:E13,00=00\r");
    EXPECT_EQ(Host->Exchange("*02:0,00=00\r\n"), "*??:E02,00=A5\r");
    EXPECT_EQ(Host->Exchange("*04:0,00=00\r\n"), "*??:E04,00=3C\r");

    TModuleState expected;
    expected.RemoteId = 0xA5;
    expected.BaudIndex = 6;
    expected.Directions[0] = 0x3C;
    expected.Defaults[4] = 0x00;
    EXPECT_EQ(Sim->State(), expected);

    TModuleState custom = Sim->State();
    custom.Status = 0x01;
    custom.BiosName = "ANOTHER NAME!";
    Sim->SetState(custom);
    EXPECT_EQ(Host->Exchange("*99:1,00=00\r\n"), "*??:E99,00=00\r");
    TModuleState restored = TModuleState::Factory();
    restored.Status = 0x01;                  // not a stored setting
    restored.BiosName = "ANOTHER NAME!";     // nor is the identity
    EXPECT_EQ(Sim->State(), restored);
    EXPECT_EQ(Host->Exchange("*03:0,00=00\r\n"), "*??:E03,00=03\r");
}

TEST_F(SimulatorBehaviourTest, InvalidAndUnknownRequestsAreRecordedButNotStoredOrAnswered) {
    const std::vector<std::string> ignored{
        "*02:1,5=00\r\n",  "*02:1,5G=00\r\n", "*02:1,123=00\r\n", "*03:1,0-1=00\r\n", "*03:1,08=00\r\n",
        "*03:1,13=00\r\n", "*04:1,=00\r\n",   "*11:1,FFF=00\r\n", "*99:1,01=00\r\n",  "*00:1,00=00\r\n",
        "*01:1,00=00\r\n", "*14:0,00=00\r\n", "*99:0,00=00\r\n",  "*05:0,01=00\r\n",  "*05:2,00=00\r\n",
        "*05:0,00=01\r\n", "*5:0,00=00\r\n",  "*05;0,00=00\r\n",
    };
    for (const auto& frame : ignored) {
        Host->Write(frame);
    }
    // The first reply to arrive must be the one to this valid read.
    EXPECT_EQ(Host->Exchange("*02:0,00=00\r\n"), "*??:E02,00=01\r");
    EXPECT_EQ(Sim->State(), TModuleState::Factory());

    const auto log = Sim->RequestLog();
    ASSERT_EQ(log.size(), ignored.size() + 1);
    for (std::size_t i = 0; i < ignored.size(); ++i) {
        EXPECT_EQ(log[i].Frame, ignored[i]);
        EXPECT_NE(log[i].Outcome, TRequestOutcome::Answered) << ignored[i];
    }
    EXPECT_EQ(log[0].Outcome, TRequestOutcome::InvalidArgument);
    EXPECT_EQ(log[3].Outcome, TRequestOutcome::InvalidArgument);
    EXPECT_EQ(log[9].Outcome, TRequestOutcome::UnknownCommand);
    EXPECT_EQ(log[11].Outcome, TRequestOutcome::UnknownCommand);
    EXPECT_EQ(log[16].Outcome, TRequestOutcome::Malformed);
    EXPECT_EQ(log.back().Outcome, TRequestOutcome::Answered);
}

TEST_F(SimulatorBehaviourTest, RecordIsByteExactAndResynchronisesOnStar) {
    // Noise before a frame is dropped; a "*" cuts a partial frame off; a frame
    // without its LF still counts and is answered.
    Host->Write("xx\x01" "*02:0,0*01:0,00=00\r\n");
    EXPECT_EQ(Host->ReadLines(1), "*??:E01,00=00\r");
    Host->Write("*04:1,AA=00\r");
    EXPECT_EQ(Host->ReadLines(1), "*??:E04,00=AA\r");
    Host->Write("*05:0,00=00\r*06:0,00=00\r\n");
    EXPECT_EQ(Host->ReadLines(2), "*??:E05,00=00\r*??:E06,00=F0\r");

    ASSERT_TRUE(Sim->WaitForRequests(4, 2000ms));
    EXPECT_EQ(Sim->Requests(), (std::vector<std::string>{"*01:0,00=00\r\n", "*04:1,AA=00\r", "*05:0,00=00\r",
                                                          "*06:0,00=00\r\n"}));
    Sim->ClearRequests();
    EXPECT_TRUE(Sim->Requests().empty());
    // Sent one byte per write, as the host protocol does.
    for (char c : std::string("*07:0,00=00\r\n")) Host->Write(std::string(1, c));
    EXPECT_EQ(Host->ReadLines(1), "*??:E07,00=FF\r");
    EXPECT_EQ(Sim->Requests(), std::vector<std::string>{"*07:0,00=00\r\n"});
}

TEST_F(SimulatorBehaviourTest, StopHoldsRequestsUntilStartedAgain) {
    Sim->Stop();
    EXPECT_FALSE(Sim->Running());
    Host->Write("*01:0,00=00\r\n");
    EXPECT_EQ(Host->ReadFor(100ms), "");
    Sim->Start();
    EXPECT_EQ(Host->ReadLines(1), "*??:E01,00=00\r");
}

TEST(SimulatorStateTest, RefusesStatesTheModuleCannotHold) {
    TModuleSimulator sim;
    TModuleState state;
    state.BiosName = "TOO SHORT";
    EXPECT_THROW(sim.SetState(state), std::invalid_argument);
    state = TModuleState{};
    state.BiosVersion = "1.0*b";
    EXPECT_THROW(sim.SetState(state), std::invalid_argument);
    state = TModuleState{};
    state.BaudIndex = 8;
    EXPECT_THROW(sim.SetState(state), std::invalid_argument);
    TSimulatorOptions options;
    options.State.BiosName = std::string(13, '\r');
    EXPECT_THROW(TModuleSimulator{options}, std::invalid_argument);
    EXPECT_EQ(sim.State(), TModuleState::Factory());
}

}  // namespace
}  // namespace varnolink::sim::test
