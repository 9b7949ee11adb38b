// SPDX-License-Identifier: MIT
// The host's protocol core against the simulated module over a
// pseudo-terminal: each request as the core builds it, the frame the module
// recorded, and the value the core decoded from the reply.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <system_error>

#include "main/protocol/device_protocol.h"
#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"

namespace varnolink::sim::test {
namespace {

// The core's serial port: byte writes and non-blocking reads on the raw fd.
class TPtyProtocolPort final : public TProtocolPort {
public:
    explicit TPtyProtocolPort(TPtyHost& Host) : Host_(Host) {}

    int WriteBytes(const void* Buffer, int Count) override {
        Host_.Write(std::string(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count)));
        return Count;
    }

    int ReadText(std::string& Text, int Count) override {
        Text.assign(static_cast<std::size_t>(Count), '\0');
        const ssize_t Got = ::read(Host_.Fd(), Text.data(), Text.size());
        if (Got < 0 && errno != EAGAIN) throw std::system_error(errno, std::generic_category(), "read");
        Text.resize(Got < 0 ? 0 : static_cast<std::size_t>(Got));
        return static_cast<int>(Text.size());
    }

private:
    TPtyHost& Host_;
};

// Keeps the last value the core wrote into each window element.
class TRecordingWindow final : public TProtocolWindow {
public:
    void SetBiosNameDisplay(const std::string& Text) override { Texts["BiosName"] = Text; }
    void SetBIOSVersionDisplay(const std::string& Text) override { Texts["BIOSVersion"] = Text; }
    void SetStatusConnect(const std::string& Text) override { Texts["StatusConnect"] = Text; }
    void SetStatusDisplay(const std::string& Text) override { Texts["Status"] = Text; }
    void SetIDDisplay(const std::string& Text) override { Texts["ID"] = Text; }
    void SetComboBaudIndex(int Index) override { BaudIndex = Index; }
    void DisplayPortReply(TPortGrid Grid, int Row, const std::string& Data) override {
        PortData[{Grid, Row}] = Data;
    }
    void SetByteFieldText(TPortGrid, int, const std::string&) override {}
    void SetBitCaption(TPortGrid, int, int, const std::string&) override {}

    std::map<std::string, std::string> Texts;
    int BaudIndex = -2;
    std::map<std::pair<TPortGrid, int>, std::string> PortData;
};

class ProtocolRoundTripTest : public ::testing::Test {
protected:
    void SetUp() override { StartWith({}); }

    void StartWith(TSimulatorOptions Options) {
        Protocol_.reset();
        Sim_ = std::make_unique<TModuleSimulator>(std::move(Options));
        Sim_->Start();
        Host_ = std::make_unique<TPtyHost>(Sim_->DevicePath());
        Port_ = std::make_unique<TPtyProtocolPort>(*Host_);
        Protocol_ = std::make_unique<TDeviceProtocol>(Window_, *Port_);
    }

    // Feeds whatever arrives to the core's receive handler, as the serial
    // event would, until a reply has been decoded or `timeout` has passed.
    bool PumpUntilReply(std::chrono::milliseconds Timeout = 3000ms) {
        const auto Deadline = TTestClock::now() + Timeout;
        while (Protocol_->ReplyReceived() == 0 && TTestClock::now() < Deadline) {
            pollfd Ready{Host_->Fd(), POLLIN, 0};
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TTestClock::now());
            if (::poll(&Ready, 1, static_cast<int>(Left.count()) + 1) <= 0) continue;
            int Waiting = 0;
            if (::ioctl(Host_->Fd(), FIONREAD, &Waiting) != 0 || Waiting == 0) continue;
            Protocol_->ComPort1RxChar(Waiting);
        }
        return Protocol_->ReplyReceived() == 1;
    }

    // Sends the request Build makes and waits for its decoded reply; the
    // frame the module received ("" when no reply was decoded).
    std::string Answered(const std::function<void(TDeviceProtocol&)>& Build) {
        Build(*Protocol_);
        if (!PumpUntilReply()) return {};
        return LastFrame();
    }

    // The last frame the module received, once it has been recorded.
    std::string LastFrame() {
        EXPECT_TRUE(Sim_->WaitForRequests(1, 2000ms));
        const auto Frames = Sim_->Requests();
        Sim_->ClearRequests();
        return Frames.empty() ? std::string{} : Frames.back();
    }

    TRecordingWindow Window_;
    std::unique_ptr<TModuleSimulator> Sim_;
    std::unique_ptr<TPtyHost> Host_;
    std::unique_ptr<TPtyProtocolPort> Port_;
    std::unique_ptr<TDeviceProtocol> Protocol_;
};

TEST_F(ProtocolRoundTripTest, IdentityAndStatus) {
    EXPECT_EQ(Answered(&TDeviceProtocol::ReadBIOSVersion), "*00:0,00=00\r\n");
    EXPECT_EQ(Window_.Texts["BiosName"], "VARNOLINK I/O");
    EXPECT_EQ(Window_.Texts["BIOSVersion"], "1.00a");
    EXPECT_EQ(Window_.Texts["StatusConnect"], "Connect OK");

    EXPECT_EQ(Answered(&TDeviceProtocol::ReadStatus), "*01:0,00=00\r\n");
    EXPECT_EQ(Window_.Texts["Status"], "Ready");

    TModuleState Failing = Sim_->State();
    Failing.Status = 0x01;
    Sim_->SetState(Failing);
    EXPECT_EQ(Answered(&TDeviceProtocol::ReadStatus), "*01:0,00=00\r\n");
    EXPECT_EQ(Window_.Texts["Status"], "Error");
}

TEST_F(ProtocolRoundTripTest, RemoteIdAndBaudRateReadAndWrite) {
    EXPECT_EQ(Answered(&TDeviceProtocol::ReadIDCode), "*02:0,00=00\r\n");
    EXPECT_EQ(Window_.Texts["ID"], "01");

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.SaveIDCode("A5"); }), "*02:1,A5=00\r\n");
    EXPECT_EQ(Window_.Texts["ID"], "A5");
    EXPECT_EQ(Sim_->State().RemoteId, 0xA5);

    EXPECT_EQ(Answered(&TDeviceProtocol::ReadBaudrate), "*03:0,00=00\r\n");
    EXPECT_EQ(Window_.BaudIndex, 3);

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.SaveBaudrate(7); }), "*03:1,07=00\r\n");
    EXPECT_EQ(Window_.BaudIndex, 7);
    EXPECT_EQ(Sim_->State().BaudIndex, 7);

    // A field left without a selection sends index -1, which the module refuses.
    Protocol_->SaveBaudrate(-1);
    ASSERT_TRUE(Sim_->WaitForRequests(1, 2000ms));
    const auto Log = Sim_->RequestLog();
    EXPECT_EQ(Log.back().Frame, "*03:1,0-1=00\r\n");
    EXPECT_EQ(Log.back().Outcome, TRequestOutcome::InvalidArgument);
    EXPECT_EQ(Sim_->State().BaudIndex, 7);
    EXPECT_EQ(Protocol_->ReplyReceived(), 0);
}

TEST_F(ProtocolRoundTripTest, PortDirectionAndDefaultReadAndWrite) {
    EXPECT_EQ(Answered(&TDeviceProtocol::Read_P2_Direction), "*06:0,00=00\r\n");
    EXPECT_EQ((Window_.PortData[{TPortGrid::Direction, 2}]), "F0");

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.Save_P2_Direction(0x3C); }), "*06:1,3C=00\r\n");
    EXPECT_EQ((Window_.PortData[{TPortGrid::Direction, 2}]), "3C");

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.Save_P5_Default(0x0A); }), "*13:1,0A=00\r\n");
    EXPECT_EQ(Answered(&TDeviceProtocol::Read_P5_Default), "*13:0,00=00\r\n");
    EXPECT_EQ((Window_.PortData[{TPortGrid::Default, 4}]), "0A");
    EXPECT_EQ(Sim_->State().Directions[2], 0x3C);
    EXPECT_EQ(Sim_->State().Defaults[4], 0x0A);
}

TEST_F(ProtocolRoundTripTest, SaveSetupToDefaultRestoresButItsReplyIsNotDecoded) {
    TModuleState Changed = Sim_->State();
    Changed.RemoteId = 0x42;
    Changed.Directions = {1, 2, 3, 4, 5};
    Sim_->SetState(Changed);
    Protocol_->Save_Setup_to_Default();
    EXPECT_EQ(LastFrame(), "*99:1,00=00\r\n");
    // The "*??:E99,00=00" reply reaches the core, which ignores it.
    EXPECT_FALSE(PumpUntilReply(300ms));
    EXPECT_EQ(Protocol_->PacketBuffer(), "*??:E99,00=00");
    EXPECT_EQ(Sim_->State(), TModuleState::Factory());
}

TEST_F(ProtocolRoundTripTest, ReadChainOverAPacedNoisySplitLine) {
    TSimulatorOptions Options;
    Options.LineFeedAfterReply = true;
    Options.Faults.LineBaud = 9600;
    Options.Faults.SplitPieceBytes = 5;
    Options.Faults.SplitGap = 3ms;
    Options.Faults.Noise.RandomBytes = 4;
    Options.Faults.LowerCaseData = true;
    Options.State.RemoteId = 0xBE;
    StartWith(Options);

    Protocol_->ReadBIOSVersion();
    ASSERT_TRUE(PumpUntilReply());
    EXPECT_EQ(Window_.Texts["BiosName"], "VARNOLINK I/O");
    Protocol_->ReadIDCode();
    ASSERT_TRUE(PumpUntilReply());
    EXPECT_EQ(Window_.Texts["ID"], "BE");
    Protocol_->Read_P4_Direction();
    ASSERT_TRUE(PumpUntilReply());
    EXPECT_EQ((Window_.PortData[{TPortGrid::Direction, 3}]), "ff");
    EXPECT_EQ(Sim_->Requests(),
              (std::vector<std::string>{"*00:0,00=00\r\n", "*02:0,00=00\r\n", "*07:0,00=00\r\n"}));
}

}  // namespace
}  // namespace varnolink::sim::test
