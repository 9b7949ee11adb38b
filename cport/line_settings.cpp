// SPDX-License-Identifier: MIT
// The termios record built from a port's line settings.
#include "cport/line_settings.h"

#include <termios.h>

#include <cerrno>

namespace cport {

namespace {

static_assert(VMIN < kKernelNccs && VTIME < kKernelNccs && VSTART < kKernelNccs &&
              VSTOP < kKernelNccs);

tcflag_t CharacterSize(TDataBits Bits) {
    switch (Bits) {
    case dbFive: return CS5;
    case dbSix: return CS6;
    case dbSeven: return CS7;
    case dbEight: return CS8;
    }
    return CS8;
}

tcflag_t ParityFlags(TParityBits Bits) {
    switch (Bits) {
    case prNone: return 0;
    case prOdd: return PARENB | PARODD;
    case prEven: return PARENB;
    case prMark: return PARENB | CMSPAR | PARODD;
    case prSpace: return PARENB | CMSPAR;
    }
    return 0;
}

// One and a half stop bits exist only for five data bits and two only for
// more, as a UART sends them.
tcflag_t StopBitFlags(TStopBits Stop, TDataBits Data) {
    switch (Stop) {
    case sbOneStopBit: return 0;
    case sbOne5StopBits:
        if (Data == dbFive) return CSTOPB;
        break;
    case sbTwoStopBits:
        if (Data != dbFive) return CSTOPB;
        break;
    }
    throw EComPort(CError_SetStateFailed, EINVAL);
}

}  // namespace

int32_t LineRateOf(const TCustomComPort& Port) {
    return Port.BaudRate() == brCustom ? Port.CustomBaudRate() : BaudRateToInt(Port.BaudRate());
}

TLineSetup BuildLineSetup(const TCustomComPort& Port, const TKernelTermios& Current) {
    const int32_t rate = LineRateOf(Port);
    if (rate <= 0) throw EComPort(CError_SetStateFailed, EINVAL);

    const TComFlowControl& flow = Port.FlowControl();
    const TComParity& parity = Port.Parity();
    TLineSetup setup;
    TKernelTermios& r = setup.record;

    // Errors are marked in the stream only when a setting needs their
    // position in the data; otherwise the driver's counts report them and
    // the kernel keeps its raw input fast path (breaks add no byte).
    setup.receive.marked = parity.Check() && parity.Replace();
    r.c_iflag = setup.receive.marked ? (INPCK | PARMRK) : IGNBRK;
    if (flow.XonXoffOut()) r.c_iflag |= IXON;
    if (flow.XonXoffIn()) r.c_iflag |= IXOFF;
    r.c_oflag = 0;
    r.c_lflag = 0;
    r.c_cflag = CREAD | CLOCAL | CharacterSize(Port.DataBits()) | ParityFlags(parity.Bits()) |
                StopBitFlags(Port.StopBits(), Port.DataBits());
    if (flow.OutCTSFlow() || flow.ControlRTS() == rtsHandshake) r.c_cflag |= CRTSCTS;
    r.c_line = Current.c_line;
    r.c_cc[VMIN] = 1;
    r.c_cc[VTIME] = 0;
    r.c_cc[VSTART] = static_cast<uint8_t>(flow.XonChar());
    r.c_cc[VSTOP] = static_cast<uint8_t>(flow.XoffChar());
    r.c_ispeed = static_cast<uint32_t>(rate);
    r.c_ospeed = static_cast<uint32_t>(rate);

    setup.dtr_on = flow.ControlDTR() != dtrDisable;
    setup.rts_on = flow.ControlRTS() == rtsEnable || flow.ControlRTS() == rtsHandshake;

    setup.receive.parity_enabled = parity.Bits() != prNone;
    setup.receive.parity_check = parity.Check();
    setup.receive.replace = parity.Check() && parity.Replace();
    setup.receive.replace_char = parity.ReplaceChar();
    setup.receive.discard_null = Port.DiscardNull();
    setup.receive.event_char = Port.EventChar();
    return setup;
}

}  // namespace cport
