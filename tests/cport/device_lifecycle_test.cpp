// SPDX-License-Identifier: MIT
// Opening, configuring and closing a port on a pseudo-terminal, without an
// event thread (Events empty).
#include "device_pty.h"

#include "cport/com_thread.h"

#include <sys/wait.h>
#include <termios.h>

#include <memory>

using namespace cport;
using namespace device_test;

using Calls = std::vector<std::string>;

TEST(DevicePath, PortNamesMapToDeviceNodes) {
    const struct {
        const char* port;
        const char* path;
    } cases[] = {
        {"/dev/pts/3", "/dev/pts/3"}, {"/tmp/line", "/tmp/line"},   {"COM1", "/dev/ttyS0"},
        {"COM16", "/dev/ttyS15"},     {"com2", "/dev/ttyS1"},       {"COM0", "/dev/COM0"},
        {"COM", "/dev/COM"},          {"COM1x", "/dev/COM1x"},      {"COM01", "/dev/COM01"},
        {"ttyUSB0", "/dev/ttyUSB0"},  {"pts/7", "/dev/pts/7"},
        {"rfc2217://box:4001", "rfc2217://box:4001"}, {"SOCKET://[::1]:7", "SOCKET://[::1]:7"},
        {"socket://box", "socket://box"},
    };
    for (const auto& c : cases) EXPECT_EQ(TCustomComPort::DevicePathOf(c.port), c.path) << c.port;
}

class DevicePort : public PortOnPty {
protected:
    void SetUp() override {
        PortOnPty::SetUp();
        log.Attach(port);
    }
    // Open fails with Code and SystemError (and Message where given); only
    // OnBeforeOpen ran and the port stays closed.
    void ExpectOpenFails(int32_t Code, int SystemError, const char* Message = nullptr) {
        const EComPort e = RaisedBy([&] { port.Open(); });
        EXPECT_EQ(e.ErrorCode(), Code);
        EXPECT_EQ(e.SystemErrorCode(), SystemError);
        if (Message) {
            EXPECT_STREQ(e.what(), Message);
        }
        EXPECT_FALSE(port.Connected());
        EXPECT_EQ(log.calls, (Calls{"BeforeOpen"}));
    }
};

TEST_F(DevicePort, OpenAndCloseCallTheHandlersInOrder) {
    port.Open();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(log.calls, (Calls{"BeforeOpen", "AfterOpen", "CTS off", "DSR off", "RLSD off"}));

    log.calls.clear();
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(log.calls, (Calls{"CTS off", "DSR off", "RLSD off", "BeforeClose", "AfterClose"}));
}

TEST_F(DevicePort, OpenWhenOpenAndCloseWhenClosedDoNothing) {
    port.Close();
    EXPECT_TRUE(log.calls.empty());
    port.Open();
    log.calls.clear();
    port.Open();
    EXPECT_TRUE(log.calls.empty());
    EXPECT_TRUE(port.Connected());
}

TEST_F(DevicePort, MissingDeviceFailsWithCodeOneAndTheSystemError) {
    port.SetPort("/dev/varnolink-no-such-device");
    ExpectOpenFails(1, ENOENT, "Unable to open com port (win error code: 2)");
}

TEST_F(DevicePort, DeviceThatIsNoTerminalIsRefused) {
    port.SetPort("/dev/null");
    ExpectOpenFails(1, ENOTTY);
}

TEST_F(DevicePort, HeldDeviceCannotBeOpenedTwiceInOneProcess) {
    port.Open();
    TComPort other;
    UseSlave(other, pty);
    const EComPort e = RaisedBy([&] { other.Open(); });
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_TRUE(e.SystemErrorCode() == EWOULDBLOCK || e.SystemErrorCode() == EBUSY) << e.what();
    EXPECT_FALSE(other.Connected());

    port.Close();
    other.Open();   // free again once the first port has closed it
    EXPECT_TRUE(other.Connected());
}

TEST_F(DevicePort, HeldDeviceCannotBeOpenedFromAnotherProcess) {
    port.Open();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 3;   // opened: wrong
        try {
            TComPort other;
            UseSlave(other, pty);
            other.Open();
        } catch (const EComPort& e) {
            status = e.ErrorCode() == 1 ? 0 : 1;
        } catch (...) {
            status = 2;
        }
        ::_exit(status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DevicePort, InputQueuedBeforeTheOpenIsDiscarded) {
    pty.Write("stale");
    port.Open();
    EXPECT_EQ(port.InputQueueCount(), 0);
    WaitingReads(port, 2000);
    pty.Write("new");
    std::string text;
    EXPECT_EQ(port.ReadText(text, 3), 3);
    EXPECT_EQ(text, "new");
}

TEST_F(DevicePort, LineIsRawWhileOpenAndRestoredAtClose) {
    const TKernelTermios before = pty.SlaveRecord();
    ASSERT_NE(before.c_lflag & ICANON, 0u);   // a fresh pty starts cooked, with echo
    port.Open();
    const TKernelTermios open = pty.SlaveRecord();
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(open.c_oflag & OPOST, 0u);
    EXPECT_EQ(open.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY | BRKINT), 0u);
    EXPECT_EQ(open.c_iflag & (INPCK | PARMRK | IGNBRK), static_cast<uint32_t>(IGNBRK));
    EXPECT_EQ(open.c_cc[VMIN], 1);
    EXPECT_EQ(open.c_cc[VTIME], 0);

    port.Close();
    const TKernelTermios after = pty.SlaveRecord();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_ospeed, before.c_ospeed);
}

// A pseudo-terminal keeps the rate, the stop bits and the flow flags it is
// given (the character size and parity it forces to 8N; line_settings_test
// checks those on the built record).
TEST_F(DevicePort, SettingsReachTheDeviceAtOpenAndAtOnceWhileOpen) {
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(12345);
    port.SetStopBits(sbTwoStopBits);
    port.FlowControl().SetOutCTSFlow(true);
    port.FlowControl().SetXonXoffOut(true);
    port.FlowControl().SetXonXoffIn(true);
    port.FlowControl().SetXonChar('Q');
    port.FlowControl().SetXoffChar('S');
    port.Open();
    TKernelTermios r = pty.SlaveRecord();
    EXPECT_EQ(r.c_ospeed, 12345u);
    EXPECT_EQ(r.c_ispeed, 12345u);
    EXPECT_NE(r.c_cflag & CSTOPB, 0u);
    EXPECT_NE(r.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(r.c_iflag & (IXON | IXOFF), IXON | IXOFF);
    EXPECT_EQ(r.c_cc[VSTART], 'Q');
    EXPECT_EQ(r.c_cc[VSTOP], 'S');

    port.SetBaudRate(br57600);
    port.SetStopBits(sbOneStopBit);
    port.FlowControl().SetFlowControl(fcNone);
    r = pty.SlaveRecord();
    EXPECT_EQ(r.c_ospeed, 57600u);
    EXPECT_EQ(r.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(r.c_iflag & (IXON | IXOFF), 0u);

    port.SetBaudRate(brCustom);   // CustomBaudRate is still 12345
    EXPECT_EQ(pty.SlaveRecord().c_ospeed, 12345u);
}

TEST_F(DevicePort, ImpossibleRateAtOpenClosesTheDeviceAgain) {
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(0);
    ExpectOpenFails(7, EINVAL, "SetCommState function failed (win error code: 22)");

    port.SetCustomBaudRate(4800);
    port.Open();   // the failed open left nothing locked
    EXPECT_EQ(pty.SlaveRecord().c_ospeed, 4800u);
}

TEST_F(DevicePort, RefusedLineSettingKeepsThePreviousConfiguration) {
    port.SetBaudRate(br19200);
    port.Open();
    const TKernelTermios before = pty.SlaveRecord();

    port.SetCustomBaudRate(-5);
    EXPECT_EQ(RaisedBy([&] { port.SetBaudRate(brCustom); }).ErrorCode(), 7);
    EXPECT_EQ(port.BaudRate(), brCustom);   // stored all the same
    EXPECT_EQ(pty.SlaveRecord().c_ospeed, before.c_ospeed);
    port.SetBaudRate(br19200);

    port.SetDataBits(dbFive);
    EXPECT_EQ(RaisedBy([&] { port.SetStopBits(sbTwoStopBits); }).ErrorCode(), 7);

    const TKernelTermios after = pty.SlaveRecord();
    EXPECT_EQ(after.c_ospeed, before.c_ospeed);
    EXPECT_EQ(after.c_cflag & CSTOPB, 0u);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.WriteBytes("ok", 2), 2);
    EXPECT_EQ(pty.Read(2), "ok");
}

TEST_F(DevicePort, TimeoutsTheDriverWouldRefuseAreRefused) {
    port.Open();
    port.Timeouts().SetReadTotalMultiplier(-1);
    const EComPort e = RaisedBy([&] { port.Timeouts().SetReadTotalConstant(-1); });
    EXPECT_EQ(e.ErrorCode(), 8);
    EXPECT_STREQ(e.what(), "SetCommTimeouts failed (win error code: 22)");
    EXPECT_TRUE(port.Connected());
}

TEST_F(DevicePort, NegativeBufferSizeIsRefusedAtOpen) {
    port.Buffer().SetInputSize(-4);
    ExpectOpenFails(9, EINVAL);
}

TEST_F(DevicePort, SettingsMadeWhileLoadingWaitForTheEndOfLoading) {
    port.BeginLoading();
    port.SetConnected(true);
    port.SetBaudRate(br4800);
    EXPECT_TRUE(log.calls.empty());
    port.EndLoading();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(log.calls.front(), "BeforeOpen");
    EXPECT_EQ(pty.SlaveRecord().c_ospeed, 4800u);
}

TEST_F(DevicePort, FailedOpenAtTheEndOfLoadingGoesToTheErrorDisplay) {
    std::vector<std::string> shown;
    SetApplicationErrorDisplay([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            shown.push_back(e.what());
        }
    });
    port.SetPort("/dev/varnolink-no-such-device");
    port.BeginLoading();
    port.SetConnected(true);
    port.EndLoading();
    SetApplicationErrorDisplay(nullptr);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(shown, (std::vector<std::string>{"Unable to open com port (win error code: 2)"}));
}

TEST_F(DevicePort, DestroyingAnOpenPortClosesIt) {
    {
        TComPort doomed;
        UseSlave(doomed, pty);
        log.Attach(doomed);
        doomed.Open();
        log.calls.clear();
    }
    EXPECT_EQ(log.calls, (Calls{"CTS off", "DSR off", "RLSD off", "BeforeClose", "AfterClose"}));
    port.Open();   // the device was released
    EXPECT_TRUE(port.Connected());
}

TEST_F(DevicePort, QueriesOnAClosedPortFailWithABadHandle) {
    auto check = [&] {
        const EComPort count = RaisedBy([&] { port.InputQueueCount(); });
        EXPECT_EQ(count.ErrorCode(), 10);
        EXPECT_EQ(count.SystemErrorCode(), EBADF);
        EXPECT_EQ(RaisedBy([&] { port.TakeLineErrors(); }).ErrorCode(), 10);
        const EComPort signals = RaisedBy([&] { port.ModemSignals(); });
        EXPECT_EQ(signals.ErrorCode(), 11);
        EXPECT_STREQ(signals.what(), "GetCommModemStatus function failed (win error code: 9)");
    };
    check();
    port.Open();
    port.Close();
    check();
}

TEST_F(DevicePort, DeviceWithoutModemLinesGivesNoSignalsAndKeepsDtrRtsStored) {
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsEnable);
    port.Open();
    EXPECT_TRUE(port.ModemSignals().Empty());
    port.FlowControl().SetControlDTR(dtrDisable);
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrDisable);
    EXPECT_TRUE(port.Connected());
}

TEST_F(DevicePort, LineErrorsAreReportedOnceAndParityOnlyWhenChecked) {
    port.Open();
    std::vector<TComErrors> reported;
    port.OnError = [&](TComponent*, TComErrors Errors) { reported.push_back(Errors); };

    TComThread::InjectLineInputForTest(port, "", 0, TComErrors{leFrame, leRxParity});
    EXPECT_EQ(port.TakeLineErrors(), (TComErrors{leFrame}));   // Parity.Check is off
    EXPECT_TRUE(port.TakeLineErrors().Empty());                // each error once

    port.Parity().SetCheck(true);
    TComThread::InjectLineInputForTest(port, "", 0, TComErrors{leRxParity});
    port.ReportLineErrors();
    port.ReportLineErrors();   // nothing left: no call
    EXPECT_EQ(reported, (std::vector<TComErrors>{TComErrors{leRxParity}}));

    // A count query between an error and TakeLineErrors hides the error.
    TComThread::InjectLineInputForTest(port, "xy", 2, TComErrors{leOverrun});
    EXPECT_EQ(port.InputQueueCount(), 2);
    EXPECT_TRUE(port.TakeLineErrors().Empty());

    port.Parity().SetCheck(false);
    TComThread::InjectLineInputForTest(port, "", 0, TComErrors{leRxParity});
    port.ReportLineErrors();
    EXPECT_EQ(reported.size(), 1u);
}
