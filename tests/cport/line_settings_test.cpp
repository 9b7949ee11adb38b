// SPDX-License-Identifier: MIT
// The termios record, the DTR/RTS states and the receive options built from
// a port's settings (no device involved).
#include "cport/line_settings.h"

#include <gtest/gtest.h>

#include <termios.h>

using namespace cport;

namespace {

TLineSetup Built(const TComPort& Port) { return BuildLineSetup(Port, TKernelTermios{}); }

int32_t RefusalCode(const TComPort& Port) {
    try {
        Built(Port);
    } catch (const EComPort& e) {
        EXPECT_EQ(e.SystemErrorCode(), EINVAL);
        return e.ErrorCode();
    }
    return 0;
}

}  // namespace

TEST(LineSettings, InitialSettingsGiveARaw8N1LineAt9600) {
    TComPort port;
    const TLineSetup s = Built(port);
    const TKernelTermios& r = s.Record;
    EXPECT_EQ(r.c_iflag, static_cast<uint32_t>(IGNBRK));   // the kernel's raw fast path
    EXPECT_FALSE(s.Receive.Marked);
    EXPECT_EQ(r.c_oflag, 0u);
    EXPECT_EQ(r.c_lflag, 0u);
    EXPECT_EQ(r.c_cflag, static_cast<uint32_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(r.c_ispeed, 9600u);
    EXPECT_EQ(r.c_ospeed, 9600u);
    EXPECT_EQ(r.c_cc[VMIN], 1);
    EXPECT_EQ(r.c_cc[VTIME], 0);
    EXPECT_EQ(r.c_cc[VSTART], 17);
    EXPECT_EQ(r.c_cc[VSTOP], 19);
    EXPECT_EQ(r.c_cc[VINTR], 0);   // no signal, erase or end-of-file characters
    EXPECT_EQ(r.c_cc[VEOF], 0);
    EXPECT_FALSE(s.DtrOn);
    EXPECT_FALSE(s.RtsOn);
}

TEST(LineSettings, LineDisciplineOfTheDeviceIsKept) {
    TComPort port;
    TKernelTermios current;
    current.c_line = 2;
    current.c_iflag = ICRNL | IXANY | ISTRIP;
    current.c_lflag = ECHO | ICANON;
    const TLineSetup s = BuildLineSetup(port, current);
    EXPECT_EQ(s.Record.c_line, 2);
    EXPECT_EQ(s.Record.c_iflag, static_cast<uint32_t>(IGNBRK));
    EXPECT_EQ(s.Record.c_lflag, 0u);
}

TEST(LineSettings, EveryRateMapsToItsNumber) {
    const struct {
        TBaudRate rate;
        uint32_t bps;
    } cases[] = {{br110, 110},       {br300, 300},       {br600, 600},       {br1200, 1200},
                 {br2400, 2400},     {br4800, 4800},     {br9600, 9600},     {br14400, 14400},
                 {br19200, 19200},   {br38400, 38400},   {br56000, 56000},   {br57600, 57600},
                 {br115200, 115200}, {br128000, 128000}, {br256000, 256000}};
    TComPort port;
    for (const auto& c : cases) {
        port.SetBaudRate(c.rate);
        EXPECT_EQ(Built(port).Record.c_ospeed, c.bps) << int(c.rate);
    }
    port.SetBaudRate(brCustom);
    EXPECT_EQ(Built(port).Record.c_ospeed, 9600u);   // CustomBaudRate's initial value
    port.SetCustomBaudRate(12345);
    EXPECT_EQ(Built(port).Record.c_ospeed, 12345u);
    EXPECT_EQ(Built(port).Record.c_cflag & CBAUD, 0u);   // the rate travels in c_ospeed
    port.SetCustomBaudRate(0);
    EXPECT_EQ(RefusalCode(port), 7);
    port.SetCustomBaudRate(-9600);
    EXPECT_EQ(RefusalCode(port), 7);
}

TEST(LineSettings, CharacterSizeAndParity) {
    const struct {
        TDataBits bits;
        tcflag_t size;
    } sizes[] = {{dbFive, CS5}, {dbSix, CS6}, {dbSeven, CS7}, {dbEight, CS8}};
    const struct {
        TParityBits parity;
        tcflag_t flags;
    } parities[] = {{prNone, 0},
                    {prOdd, PARENB | PARODD},
                    {prEven, PARENB},
                    {prMark, PARENB | CMSPAR | PARODD},
                    {prSpace, PARENB | CMSPAR}};
    TComPort port;
    for (const auto& size : sizes) {
        for (const auto& parity : parities) {
            port.SetDataBits(size.bits);
            port.Parity().SetBits(parity.parity);
            const TLineSetup s = Built(port);
            EXPECT_EQ(s.Record.c_cflag & CSIZE, size.size);
            EXPECT_EQ(s.Record.c_cflag & (PARENB | PARODD | CMSPAR), parity.flags);
            EXPECT_EQ(s.Receive.ParityEnabled, parity.parity != prNone);
        }
    }
}

TEST(LineSettings, StopBitsAsAUartSendsThem) {
    const struct {
        TStopBits stop;
        TDataBits data;
        bool accepted;
        bool cstopb;
    } cases[] = {
        {sbOneStopBit, dbFive, true, false},    {sbOneStopBit, dbEight, true, false},
        {sbOne5StopBits, dbFive, true, true},   {sbOne5StopBits, dbSix, false, false},
        {sbOne5StopBits, dbEight, false, false}, {sbTwoStopBits, dbFive, false, false},
        {sbTwoStopBits, dbSix, true, true},     {sbTwoStopBits, dbEight, true, true},
    };
    for (const auto& c : cases) {
        TComPort port;
        port.SetStopBits(c.stop);
        port.SetDataBits(c.data);
        if (!c.accepted) {
            EXPECT_EQ(RefusalCode(port), 7) << int(c.stop) << "/" << int(c.data);
            continue;
        }
        EXPECT_EQ((Built(port).Record.c_cflag & CSTOPB) != 0, c.cstopb) << int(c.stop) << "/" << int(c.data);
    }
}

TEST(LineSettings, FlowControlFlagsAndOutputLines) {
    TComPort port;
    TComFlowControl& flow = port.FlowControl();

    flow.SetFlowControl(fcHardware);
    TLineSetup s = Built(port);
    EXPECT_NE(s.Record.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(s.Record.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_TRUE(s.RtsOn);

    flow.SetFlowControl(fcSoftware);
    flow.SetXonChar('a');
    flow.SetXoffChar('b');
    s = Built(port);
    EXPECT_EQ(s.Record.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(s.Record.c_iflag & (IXON | IXOFF), IXON | IXOFF);
    EXPECT_EQ(s.Record.c_cc[VSTART], 'a');
    EXPECT_EQ(s.Record.c_cc[VSTOP], 'b');
    EXPECT_FALSE(s.RtsOn);

    flow.SetFlowControl(fcNone);
    flow.SetXonXoffOut(true);
    EXPECT_EQ(Built(port).Record.c_iflag & (IXON | IXOFF), IXON);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(true);
    EXPECT_EQ(Built(port).Record.c_iflag & (IXON | IXOFF), IXOFF);
    flow.SetXonXoffIn(false);

    flow.SetOutCTSFlow(true);   // CTS output flow alone also needs CRTSCTS
    EXPECT_NE(Built(port).Record.c_cflag & CRTSCTS, 0u);
    flow.SetOutCTSFlow(false);

    // Settings without a Linux counterpart change nothing in the record.
    const TKernelTermios plain = Built(port).Record;
    flow.SetOutDSRFlow(true);
    flow.SetDSRSensitivity(true);
    flow.SetTxContinueOnXoff(true);
    const TKernelTermios same = Built(port).Record;
    EXPECT_EQ(same.c_iflag, plain.c_iflag);
    EXPECT_EQ(same.c_cflag, plain.c_cflag);

    const struct {
        TDTRFlowControl dtr;
        bool on;
    } dtrs[] = {{dtrDisable, false}, {dtrEnable, true}, {dtrHandshake, true}};
    for (const auto& d : dtrs) {
        flow.SetControlDTR(d.dtr);
        EXPECT_EQ(Built(port).DtrOn, d.on) << int(d.dtr);
    }
    const struct {
        TRTSFlowControl rts;
        bool on;
        bool crtscts;
    } rtss[] = {{rtsDisable, false, false},
                {rtsEnable, true, false},
                {rtsHandshake, true, true},
                {rtsToggle, false, false}};
    for (const auto& r : rtss) {
        flow.SetControlRTS(r.rts);
        s = Built(port);
        EXPECT_EQ(s.RtsOn, r.on) << int(r.rts);
        EXPECT_EQ((s.Record.c_cflag & CRTSCTS) != 0, r.crtscts) << int(r.rts);
    }
}

TEST(LineSettings, ReceiveOptionsFollowParityCheckReplaceDiscardNullAndEventChar) {
    TComPort port;
    TReceiveOptions o = Built(port).Receive;
    EXPECT_FALSE(o.ParityCheck);
    EXPECT_FALSE(o.Replace);
    EXPECT_FALSE(o.DiscardNull);
    EXPECT_EQ(o.EventChar, 0);

    port.Parity().SetReplace(true);
    port.Parity().SetReplaceChar('?');
    EXPECT_FALSE(Built(port).Receive.Replace);   // replacing needs the check
    port.Parity().SetCheck(true);
    o = Built(port).Receive;
    EXPECT_TRUE(o.ParityCheck);
    EXPECT_TRUE(o.Replace);
    EXPECT_EQ(o.ReplaceChar, '?');

    port.SetDiscardNull(true);
    port.SetEventChar('\r');
    o = Built(port).Receive;
    EXPECT_TRUE(o.DiscardNull);
    EXPECT_EQ(o.EventChar, '\r');
    // Replacing bytes with a parity error needs their position: marked.
    EXPECT_EQ(Built(port).Record.c_iflag & (INPCK | PARMRK | IGNPAR | IGNBRK), INPCK | PARMRK);
    EXPECT_TRUE(Built(port).Receive.Marked);
    port.Parity().SetReplace(false);   // counting is enough: the fast path again
    EXPECT_EQ(Built(port).Record.c_iflag & (INPCK | PARMRK | IGNBRK), static_cast<uint32_t>(IGNBRK));
}
