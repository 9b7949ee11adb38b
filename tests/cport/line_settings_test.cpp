// SPDX-License-Identifier: MIT
// The termios record, the DTR/RTS states and the receive options built from
// a port's settings (no device involved).
#include "cport/line_settings.h"

#include <gtest/gtest.h>

#include <termios.h>

using namespace cport;

namespace {

TLineSetup Built(const TComPort& Port)
{
    return BuildLineSetup(Port, TKernelTermios{});
}

int32_t RefusalCode(const TComPort& Port)
{
    try {
        Built(Port);
    } catch (const EComPort& E) {
        EXPECT_EQ(E.SystemErrorCode(), EINVAL);
        return E.ErrorCode();
    }
    return 0;
}

}  // namespace

TEST(LineSettings, InitialSettingsGiveARaw8N1LineAt9600)
{
    TComPort Port;
    const TLineSetup S = Built(Port);
    const TKernelTermios& R = S.Record;
    EXPECT_EQ(R.c_iflag, static_cast<uint32_t>(IGNBRK));  // the kernel's raw fast path
    EXPECT_FALSE(S.Receive.Marked);
    EXPECT_EQ(R.c_oflag, 0u);
    EXPECT_EQ(R.c_lflag, 0u);
    EXPECT_EQ(R.c_cflag, static_cast<uint32_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(R.c_ispeed, 9600u);
    EXPECT_EQ(R.c_ospeed, 9600u);
    EXPECT_EQ(R.c_cc[VMIN], 1);
    EXPECT_EQ(R.c_cc[VTIME], 0);
    EXPECT_EQ(R.c_cc[VSTART], 17);
    EXPECT_EQ(R.c_cc[VSTOP], 19);
    EXPECT_EQ(R.c_cc[VINTR], 0);  // no signal, erase or end-of-file characters
    EXPECT_EQ(R.c_cc[VEOF], 0);
    EXPECT_FALSE(S.DtrOn);
    EXPECT_FALSE(S.RtsOn);
}

TEST(LineSettings, LineDisciplineOfTheDeviceIsKept)
{
    TComPort Port;
    TKernelTermios Current;
    Current.c_line = 2;
    Current.c_iflag = ICRNL | IXANY | ISTRIP;
    Current.c_lflag = ECHO | ICANON;
    const TLineSetup S = BuildLineSetup(Port, Current);
    EXPECT_EQ(S.Record.c_line, 2);
    EXPECT_EQ(S.Record.c_iflag, static_cast<uint32_t>(IGNBRK));
    EXPECT_EQ(S.Record.c_lflag, 0u);
}

TEST(LineSettings, EveryRateMapsToItsNumber)
{
    const struct {
        TBaudRate Rate;
        uint32_t Bps;
    } Cases[] = {{br110, 110},     {br300, 300},     {br600, 600},       {br1200, 1200},     {br2400, 2400},
                 {br4800, 4800},   {br9600, 9600},   {br14400, 14400},   {br19200, 19200},   {br38400, 38400},
                 {br56000, 56000}, {br57600, 57600}, {br115200, 115200}, {br128000, 128000}, {br256000, 256000}};
    TComPort Port;
    for (const auto& C : Cases) {
        Port.SetBaudRate(C.Rate);
        EXPECT_EQ(Built(Port).Record.c_ospeed, C.Bps) << int(C.Rate);
    }
    Port.SetBaudRate(brCustom);
    EXPECT_EQ(Built(Port).Record.c_ospeed, 9600u);  // CustomBaudRate's initial value
    Port.SetCustomBaudRate(12345);
    EXPECT_EQ(Built(Port).Record.c_ospeed, 12345u);
    EXPECT_EQ(Built(Port).Record.c_cflag & CBAUD, 0u);  // the rate travels in c_ospeed
    Port.SetCustomBaudRate(0);
    EXPECT_EQ(RefusalCode(Port), 7);
    Port.SetCustomBaudRate(-9600);
    EXPECT_EQ(RefusalCode(Port), 7);
}

TEST(LineSettings, CharacterSizeAndParity)
{
    const struct {
        TDataBits Bits;
        tcflag_t Size;
    } Sizes[] = {{dbFive, CS5}, {dbSix, CS6}, {dbSeven, CS7}, {dbEight, CS8}};
    const struct {
        TParityBits Parity;
        tcflag_t Flags;
    } Parities[] = {{prNone, 0},
                    {prOdd, PARENB | PARODD},
                    {prEven, PARENB},
                    {prMark, PARENB | CMSPAR | PARODD},
                    {prSpace, PARENB | CMSPAR}};
    TComPort Port;
    for (const auto& Size : Sizes) {
        for (const auto& Parity : Parities) {
            Port.SetDataBits(Size.Bits);
            Port.Parity().SetBits(Parity.Parity);
            const TLineSetup S = Built(Port);
            EXPECT_EQ(S.Record.c_cflag & CSIZE, Size.Size);
            EXPECT_EQ(S.Record.c_cflag & (PARENB | PARODD | CMSPAR), Parity.Flags);
            EXPECT_EQ(S.Receive.ParityEnabled, Parity.Parity != prNone);
        }
    }
}

TEST(LineSettings, StopBitsAsAUartSendsThem)
{
    const struct {
        TStopBits Stop;
        TDataBits Data;
        bool Accepted;
        bool Cstopb;
    } Cases[] = {
        {sbOneStopBit, dbFive, true, false},     {sbOneStopBit, dbEight, true, false},
        {sbOne5StopBits, dbFive, true, true},    {sbOne5StopBits, dbSix, false, false},
        {sbOne5StopBits, dbEight, false, false}, {sbTwoStopBits, dbFive, false, false},
        {sbTwoStopBits, dbSix, true, true},      {sbTwoStopBits, dbEight, true, true},
    };
    for (const auto& C : Cases) {
        TComPort Port;
        Port.SetStopBits(C.Stop);
        Port.SetDataBits(C.Data);
        if (!C.Accepted) {
            EXPECT_EQ(RefusalCode(Port), 7) << int(C.Stop) << "/" << int(C.Data);
            continue;
        }
        EXPECT_EQ((Built(Port).Record.c_cflag & CSTOPB) != 0, C.Cstopb) << int(C.Stop) << "/" << int(C.Data);
    }
}

TEST(LineSettings, FlowControlFlagsAndOutputLines)
{
    TComPort Port;
    TComFlowControl& Flow = Port.FlowControl();

    Flow.SetFlowControl(fcHardware);
    TLineSetup S = Built(Port);
    EXPECT_NE(S.Record.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(S.Record.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_TRUE(S.RtsOn);

    Flow.SetFlowControl(fcSoftware);
    Flow.SetXonChar('a');
    Flow.SetXoffChar('b');
    S = Built(Port);
    EXPECT_EQ(S.Record.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(S.Record.c_iflag & (IXON | IXOFF), IXON | IXOFF);
    EXPECT_EQ(S.Record.c_cc[VSTART], 'a');
    EXPECT_EQ(S.Record.c_cc[VSTOP], 'b');
    EXPECT_FALSE(S.RtsOn);

    Flow.SetFlowControl(fcNone);
    Flow.SetXonXoffOut(true);
    EXPECT_EQ(Built(Port).Record.c_iflag & (IXON | IXOFF), IXON);
    Flow.SetXonXoffOut(false);
    Flow.SetXonXoffIn(true);
    EXPECT_EQ(Built(Port).Record.c_iflag & (IXON | IXOFF), IXOFF);
    Flow.SetXonXoffIn(false);

    Flow.SetOutCTSFlow(true);  // CTS output flow alone also needs CRTSCTS
    EXPECT_NE(Built(Port).Record.c_cflag & CRTSCTS, 0u);
    Flow.SetOutCTSFlow(false);

    // Settings without a Linux counterpart change nothing in the record.
    const TKernelTermios Plain = Built(Port).Record;
    Flow.SetOutDSRFlow(true);
    Flow.SetDSRSensitivity(true);
    Flow.SetTxContinueOnXoff(true);
    const TKernelTermios Same = Built(Port).Record;
    EXPECT_EQ(Same.c_iflag, Plain.c_iflag);
    EXPECT_EQ(Same.c_cflag, Plain.c_cflag);

    const struct {
        TDTRFlowControl Dtr;
        bool on;
    } Dtrs[] = {{dtrDisable, false}, {dtrEnable, true}, {dtrHandshake, true}};
    for (const auto& D : Dtrs) {
        Flow.SetControlDTR(D.Dtr);
        EXPECT_EQ(Built(Port).DtrOn, D.on) << int(D.Dtr);
    }
    const struct {
        TRTSFlowControl Rts;
        bool on;
        bool Crtscts;
    } Rtss[] = {
        {rtsDisable, false, false}, {rtsEnable, true, false}, {rtsHandshake, true, true}, {rtsToggle, false, false}};
    for (const auto& R : Rtss) {
        Flow.SetControlRTS(R.Rts);
        S = Built(Port);
        EXPECT_EQ(S.RtsOn, R.on) << int(R.Rts);
        EXPECT_EQ((S.Record.c_cflag & CRTSCTS) != 0, R.Crtscts) << int(R.Rts);
    }
}

TEST(LineSettings, ReceiveOptionsFollowParityCheckReplaceDiscardNullAndEventChar)
{
    TComPort Port;
    TReceiveOptions O = Built(Port).Receive;
    EXPECT_FALSE(O.ParityCheck);
    EXPECT_FALSE(O.Replace);
    EXPECT_FALSE(O.DiscardNull);
    EXPECT_EQ(O.EventChar, 0);

    Port.Parity().SetReplace(true);
    Port.Parity().SetReplaceChar('?');
    EXPECT_FALSE(Built(Port).Receive.Replace);  // replacing needs the check
    Port.Parity().SetCheck(true);
    O = Built(Port).Receive;
    EXPECT_TRUE(O.ParityCheck);
    EXPECT_TRUE(O.Replace);
    EXPECT_EQ(O.ReplaceChar, '?');

    Port.SetDiscardNull(true);
    Port.SetEventChar('\r');
    O = Built(Port).Receive;
    EXPECT_TRUE(O.DiscardNull);
    EXPECT_EQ(O.EventChar, '\r');
    // Replacing bytes with a parity error needs their position: marked.
    EXPECT_EQ(Built(Port).Record.c_iflag & (INPCK | PARMRK | IGNPAR | IGNBRK), INPCK | PARMRK);
    EXPECT_TRUE(Built(Port).Receive.Marked);
    Port.Parity().SetReplace(false);  // counting is enough: the fast path again
    EXPECT_EQ(Built(Port).Record.c_iflag & (INPCK | PARMRK | IGNBRK), static_cast<uint32_t>(IGNBRK));
}
