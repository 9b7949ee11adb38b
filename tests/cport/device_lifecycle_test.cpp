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

TEST(DevicePath, PortNamesMapToDeviceNodes)
{
    const struct {
        const char* Port;
        const char* Path;
    } Cases[] = {
        {"/dev/pts/3", "/dev/pts/3"},
        {"/tmp/line", "/tmp/line"},
        {"COM1", "/dev/ttyS0"},
        {"COM16", "/dev/ttyS15"},
        {"com2", "/dev/ttyS1"},
        {"COM0", "/dev/COM0"},
        {"COM", "/dev/COM"},
        {"COM1x", "/dev/COM1x"},
        {"COM01", "/dev/COM01"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"pts/7", "/dev/pts/7"},
        {"rfc2217://box:4001", "rfc2217://box:4001"},
        {"SOCKET://[::1]:7", "SOCKET://[::1]:7"},
        {"socket://box", "socket://box"},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(TCustomComPort::DevicePathOf(C.Port), C.Path) << C.Port;
}

class DevicePort : public PortOnPty {
protected:
    void SetUp() override
    {
        PortOnPty::SetUp();
        Log_.Attach(Port_);
    }
    // Open fails with Code and SystemError (and Message where given); only
    // OnBeforeOpen ran and the port stays closed.
    void ExpectOpenFails(int32_t Code, int SystemError, const char* Message = nullptr)
    {
        const EComPort E = RaisedBy([&] { Port_.Open(); });
        EXPECT_EQ(E.ErrorCode(), Code);
        EXPECT_EQ(E.SystemErrorCode(), SystemError);
        if (Message) {
            EXPECT_STREQ(E.what(), Message);
        }
        EXPECT_FALSE(Port_.Connected());
        EXPECT_EQ(Log_.Calls, (Calls{"BeforeOpen"}));
    }
};

TEST_F(DevicePort, OpenAndCloseCallTheHandlersInOrder)
{
    Port_.Open();
    EXPECT_TRUE(Port_.Connected());
    EXPECT_EQ(Log_.Calls, (Calls{"BeforeOpen", "AfterOpen", "CTS off", "DSR off", "RLSD off"}));

    Log_.Calls.clear();
    Port_.Close();
    EXPECT_FALSE(Port_.Connected());
    EXPECT_EQ(Log_.Calls, (Calls{"CTS off", "DSR off", "RLSD off", "BeforeClose", "AfterClose"}));
}

TEST_F(DevicePort, OpenWhenOpenAndCloseWhenClosedDoNothing)
{
    Port_.Close();
    EXPECT_TRUE(Log_.Calls.empty());
    Port_.Open();
    Log_.Calls.clear();
    Port_.Open();
    EXPECT_TRUE(Log_.Calls.empty());
    EXPECT_TRUE(Port_.Connected());
}

TEST_F(DevicePort, MissingDeviceFailsWithCodeOneAndTheSystemError)
{
    Port_.SetPort("/dev/varnolink-no-such-device");
    ExpectOpenFails(1, ENOENT, "Unable to open com port (win error code: 2)");
}

TEST_F(DevicePort, DeviceThatIsNoTerminalIsRefused)
{
    Port_.SetPort("/dev/null");
    ExpectOpenFails(1, ENOTTY);
}

TEST_F(DevicePort, HeldDeviceCannotBeOpenedTwiceInOneProcess)
{
    Port_.Open();
    TComPort Other;
    UseSlave(Other, Pty_);
    const EComPort E = RaisedBy([&] { Other.Open(); });
    EXPECT_EQ(E.ErrorCode(), 1);
    EXPECT_TRUE(E.SystemErrorCode() == EWOULDBLOCK || E.SystemErrorCode() == EBUSY) << E.what();
    EXPECT_FALSE(Other.Connected());

    Port_.Close();
    Other.Open();  // free again once the first port has closed it
    EXPECT_TRUE(Other.Connected());
}

TEST_F(DevicePort, HeldDeviceCannotBeOpenedFromAnotherProcess)
{
    Port_.Open();
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        int Status = 3;  // opened: wrong
        try {
            TComPort Other;
            UseSlave(Other, Pty_);
            Other.Open();
        } catch (const EComPort& E) {
            Status = E.ErrorCode() == 1 ? 0 : 1;
        } catch (...) {
            Status = 2;
        }
        ::_exit(Status);
    }
    int Status = -1;
    ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
}

TEST_F(DevicePort, InputQueuedBeforeTheOpenIsDiscarded)
{
    Pty_.Write("stale");
    Port_.Open();
    EXPECT_EQ(Port_.InputQueueCount(), 0);
    WaitingReads(Port_, 2000);
    Pty_.Write("new");
    std::string Text;
    EXPECT_EQ(Port_.ReadText(Text, 3), 3);
    EXPECT_EQ(Text, "new");
}

TEST_F(DevicePort, LineIsRawWhileOpenAndRestoredAtClose)
{
    const TKernelTermios Before = Pty_.SlaveRecord();
    ASSERT_NE(Before.c_lflag & ICANON, 0u);  // a fresh pty starts cooked, with echo
    Port_.Open();
    const TKernelTermios Open = Pty_.SlaveRecord();
    EXPECT_EQ(Open.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(Open.c_oflag & OPOST, 0u);
    EXPECT_EQ(Open.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY | BRKINT), 0u);
    EXPECT_EQ(Open.c_iflag & (INPCK | PARMRK | IGNBRK), static_cast<uint32_t>(IGNBRK));
    EXPECT_EQ(Open.c_cc[VMIN], 1);
    EXPECT_EQ(Open.c_cc[VTIME], 0);

    Port_.Close();
    const TKernelTermios After = Pty_.SlaveRecord();
    EXPECT_EQ(After.c_iflag, Before.c_iflag);
    EXPECT_EQ(After.c_oflag, Before.c_oflag);
    EXPECT_EQ(After.c_lflag, Before.c_lflag);
    EXPECT_EQ(After.c_cflag, Before.c_cflag);
    EXPECT_EQ(After.c_ospeed, Before.c_ospeed);
}

// A pseudo-terminal keeps the rate, the stop bits and the flow flags it is
// given (the character size and parity it forces to 8N; line_settings_test
// checks those on the built record).
TEST_F(DevicePort, SettingsReachTheDeviceAtOpenAndAtOnceWhileOpen)
{
    Port_.SetBaudRate(brCustom);
    Port_.SetCustomBaudRate(12345);
    Port_.SetStopBits(sbTwoStopBits);
    Port_.FlowControl().SetOutCTSFlow(true);
    Port_.FlowControl().SetXonXoffOut(true);
    Port_.FlowControl().SetXonXoffIn(true);
    Port_.FlowControl().SetXonChar('Q');
    Port_.FlowControl().SetXoffChar('S');
    Port_.Open();
    TKernelTermios R = Pty_.SlaveRecord();
    EXPECT_EQ(R.c_ospeed, 12345u);
    EXPECT_EQ(R.c_ispeed, 12345u);
    EXPECT_NE(R.c_cflag & CSTOPB, 0u);
    EXPECT_NE(R.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(R.c_iflag & (IXON | IXOFF), IXON | IXOFF);
    EXPECT_EQ(R.c_cc[VSTART], 'Q');
    EXPECT_EQ(R.c_cc[VSTOP], 'S');

    Port_.SetBaudRate(br57600);
    Port_.SetStopBits(sbOneStopBit);
    Port_.FlowControl().SetFlowControl(fcNone);
    R = Pty_.SlaveRecord();
    EXPECT_EQ(R.c_ospeed, 57600u);
    EXPECT_EQ(R.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(R.c_iflag & (IXON | IXOFF), 0u);

    Port_.SetBaudRate(brCustom);  // CustomBaudRate is still 12345
    EXPECT_EQ(Pty_.SlaveRecord().c_ospeed, 12345u);
}

TEST_F(DevicePort, ImpossibleRateAtOpenClosesTheDeviceAgain)
{
    Port_.SetBaudRate(brCustom);
    Port_.SetCustomBaudRate(0);
    ExpectOpenFails(7, EINVAL, "SetCommState function failed (win error code: 22)");

    Port_.SetCustomBaudRate(4800);
    Port_.Open();  // the failed open left nothing locked
    EXPECT_EQ(Pty_.SlaveRecord().c_ospeed, 4800u);
}

TEST_F(DevicePort, RefusedLineSettingKeepsThePreviousConfiguration)
{
    Port_.SetBaudRate(br19200);
    Port_.Open();
    const TKernelTermios Before = Pty_.SlaveRecord();

    Port_.SetCustomBaudRate(-5);
    EXPECT_EQ(RaisedBy([&] { Port_.SetBaudRate(brCustom); }).ErrorCode(), 7);
    EXPECT_EQ(Port_.BaudRate(), brCustom);  // stored all the same
    EXPECT_EQ(Pty_.SlaveRecord().c_ospeed, Before.c_ospeed);
    Port_.SetBaudRate(br19200);

    Port_.SetDataBits(dbFive);
    EXPECT_EQ(RaisedBy([&] { Port_.SetStopBits(sbTwoStopBits); }).ErrorCode(), 7);

    const TKernelTermios After = Pty_.SlaveRecord();
    EXPECT_EQ(After.c_ospeed, Before.c_ospeed);
    EXPECT_EQ(After.c_cflag & CSTOPB, 0u);
    EXPECT_TRUE(Port_.Connected());
    EXPECT_EQ(Port_.WriteBytes("ok", 2), 2);
    EXPECT_EQ(Pty_.Read(2), "ok");
}

TEST_F(DevicePort, TimeoutsTheDriverWouldRefuseAreRefused)
{
    Port_.Open();
    Port_.Timeouts().SetReadTotalMultiplier(-1);
    const EComPort E = RaisedBy([&] { Port_.Timeouts().SetReadTotalConstant(-1); });
    EXPECT_EQ(E.ErrorCode(), 8);
    EXPECT_STREQ(E.what(), "SetCommTimeouts failed (win error code: 22)");
    EXPECT_TRUE(Port_.Connected());
}

TEST_F(DevicePort, NegativeBufferSizeIsRefusedAtOpen)
{
    Port_.Buffer().SetInputSize(-4);
    ExpectOpenFails(9, EINVAL);
}

TEST_F(DevicePort, SettingsMadeWhileLoadingWaitForTheEndOfLoading)
{
    Port_.BeginLoading();
    Port_.SetConnected(true);
    Port_.SetBaudRate(br4800);
    EXPECT_TRUE(Log_.Calls.empty());
    Port_.EndLoading();
    EXPECT_TRUE(Port_.Connected());
    EXPECT_EQ(Log_.Calls.front(), "BeforeOpen");
    EXPECT_EQ(Pty_.SlaveRecord().c_ospeed, 4800u);
}

TEST_F(DevicePort, FailedOpenAtTheEndOfLoadingGoesToTheErrorDisplay)
{
    std::vector<std::string> Shown;
    SetApplicationErrorDisplay([&](std::exception_ptr Error) {
        try {
            std::rethrow_exception(Error);
        } catch (const std::exception& E) {
            Shown.push_back(E.what());
        }
    });
    Port_.SetPort("/dev/varnolink-no-such-device");
    Port_.BeginLoading();
    Port_.SetConnected(true);
    Port_.EndLoading();
    SetApplicationErrorDisplay(nullptr);
    EXPECT_FALSE(Port_.Connected());
    EXPECT_EQ(Shown, (std::vector<std::string>{"Unable to open com port (win error code: 2)"}));
}

TEST_F(DevicePort, DestroyingAnOpenPortClosesIt)
{
    {
        TComPort Doomed;
        UseSlave(Doomed, Pty_);
        Log_.Attach(Doomed);
        Doomed.Open();
        Log_.Calls.clear();
    }
    EXPECT_EQ(Log_.Calls, (Calls{"CTS off", "DSR off", "RLSD off", "BeforeClose", "AfterClose"}));
    Port_.Open();  // the device was released
    EXPECT_TRUE(Port_.Connected());
}

TEST_F(DevicePort, QueriesOnAClosedPortFailWithABadHandle)
{
    auto Check = [&] {
        const EComPort Count = RaisedBy([&] { Port_.InputQueueCount(); });
        EXPECT_EQ(Count.ErrorCode(), 10);
        EXPECT_EQ(Count.SystemErrorCode(), EBADF);
        EXPECT_EQ(RaisedBy([&] { Port_.TakeLineErrors(); }).ErrorCode(), 10);
        const EComPort Signals = RaisedBy([&] { Port_.ModemSignals(); });
        EXPECT_EQ(Signals.ErrorCode(), 11);
        EXPECT_STREQ(Signals.what(), "GetCommModemStatus function failed (win error code: 9)");
    };
    Check();
    Port_.Open();
    Port_.Close();
    Check();
}

TEST_F(DevicePort, DeviceWithoutModemLinesGivesNoSignalsAndKeepsDtrRtsStored)
{
    Port_.FlowControl().SetControlDTR(dtrEnable);
    Port_.FlowControl().SetControlRTS(rtsEnable);
    Port_.Open();
    EXPECT_TRUE(Port_.ModemSignals().Empty());
    Port_.FlowControl().SetControlDTR(dtrDisable);
    EXPECT_EQ(Port_.FlowControl().ControlDTR(), dtrDisable);
    EXPECT_TRUE(Port_.Connected());
}

TEST_F(DevicePort, LineErrorsAreReportedOnceAndParityOnlyWhenChecked)
{
    Port_.Open();
    std::vector<TComErrors> Reported;
    Port_.OnError = [&](TComponent*, TComErrors Errors) { Reported.push_back(Errors); };

    TComThread::InjectLineInputForTest(Port_, "", 0, TComErrors{leFrame, leRxParity});
    EXPECT_EQ(Port_.TakeLineErrors(), (TComErrors{leFrame}));  // Parity.Check is off
    EXPECT_TRUE(Port_.TakeLineErrors().Empty());               // each error once

    Port_.Parity().SetCheck(true);
    TComThread::InjectLineInputForTest(Port_, "", 0, TComErrors{leRxParity});
    Port_.ReportLineErrors();
    Port_.ReportLineErrors();  // nothing left: no call
    EXPECT_EQ(Reported, (std::vector<TComErrors>{TComErrors{leRxParity}}));

    // A count query between an error and TakeLineErrors hides the error.
    TComThread::InjectLineInputForTest(Port_, "xy", 2, TComErrors{leOverrun});
    EXPECT_EQ(Port_.InputQueueCount(), 2);
    EXPECT_TRUE(Port_.TakeLineErrors().Empty());

    Port_.Parity().SetCheck(false);
    TComThread::InjectLineInputForTest(Port_, "", 0, TComErrors{leRxParity});
    Port_.ReportLineErrors();
    EXPECT_EQ(Reported.size(), 1u);
}
