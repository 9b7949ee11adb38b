// SPDX-License-Identifier: MIT
// Setting rules on a port that is open on a pseudo-terminal: SyncMethod is
// refused, a new Port moves the port, and a changed line setting reaches the
// device at once while an unchanged one does not touch it.
#include "cport/comport.h"
#include "device_pty.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cport;

namespace {

// A port with no event thread (Events empty), so nothing but the owning
// thread touches it.
class OpenPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Port_.SetEvents({});
        Port_.SetPort(Pty_.SlavePath());
        Port_.Open();
        ASSERT_TRUE(Port_.Connected());
    }
    test_support::TPtyPair Pty_;
    TComPort Port_;
};

}  // namespace

TEST_F(OpenPortTest, SyncMethodIsRefusedWhileOpen)
{
    EXPECT_NO_THROW(Port_.SetSyncMethod(smThreadSync));  // the same value is no change
    try {
        Port_.SetSyncMethod(smNone);
        FAIL() << "SyncMethod changed on an open port";
    } catch (const EComPort& E) {
        EXPECT_EQ(E.ErrorCode(), 14);
        EXPECT_EQ(E.SystemErrorCode(), -1);
        EXPECT_STREQ(E.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(Port_.SyncMethod(), smThreadSync);
    EXPECT_TRUE(Port_.Connected());

    Port_.Close();
    Port_.SetSyncMethod(smNone);
    EXPECT_EQ(Port_.SyncMethod(), smNone);
}

TEST_F(OpenPortTest, ChangedLineSettingReachesTheDevice)
{
    Port_.SetBaudRate(br38400);
    EXPECT_EQ(Pty_.BitRate(), 38400u);
    Port_.SetStopBits(sbTwoStopBits);
    EXPECT_TRUE(Pty_.Settings().c_cflag & CSTOPB);
    Port_.FlowControl().SetFlowControl(fcHardware);
    EXPECT_TRUE(Pty_.Settings().c_cflag & CRTSCTS);
    Port_.FlowControl().SetXonXoffOut(true);
    EXPECT_TRUE(Pty_.Settings().c_iflag & IXON);
    Port_.FlowControl().SetXoffChar('S');
    EXPECT_EQ(Pty_.Settings().c_cc[VSTOP], 'S');
    Port_.SetBaudRate(brCustom);  // the custom rate, 9600 unless changed
    EXPECT_EQ(Pty_.BitRate(), 9600u);
    Port_.SetCustomBaudRate(31250);
    EXPECT_EQ(Pty_.BitRate(), 31250u);
    EXPECT_TRUE(Port_.Connected());
}

TEST_F(OpenPortTest, UnchangedValueDoesNotTouchTheDevice)
{
    // Change the line behind the port's back: only a real apply would undo it.
    termios T = Pty_.Settings();
    ASSERT_EQ(Pty_.BitRate(), 9600u);
    cfsetospeed(&T, B1200);
    cfsetispeed(&T, B1200);
    {
        const int Fd = ::open(Pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(Fd, 0);
        ASSERT_EQ(::tcsetattr(Fd, TCSANOW, &T), 0);
        ::close(Fd);
    }
    Port_.SetBaudRate(br9600);  // already 9600
    Port_.FlowControl().SetXonChar(17);
    EXPECT_EQ(Pty_.BitRate(), 1200u);

    Port_.FlowControl().SetFlowControl(fcCustom);  // changes nothing, yet re-applies
    EXPECT_EQ(Pty_.BitRate(), 9600u);
}

TEST_F(OpenPortTest, NewPortNameReopensOnTheNewDevice)
{
    test_support::TPtyPair Other;
    std::vector<std::string> Calls;
    Port_.OnBeforeClose = [&](TComponent*) { Calls.push_back("BeforeClose"); };
    Port_.OnAfterClose = [&](TComponent*) { Calls.push_back("AfterClose"); };
    Port_.OnBeforeOpen = [&](TComponent*) { Calls.push_back("BeforeOpen"); };
    Port_.OnAfterOpen = [&](TComponent*) { Calls.push_back("AfterOpen"); };

    Port_.SetBaudRate(br57600);
    Port_.SetPort(Other.SlavePath());
    EXPECT_TRUE(Port_.Connected());
    EXPECT_EQ(Calls, (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
    EXPECT_EQ(Other.BitRate(), 57600u);

    Calls.clear();
    Port_.SetPort(Other.SlavePath());  // same name: nothing
    EXPECT_TRUE(Calls.empty());
    Port_.Close();  // while the handlers' log still exists
}

TEST_F(OpenPortTest, FailedReopenLeavesThePortClosedWithTheNewName)
{
    const std::string Missing = "/dev/varnolink-no-such-device";
    try {
        Port_.SetPort(Missing);
        FAIL() << "opening a missing device succeeded";
    } catch (const EComPort& E) {
        EXPECT_EQ(E.ErrorCode(), 1);
        EXPECT_GT(E.SystemErrorCode(), 0);
    }
    EXPECT_FALSE(Port_.Connected());
    EXPECT_EQ(Port_.Port(), Missing);
}

TEST_F(OpenPortTest, ConnectedFalseClosesAndTrueOpens)
{
    Port_.SetConnected(false);
    EXPECT_FALSE(Port_.Connected());
    Port_.SetConnected(true);
    EXPECT_TRUE(Port_.Connected());
}
