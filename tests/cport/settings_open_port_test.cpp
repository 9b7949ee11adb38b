// SPDX-License-Identifier: MIT
// Setting rules on a port that is open on a pseudo-terminal: SyncMethod is
// refused, a new Port moves the port, and a changed line setting reaches the
// device at once while an unchanged one does not touch it.
#include "cport/comport.h"
#include "settings_pty.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cport;

namespace {

// A port with no event thread (Events empty), so nothing but the owning
// thread touches it.
class OpenPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetEvents({});
        port.SetPort(pty.SlavePath());
        port.Open();
        ASSERT_TRUE(port.Connected());
    }
    PseudoTerminal pty;
    TComPort port;
};

}  // namespace

TEST_F(OpenPortTest, SyncMethodIsRefusedWhileOpen) {
    EXPECT_NO_THROW(port.SetSyncMethod(smThreadSync));   // the same value is no change
    try {
        port.SetSyncMethod(smNone);
        FAIL() << "SyncMethod changed on an open port";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 14);
        EXPECT_EQ(e.SystemErrorCode(), -1);
        EXPECT_STREQ(e.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    EXPECT_TRUE(port.Connected());

    port.Close();
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST_F(OpenPortTest, ChangedLineSettingReachesTheDevice) {
    port.SetBaudRate(br38400);
    EXPECT_EQ(pty.BitRate(), 38400u);
    port.SetStopBits(sbTwoStopBits);
    EXPECT_TRUE(pty.Settings().c_cflag & CSTOPB);
    port.FlowControl().SetFlowControl(fcHardware);
    EXPECT_TRUE(pty.Settings().c_cflag & CRTSCTS);
    port.FlowControl().SetXonXoffOut(true);
    EXPECT_TRUE(pty.Settings().c_iflag & IXON);
    port.FlowControl().SetXoffChar('S');
    EXPECT_EQ(pty.Settings().c_cc[VSTOP], 'S');
    port.SetBaudRate(brCustom);   // the custom rate, 9600 unless changed
    EXPECT_EQ(pty.BitRate(), 9600u);
    port.SetCustomBaudRate(31250);
    EXPECT_EQ(pty.BitRate(), 31250u);
    EXPECT_TRUE(port.Connected());
}

TEST_F(OpenPortTest, UnchangedValueDoesNotTouchTheDevice) {
    // Change the line behind the port's back: only a real apply would undo it.
    termios t = pty.Settings();
    ASSERT_EQ(pty.BitRate(), 9600u);
    cfsetospeed(&t, B1200);
    cfsetispeed(&t, B1200);
    {
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    port.SetBaudRate(br9600);   // already 9600
    port.FlowControl().SetXonChar(17);
    EXPECT_EQ(pty.BitRate(), 1200u);

    port.FlowControl().SetFlowControl(fcCustom);   // changes nothing, yet re-applies
    EXPECT_EQ(pty.BitRate(), 9600u);
}

TEST_F(OpenPortTest, NewPortNameReopensOnTheNewDevice) {
    PseudoTerminal other;
    std::vector<std::string> calls;
    port.OnBeforeClose = [&](TComponent*) { calls.push_back("BeforeClose"); };
    port.OnAfterClose = [&](TComponent*) { calls.push_back("AfterClose"); };
    port.OnBeforeOpen = [&](TComponent*) { calls.push_back("BeforeOpen"); };
    port.OnAfterOpen = [&](TComponent*) { calls.push_back("AfterOpen"); };

    port.SetBaudRate(br57600);
    port.SetPort(other.SlavePath());
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(calls, (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
    EXPECT_EQ(other.BitRate(), 57600u);

    calls.clear();
    port.SetPort(other.SlavePath());   // same name: nothing
    EXPECT_TRUE(calls.empty());
    port.Close();   // while the handlers' log still exists
}

TEST_F(OpenPortTest, FailedReopenLeavesThePortClosedWithTheNewName) {
    const std::string missing = "/dev/varnolink-no-such-device";
    try {
        port.SetPort(missing);
        FAIL() << "opening a missing device succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
        EXPECT_GT(e.SystemErrorCode(), 0);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), missing);
}

TEST_F(OpenPortTest, ConnectedFalseClosesAndTrueOpens) {
    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
}
