// SPDX-License-Identifier: MIT
// Request frames: each step's frame from its values, each chain's frames in
// the order the session sends them, and what the session does when a frame
// cannot be written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/protocol/frames.h"
#include "tests/support/chain_session_fakes.h"
#include "tests/support/read_chain_frames.h"

using namespace varnolink;

namespace {

using Frames = std::vector<std::string>;

// Write values as a front end may hold them, the Remote ID as free text.
struct TValues final : TChainValues {
    std::string Id = "A5";
    int Baud = 3;
    TModuleConfig Ports{0, 0, {0x01, 0x23, 0xF0, 0x4A, 0x5B}, {0x0C, 0x1D, 0x2E, 0xFF, 0x00}};
    std::string RemoteIDText() const override { return Id; }
    int BaudIndex() const override { return Baud; }
    uint8_t PortByte(TPortGrid Grid, int Row) const override { return Ports.PortByte(Grid, Row); }
};

struct TStepFrame {
    TChainStep Step;
    std::string Frame;
    std::string Id = "A5";
    int Baud = 3;
};

class StepFrames : public ::testing::TestWithParam<TStepFrame> {};

TEST_P(StepFrames, CarryTheStepsValue)
{
    TValues Values;
    Values.Id = GetParam().Id;
    Values.Baud = GetParam().Baud;
    EXPECT_EQ(BuildStepFrame(GetParam().Step, Values), GetParam().Frame);
}

constexpr TChainStep R(int Code)
{
    return {Code, TRequestMode::Read};
}
constexpr TChainStep W(int Code)
{
    return {Code, TRequestMode::Write};
}

INSTANTIATE_TEST_SUITE_P(EveryStep, StepFrames,
                         ::testing::Values(TStepFrame{R(0), "*00:0,00=00\r\n"}, TStepFrame{R(1), "*01:0,00=00\r\n"},
                                           TStepFrame{R(2), "*02:0,00=00\r\n"}, TStepFrame{R(3), "*03:0,00=00\r\n"},
                                           TStepFrame{R(4), "*04:0,00=00\r\n"}, TStepFrame{R(8), "*08:0,00=00\r\n"},
                                           TStepFrame{R(9), "*09:0,00=00\r\n"}, TStepFrame{R(13), "*13:0,00=00\r\n"},
                                           TStepFrame{W(2), "*02:1,A5=00\r\n"}, TStepFrame{W(3), "*03:1,03=00\r\n"},
                                           TStepFrame{W(4), "*04:1,01=00\r\n"}, TStepFrame{W(5), "*05:1,23=00\r\n"},
                                           TStepFrame{W(6), "*06:1,F0=00\r\n"}, TStepFrame{W(7), "*07:1,4A=00\r\n"},
                                           TStepFrame{W(8), "*08:1,5B=00\r\n"}, TStepFrame{W(9), "*09:1,0C=00\r\n"},
                                           TStepFrame{W(10), "*10:1,1D=00\r\n"}, TStepFrame{W(11), "*11:1,2E=00\r\n"},
                                           TStepFrame{W(12), "*12:1,FF=00\r\n"}, TStepFrame{W(13), "*13:1,00=00\r\n"},
                                           TStepFrame{W(99), "*99:1,00=00\r\n"},
                                           // The Remote ID text and the baud index pass unchecked.
                                           TStepFrame{W(2), "*02:1,=00\r\n", ""},
                                           TStepFrame{W(2), "*02:1,7=00\r\n", "7"},
                                           TStepFrame{W(2), "*02:1,a5=00\r\n", "a5"},
                                           TStepFrame{W(3), "*03:1,07=00\r\n", "A5", 7},
                                           TStepFrame{W(3), "*03:1,0-1=00\r\n", "A5", -1}));

TEST(StepFrames, StepsWithoutARequestAreRefused)
{
    const TValues Values;
    for (const TChainStep Step : {R(14), R(-1), R(99), W(0), W(1), W(14)})
        EXPECT_THROW(BuildStepFrame(Step, Values), std::invalid_argument) << DescribeStep(Step);
}

const TModuleConfig Wanted{0xA7, 6, {0x5A, 0x01, 0x02, 0x04, 0x08}, {0xFE, 0x10, 0x20, 0x40, 0x80}};

Frames Joined(Frames Head, const Frames& Tail)
{
    Head.insert(Head.end(), Tail.begin(), Tail.end());
    return Head;
}

struct TChainFrames {
    const char* Name;
    TChainPlan Plan;
    Frames Expected;
};

class ChainFrames : public ::testing::TestWithParam<TChainFrames>, protected TSessionUnderTest {};

// A module that answers every request at once: each step goes out after
// the reply to the one before, and a new request clears ReplyReceived.
TEST_P(ChainFrames, GoOutInOrderEachAfterTheLastReply)
{
    Receive(CodeReply("01", "00") + "\r");
    Start(GetParam().Plan);
    while (Session.Running()) {
        EXPECT_EQ(Session.ReplyReceived(), 0);
        Receive(CodeReply("01", "00") + "\r");
    }
    EXPECT_EQ(Sent, GetParam().Expected);
    EXPECT_EQ(Result().Acknowledged.size(), GetParam().Expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    EveryChain, ChainFrames,
    ::testing::Values(TChainFrames{"Identify", TChainPlan::Identify(), {"*00:0,00=00\r\n"}},
                      TChainFrames{"Read", TChainPlan::Read(), test_support::ReadChainFrames},
                      TChainFrames{"Write", TChainPlan::Write(Wanted),
                                   Joined({"*02:1,A7=00\r\n", "*03:1,06=00\r\n", "*04:1,5A=00\r\n", "*05:1,01=00\r\n",
                                           "*06:1,02=00\r\n", "*07:1,04=00\r\n", "*08:1,08=00\r\n", "*09:1,FE=00\r\n",
                                           "*10:1,10=00\r\n", "*11:1,20=00\r\n", "*12:1,40=00\r\n", "*13:1,80=00\r\n"},
                                          test_support::ReadChainFrames)},
                      TChainFrames{"Factory", TChainPlan::Factory(),
                                   Joined({"*00:0,00=00\r\n", "*01:0,00=00\r\n", "*02:1,01=00\r\n", "*03:1,03=00\r\n",
                                           "*04:1,00=00\r\n", "*05:1,00=00\r\n", "*06:1,F0=00\r\n", "*07:1,FF=00\r\n",
                                           "*08:1,FF=00\r\n", "*09:1,FF=00\r\n", "*10:1,FF=00\r\n", "*11:1,FF=00\r\n",
                                           "*12:1,FF=00\r\n", "*13:1,FF=00\r\n"},
                                          test_support::ReadChainFrames)}),
    [](const ::testing::TestParamInfo<TChainFrames>& Info) { return std::string(Info.param.Name); });

class SessionRequests : public ::testing::Test, protected TSessionUnderTest {};

// Live values are asked when each write is built, so a field changed while
// the chain runs goes out with its new value.
TEST_F(SessionRequests, LiveValuesAreTakenWhenTheRequestIsBuilt)
{
    TValues Values;
    TChainPlan Plan = StepsPlan({W(2), W(6)});
    Plan.LiveValues = &Values;
    Start(std::move(Plan));
    Values.Ports.Direction[2] = 0x77;
    Receive(CodeReply("02", "A5") + "\r");
    EXPECT_EQ(Sent, (Frames{"*02:1,A5=00\r\n", "*06:1,77=00\r\n"}));
    EXPECT_EQ(WireLines.Lines.front(), ">  *02:1,A5=00<CR><LF>  write Remote ID A5");
}

TEST_F(SessionRequests, RefusedWriteEndsTheChainWithTheRequestOnTheLine)
{
    Start(StepsPlan({W(3), W(6)}, Wanted));
    Session.WriteFailed("write refused");
    Settle();
    EXPECT_EQ(Result().End, TChainEnd::PortError);
    EXPECT_EQ(Result().Reason, "write refused");
    EXPECT_EQ(FieldName(Result().UnconfirmedField()), "baud");
    EXPECT_EQ(ModuleConfigFieldNames(Result().UnsentFields()), Frames{"direction.P2"});
    EXPECT_EQ(WireLines.Lines.front(), ">  *03:1,06=00<CR><LF>  write baud rate 06 (57600)");
    // The next chain starts with a whole frame of its own.
    Start(StepsPlan({W(6)}, Wanted));
    EXPECT_EQ(Sent.back(), "*06:1,02=00\r\n");
}

}  // namespace
