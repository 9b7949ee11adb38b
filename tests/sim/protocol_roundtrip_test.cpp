// SPDX-License-Identifier: MIT
// The host's session against the simulated module over a pseudo-terminal:
// each request as the session builds it, the frame the module recorded, and
// the value the session decoded from the reply.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/engine/epoll_loop.h"
#include "sim/module_simulator.h"

using namespace varnolink;

namespace varnolink::sim::test {
namespace {

using namespace std::chrono_literals;

constexpr TChainStep R(int Code)
{
    return {Code, TRequestMode::Read};
}
constexpr TChainStep W(int Code)
{
    return {Code, TRequestMode::Write};
}

class ProtocolRoundTripTest : public ::testing::Test {
protected:
    void SetUp() override { StartWith({}); }

    void StartWith(TSimulatorOptions Options)
    {
        Loop_.Remove(Port_);
        Port_.Close();
        Sim_ = std::make_unique<TModuleSimulator>(std::move(Options));
        Sim_->Start();
        Port_.Open(Sim_->DevicePath());
        Port_.Session().SetReplyWait(1000ms);
        Port_.OnEvent = [this](const TSessionEvent& Event) {
            if (const auto* Ended = std::get_if<TChainEnded>(&Event))
                Result_ = Ended->Result;
            if (const auto* Ignored = std::get_if<TLineIgnored>(&Event))
                Ignored_.push_back(Ignored->Why);
        };
        Loop_.Add(Port_);
    }

    // Runs the steps, each write with its value from Values, to their end;
    // the frames the module received.
    std::vector<std::string> Run(std::vector<TChainStep> Steps, const TModuleConfig& Values = {})
    {
        Sim_->ClearRequests();
        Result_.reset();
        Port_.Start({std::move(Steps), Values, nullptr, false, {}, {}}, TSessionClock::now());
        Loop_.RunUntil([this] { return Result_.has_value(); });
        return Sim_->Requests();
    }
    TChainEnd End() const { return Result_->End; }
    const TModuleReading& Held() { return Port_.Session().Record().Reading(); }

    // The port goes before what its events write to, and before its module.
    std::unique_ptr<TModuleSimulator> Sim_;
    std::optional<TChainResult> Result_;
    std::vector<std::string> Ignored_;
    TSessionPort Port_;
    TEpollLoop Loop_;
};

using Frames = std::vector<std::string>;

TEST_F(ProtocolRoundTripTest, IdentityAndStatus)
{
    EXPECT_EQ(Run({R(0), R(1)}), (Frames{"*00:0,00=00\r\n", "*01:0,00=00\r\n"}));
    EXPECT_EQ(Held().Identity.BiosName, "VARNOLINK I/O");
    EXPECT_EQ(Held().Identity.BiosVersion, "1.00a");
    EXPECT_EQ(Held().Identity.StatusText, "Ready");

    TModuleState Failing = Sim_->State();
    Failing.Status = 0x01;
    Sim_->SetState(Failing);
    EXPECT_EQ(Run({R(1)}), Frames{"*01:0,00=00\r\n"});
    EXPECT_EQ(Held().Identity.StatusText, "Error");
}

TEST_F(ProtocolRoundTripTest, RemoteIdAndBaudRateReadAndWrite)
{
    TModuleConfig Values;
    Values.RemoteId = 0xA5;
    Values.BaudIndex = 7;
    EXPECT_EQ(Run({R(2), R(3)}), (Frames{"*02:0,00=00\r\n", "*03:0,00=00\r\n"}));
    EXPECT_EQ(Held().Config.RemoteId, 0x01);
    EXPECT_EQ(Held().Config.BaudIndex, 3);
    EXPECT_EQ(Run({W(2), W(3)}, Values), (Frames{"*02:1,A5=00\r\n", "*03:1,07=00\r\n"}));
    EXPECT_EQ(Held().Config.RemoteId, 0xA5);  // the replies echo the new values
    EXPECT_EQ(Held().Config.BaudIndex, 7);
    EXPECT_EQ(Sim_->State().RemoteId, 0xA5);
    EXPECT_EQ(Sim_->State().BaudIndex, 7);

    // No rate selected sends index -1, which the module refuses in silence.
    Values.BaudIndex = -1;
    EXPECT_EQ(Run({W(3)}, Values), Frames{"*03:1,0-1=00\r\n"});
    EXPECT_EQ(Sim_->RequestLog().back().Outcome, TRequestOutcome::InvalidArgument);
    EXPECT_EQ(End(), TChainEnd::NoReply);
    EXPECT_EQ(Sim_->State().BaudIndex, 7);
}

TEST_F(ProtocolRoundTripTest, PortDirectionAndDefaultReadAndWrite)
{
    TModuleConfig Values;
    Values.Direction[2] = 0x3C;
    Values.PowerOnDefault[4] = 0x0A;
    EXPECT_EQ(Run({R(6)}), Frames{"*06:0,00=00\r\n"});
    EXPECT_EQ(Held().Config.Direction[2], 0xF0);
    EXPECT_EQ(Run({W(6), W(13), R(13)}, Values), (Frames{"*06:1,3C=00\r\n", "*13:1,0A=00\r\n", "*13:0,00=00\r\n"}));
    EXPECT_EQ(Held().Config.Direction[2], 0x3C);
    EXPECT_EQ(Held().Config.PowerOnDefault[4], 0x0A);
    EXPECT_EQ(Sim_->State().Directions[2], 0x3C);
    EXPECT_EQ(Sim_->State().Defaults[4], 0x0A);
}

TEST_F(ProtocolRoundTripTest, SaveSetupToDefaultRestoresButItsReplyAnswersNothing)
{
    TModuleState Changed = Sim_->State();
    Changed.RemoteId = 0x42;
    Changed.Directions = {1, 2, 3, 4, 5};
    Sim_->SetState(Changed);
    EXPECT_EQ(Run({W(99)}), Frames{"*99:1,00=00\r\n"});
    EXPECT_EQ(Ignored_, std::vector<std::string>{"code 99 is no reply code"});
    EXPECT_EQ(End(), TChainEnd::NoReply);
    EXPECT_EQ(Port_.Session().PacketBuffer(), "*??:E99,00=00");
    EXPECT_EQ(Sim_->State(), TModuleState::Factory());
}

TEST_F(ProtocolRoundTripTest, ReadsOverAPacedNoisySplitLine)
{
    TSimulatorOptions Options;
    Options.LineFeedAfterReply = true;
    Options.Faults.LineBaud = 9600;
    Options.Faults.SplitPieceBytes = 5;
    Options.Faults.SplitGap = 3ms;
    Options.Faults.Noise.RandomBytes = 4;
    Options.Faults.LowerCaseData = true;
    Options.State.RemoteId = 0xBE;
    StartWith(Options);
    EXPECT_EQ(Run({R(0), R(2), R(7)}), (Frames{"*00:0,00=00\r\n", "*02:0,00=00\r\n", "*07:0,00=00\r\n"}));
    EXPECT_EQ(End(), TChainEnd::Completed);
    EXPECT_EQ(Held().Identity.BiosName, "VARNOLINK I/O");
    EXPECT_EQ(Held().Config.RemoteId, 0xBE);
    EXPECT_EQ(Held().Config.Direction[3], 0xFF);
}

}  // namespace
}  // namespace varnolink::sim::test
