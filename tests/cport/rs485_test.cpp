// SPDX-License-Identifier: MIT
// The RS-485 mode: when a port gives it to its device (a double that records
// each setup taken), refusals, a pseudo-terminal, the termios driver record.
#include "cport/device.h"
#include "cport/termios_device.h"
#include "device_pty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

using namespace cport;

namespace {

struct TakenSetup {
    bool Enabled, RtsOnSend, RtsAfterSend;
    int32_t Before, After;
    bool RxDuringTx;
    bool operator==(const TakenSetup&) const = default;
};

struct DeviceLog {
    std::vector<TakenSetup> Setups;
    int Refusal = 0;  // the errno ApplyRs485 answers; 0 takes the setup
};

// A device with the mode and no line.
class Rs485Double final : public TDevice {
public:
    explicit Rs485Double(DeviceLog& Log) : Log_(Log) {}
    int PollFd() const override { return -1; }
    ssize_t Read(void*, size_t) override { return errno = EAGAIN, -1; }
    ssize_t Write(const void*, size_t Count) override { return static_cast<ssize_t>(Count); }
    int ApplyLine(const TCustomComPort&, TReceiveOptions&) override { return 0; }
    int ApplyRs485(const TComRs485& R) override
    {
        if (Log_.Refusal == 0)
            Log_.Setups.push_back({R.Enabled(), R.RtsOnSend(), R.RtsAfterSend(), R.DelayBeforeSendMs(),
                                   R.DelayAfterSendMs(), R.RxDuringTx()});
        return Log_.Refusal;
    }
    int Purge(bool, bool) override { return 0; }
    int ModemLines(TLineSignals&) override { return ENOTTY; }
    int WaitForModemChange() override { return ENOTTY; }
    int SetOutputLines(bool, bool) override { return ENOTTY; }
    int SetBreak(bool) override { return ENOTTY; }
    int OutputQueued(int&) override { return ENOTTY; }
    int TransmitterEmpty(bool&) override { return ENOTTY; }
    int ErrorCounts(TDriverCounts&) override { return ENOTTY; }
    void Close() override {}

private:
    DeviceLog& Log_;
};

class PortOnDouble : public TComPort {
public:
    explicit PortOnDouble(DeviceLog& Log) : Log_(Log) { SetEvents({}); }
    void OpenDevice() override { AdoptDevice(std::make_unique<Rs485Double>(Log_)); }

private:
    DeviceLog& Log_;
};

class Rs485OnPty : public device_test::PortOnPty {};

}  // namespace

TEST(Rs485Apply, AtOpenAndAtEachChangeOnceTheDeviceHasHadTheMode)
{
    DeviceLog Log;
    PortOnDouble Port(Log);
    Port.Rs485().SetDelayAfterSendMs(2);
    Port.Open();
    Port.Rs485().SetRxDuringTx(true);  // off and never on: nothing sent
    Port.Rs485().SetRxDuringTx(false);
    Port.Rs485().SetEnabled(true);
    Port.Rs485().SetEnabled(true);  // unchanged
    Port.Rs485().SetEnabled(false);
    Port.Rs485().SetDelayBeforeSendMs(9);  // off, after having been on
    Port.Close();
    Port.Open();  // off and never on since this open
    TComRs485 Other;
    Other.SetEnabled(true);
    Other.SetRtsAfterSend(true);
    Port.SetRs485(&Other);
    Port.Close();
    Port.Open();  // on at open
    EXPECT_EQ(Log.Setups, (std::vector<TakenSetup>{{true, true, false, 0, 2, false},
                                                   {false, true, false, 0, 2, false},
                                                   {false, true, false, 9, 2, false},
                                                   {true, true, true, 0, 0, false},
                                                   {true, true, true, 0, 0, false}}));
}

TEST(Rs485Apply, RefusalsAndNegativeDelaysRaiseCode24AndLeaveThePortClosed)
{
    const struct {
        int Refusal, Delay, System;
        bool NoMode;
    } Rows[] = {{ENOTTY, 0, ENOTTY, true}, {EINVAL, 0, EINVAL, true}, {EIO, 0, EIO, false}, {0, -1, EINVAL, false}};
    for (const auto& Row : Rows) {
        DeviceLog Log{{}, Row.Refusal};
        PortOnDouble Port(Log);
        Port.Rs485().SetDelayBeforeSendMs(Row.Delay);
        Port.Rs485().SetEnabled(true);
        const EComPort E = device_test::RaisedBy([&] { Port.Open(); });
        EXPECT_EQ(E.ErrorCode(), CError_Rs485Failed);
        EXPECT_EQ(E.SystemErrorCode(), Row.System);
        EXPECT_EQ(std::string(E.what()).ends_with("\nthe device has no RS-485 mode"), Row.NoMode) << E.what();
        EXPECT_FALSE(Port.Connected());
        EXPECT_TRUE(Log.Setups.empty());
    }
}

TEST_F(Rs485OnPty, IsRefusedWhileOpenAndAtOpen)
{
    Port_.Open();  // off: the pty is not asked
    const EComPort E = device_test::RaisedBy([&] { Port_.Rs485().SetEnabled(true); });
    EXPECT_STREQ(E.what(), "Unable to set RS-485 mode (win error code: 25)\nthe device has no RS-485 mode");
    EXPECT_TRUE(Port_.Connected());
    Port_.Close();
    EXPECT_EQ(device_test::RaisedBy([&] { Port_.Open(); }).SystemErrorCode(), ENOTTY);
    EXPECT_FALSE(Port_.Connected());
}

TEST(Rs485Record, TheSettingsFlagsAndDelaysOverTheDriversOwn)
{
    serial_rs485 Current{};
    Current.flags = SER_RS485_TERMINATE_BUS | SER_RS485_RTS_AFTER_SEND;
    Current.delay_rts_before_send = 50;
    TComRs485 R;
    EXPECT_EQ(BuildRs485Record(R, Current).flags, uint32_t{SER_RS485_TERMINATE_BUS | SER_RS485_RTS_ON_SEND});
    EXPECT_EQ(BuildRs485Record(R, Current).delay_rts_before_send, 0u);
    R.SetEnabled(true);
    R.SetRtsOnSend(false);
    R.SetRtsAfterSend(true);
    R.SetRxDuringTx(true);
    R.SetDelayBeforeSendMs(7);
    R.SetDelayAfterSendMs(2147483647);
    const serial_rs485 Record = BuildRs485Record(R, Current);
    EXPECT_EQ(Record.flags, uint32_t{SER_RS485_TERMINATE_BUS | SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND |
                                     SER_RS485_RX_DURING_TX});
    EXPECT_EQ(Record.delay_rts_before_send, 7u);
    EXPECT_EQ(Record.delay_rts_after_send, 2147483647u);
}
