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
    explicit TPtyProtocolPort(TPtyHost& host) : Host_(host) {}

    int WriteBytes(const void* buffer, int count) override {
        Host_.Write(std::string(static_cast<const char*>(buffer), static_cast<std::size_t>(count)));
        return count;
    }

    int ReadText(std::string& text, int count) override {
        text.assign(static_cast<std::size_t>(count), '\0');
        const ssize_t got = ::read(Host_.Fd(), text.data(), text.size());
        if (got < 0 && errno != EAGAIN) throw std::system_error(errno, std::generic_category(), "read");
        text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        return static_cast<int>(text.size());
    }

private:
    TPtyHost& Host_;
};

// Keeps the last value the core wrote into each window element.
class TRecordingWindow final : public TProtocolWindow {
public:
    void SetBiosNameDisplay(const std::string& text) override { Texts["BiosName"] = text; }
    void SetBIOSVersionDisplay(const std::string& text) override { Texts["BIOSVersion"] = text; }
    void SetStatusConnect(const std::string& text) override { Texts["StatusConnect"] = text; }
    void SetStatusDisplay(const std::string& text) override { Texts["Status"] = text; }
    void SetIDDisplay(const std::string& text) override { Texts["ID"] = text; }
    void SetComboBaudIndex(int index) override { BaudIndex = index; }
    void DisplayPortReply(TPortGrid grid, int row, const std::string& data) override {
        PortData[{grid, row}] = data;
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

    void StartWith(TSimulatorOptions options) {
        Protocol.reset();
        Sim = std::make_unique<TModuleSimulator>(std::move(options));
        Sim->Start();
        Host = std::make_unique<TPtyHost>(Sim->DevicePath());
        Port = std::make_unique<TPtyProtocolPort>(*Host);
        Protocol = std::make_unique<TDeviceProtocol>(Window, *Port);
    }

    // Feeds whatever arrives to the core's receive handler, as the serial
    // event would, until a reply has been decoded or `timeout` has passed.
    bool PumpUntilReply(std::chrono::milliseconds timeout = 3000ms) {
        const auto deadline = TTestClock::now() + timeout;
        while (Protocol->ReplyReceived() == 0 && TTestClock::now() < deadline) {
            pollfd ready{Host->Fd(), POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TTestClock::now());
            if (::poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
            int waiting = 0;
            if (::ioctl(Host->Fd(), FIONREAD, &waiting) != 0 || waiting == 0) continue;
            Protocol->ComPort1RxChar(waiting);
        }
        return Protocol->ReplyReceived() == 1;
    }

    // Sends the request Build makes and waits for its decoded reply; the
    // frame the module received ("" when no reply was decoded).
    std::string Answered(const std::function<void(TDeviceProtocol&)>& Build) {
        Build(*Protocol);
        if (!PumpUntilReply()) return {};
        return LastFrame();
    }

    // The last frame the module received, once it has been recorded.
    std::string LastFrame() {
        EXPECT_TRUE(Sim->WaitForRequests(1, 2000ms));
        const auto frames = Sim->Requests();
        Sim->ClearRequests();
        return frames.empty() ? std::string{} : frames.back();
    }

    TRecordingWindow Window;
    std::unique_ptr<TModuleSimulator> Sim;
    std::unique_ptr<TPtyHost> Host;
    std::unique_ptr<TPtyProtocolPort> Port;
    std::unique_ptr<TDeviceProtocol> Protocol;
};

TEST_F(ProtocolRoundTripTest, IdentityAndStatus) {
    EXPECT_EQ(Answered(&TDeviceProtocol::ReadBIOSVersion), "*00:0,00=00\r\n");
    EXPECT_EQ(Window.Texts["BiosName"], "VARNOLINK I/O");
    EXPECT_EQ(Window.Texts["BIOSVersion"], "1.00a");
    EXPECT_EQ(Window.Texts["StatusConnect"], "Connect OK");

    EXPECT_EQ(Answered(&TDeviceProtocol::ReadStatus), "*01:0,00=00\r\n");
    EXPECT_EQ(Window.Texts["Status"], "Ready");

    TModuleState failing = Sim->State();
    failing.Status = 0x01;
    Sim->SetState(failing);
    EXPECT_EQ(Answered(&TDeviceProtocol::ReadStatus), "*01:0,00=00\r\n");
    EXPECT_EQ(Window.Texts["Status"], "Error");
}

TEST_F(ProtocolRoundTripTest, RemoteIdAndBaudRateReadAndWrite) {
    EXPECT_EQ(Answered(&TDeviceProtocol::ReadIDCode), "*02:0,00=00\r\n");
    EXPECT_EQ(Window.Texts["ID"], "01");

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.SaveIDCode("A5"); }), "*02:1,A5=00\r\n");
    EXPECT_EQ(Window.Texts["ID"], "A5");
    EXPECT_EQ(Sim->State().RemoteId, 0xA5);

    EXPECT_EQ(Answered(&TDeviceProtocol::ReadBaudrate), "*03:0,00=00\r\n");
    EXPECT_EQ(Window.BaudIndex, 3);

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.SaveBaudrate(7); }), "*03:1,07=00\r\n");
    EXPECT_EQ(Window.BaudIndex, 7);
    EXPECT_EQ(Sim->State().BaudIndex, 7);

    // A field left without a selection sends index -1, which the module refuses.
    Protocol->SaveBaudrate(-1);
    ASSERT_TRUE(Sim->WaitForRequests(1, 2000ms));
    const auto log = Sim->RequestLog();
    EXPECT_EQ(log.back().Frame, "*03:1,0-1=00\r\n");
    EXPECT_EQ(log.back().Outcome, TRequestOutcome::InvalidArgument);
    EXPECT_EQ(Sim->State().BaudIndex, 7);
    EXPECT_EQ(Protocol->ReplyReceived(), 0);
}

TEST_F(ProtocolRoundTripTest, PortDirectionAndDefaultReadAndWrite) {
    EXPECT_EQ(Answered(&TDeviceProtocol::Read_P2_Direction), "*06:0,00=00\r\n");
    EXPECT_EQ((Window.PortData[{TPortGrid::Direction, 2}]), "F0");

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.Save_P2_Direction(0x3C); }), "*06:1,3C=00\r\n");
    EXPECT_EQ((Window.PortData[{TPortGrid::Direction, 2}]), "3C");

    EXPECT_EQ(Answered([](TDeviceProtocol& P) { P.Save_P5_Default(0x0A); }), "*13:1,0A=00\r\n");
    EXPECT_EQ(Answered(&TDeviceProtocol::Read_P5_Default), "*13:0,00=00\r\n");
    EXPECT_EQ((Window.PortData[{TPortGrid::Default, 4}]), "0A");
    EXPECT_EQ(Sim->State().Directions[2], 0x3C);
    EXPECT_EQ(Sim->State().Defaults[4], 0x0A);
}

TEST_F(ProtocolRoundTripTest, SaveSetupToDefaultRestoresButItsReplyIsNotDecoded) {
    TModuleState changed = Sim->State();
    changed.RemoteId = 0x42;
    changed.Directions = {1, 2, 3, 4, 5};
    Sim->SetState(changed);
    Protocol->Save_Setup_to_Default();
    EXPECT_EQ(LastFrame(), "*99:1,00=00\r\n");
    // The "*??:E99,00=00" reply reaches the core, which ignores it.
    EXPECT_FALSE(PumpUntilReply(300ms));
    EXPECT_EQ(Protocol->PacketBuffer(), "*??:E99,00=00");
    EXPECT_EQ(Sim->State(), TModuleState::Factory());
}

TEST_F(ProtocolRoundTripTest, ReadChainOverAPacedNoisySplitLine) {
    TSimulatorOptions options;
    options.LineFeedAfterReply = true;
    options.Faults.LineBaud = 9600;
    options.Faults.SplitPieceBytes = 5;
    options.Faults.SplitGap = 3ms;
    options.Faults.Noise.RandomBytes = 4;
    options.Faults.LowerCaseData = true;
    options.State.RemoteId = 0xBE;
    StartWith(options);

    Protocol->ReadBIOSVersion();
    ASSERT_TRUE(PumpUntilReply());
    EXPECT_EQ(Window.Texts["BiosName"], "VARNOLINK I/O");
    Protocol->ReadIDCode();
    ASSERT_TRUE(PumpUntilReply());
    EXPECT_EQ(Window.Texts["ID"], "BE");
    Protocol->Read_P4_Direction();
    ASSERT_TRUE(PumpUntilReply());
    EXPECT_EQ((Window.PortData[{TPortGrid::Direction, 3}]), "ff");
    EXPECT_EQ(Sim->Requests(),
              (std::vector<std::string>{"*00:0,00=00\r\n", "*02:0,00=00\r\n", "*07:0,00=00\r\n"}));
}

}  // namespace
}  // namespace varnolink::sim::test
