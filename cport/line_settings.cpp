// SPDX-License-Identifier: MIT
// The termios record built from a port's line settings.
#include "cport/line_settings.h"

#include <termios.h>

#include <cerrno>

namespace cport {

namespace {

static_assert(VMIN < KernelNccs && VTIME < KernelNccs && VSTART < KernelNccs && VSTOP < KernelNccs);

tcflag_t CharacterSize(TDataBits Bits)
{
    switch (Bits) {
    case dbFive:
        return CS5;
    case dbSix:
        return CS6;
    case dbSeven:
        return CS7;
    case dbEight:
        return CS8;
    }
    return CS8;
}

tcflag_t ParityFlags(TParityBits Bits)
{
    switch (Bits) {
    case prNone:
        return 0;
    case prOdd:
        return PARENB | PARODD;
    case prEven:
        return PARENB;
    case prMark:
        return PARENB | CMSPAR | PARODD;
    case prSpace:
        return PARENB | CMSPAR;
    }
    return 0;
}

// One and a half stop bits exist only for five data bits and two only for
// more, as a UART sends them.
tcflag_t StopBitFlags(TStopBits Stop, TDataBits Data)
{
    switch (Stop) {
    case sbOneStopBit:
        return 0;
    case sbOne5StopBits:
        if (Data == dbFive)
            return CSTOPB;
        break;
    case sbTwoStopBits:
        if (Data != dbFive)
            return CSTOPB;
        break;
    }
    throw EComPort(CError_SetStateFailed, EINVAL);
}

}  // namespace

int32_t LineRateOf(const TCustomComPort& Port)
{
    return Port.BaudRate() == brCustom ? Port.CustomBaudRate() : BaudRateToInt(Port.BaudRate());
}

TLineSetup BuildLineSetup(const TCustomComPort& Port, const TKernelTermios& Current)
{
    const int32_t Rate = LineRateOf(Port);
    if (Rate <= 0)
        throw EComPort(CError_SetStateFailed, EINVAL);

    const TComFlowControl& Flow = Port.FlowControl();
    const TComParity& Parity = Port.Parity();
    TLineSetup Setup;
    TKernelTermios& R = Setup.Record;

    // Errors are marked in the stream only when a setting needs their
    // position in the data; otherwise the driver's counts report them and
    // the kernel keeps its raw input fast path (breaks add no byte).
    Setup.Receive.Marked = Parity.Check() && Parity.Replace();
    R.c_iflag = Setup.Receive.Marked ? (INPCK | PARMRK) : IGNBRK;
    if (Flow.XonXoffOut())
        R.c_iflag |= IXON;
    if (Flow.XonXoffIn())
        R.c_iflag |= IXOFF;
    R.c_oflag = 0;
    R.c_lflag = 0;
    R.c_cflag = CREAD | CLOCAL | CharacterSize(Port.DataBits()) | ParityFlags(Parity.Bits()) |
                StopBitFlags(Port.StopBits(), Port.DataBits());
    if (Flow.OutCTSFlow() || Flow.ControlRTS() == rtsHandshake)
        R.c_cflag |= CRTSCTS;
    R.c_line = Current.c_line;
    R.c_cc[VMIN] = 1;
    R.c_cc[VTIME] = 0;
    R.c_cc[VSTART] = static_cast<uint8_t>(Flow.XonChar());
    R.c_cc[VSTOP] = static_cast<uint8_t>(Flow.XoffChar());
    R.c_ispeed = static_cast<uint32_t>(Rate);
    R.c_ospeed = static_cast<uint32_t>(Rate);

    Setup.DtrOn = Flow.ControlDTR() != dtrDisable;
    Setup.RtsOn = Flow.ControlRTS() == rtsEnable || Flow.ControlRTS() == rtsHandshake;

    Setup.Receive.ParityEnabled = Parity.Bits() != prNone;
    Setup.Receive.ParityCheck = Parity.Check();
    Setup.Receive.Replace = Parity.Check() && Parity.Replace();
    Setup.Receive.ReplaceChar = Parity.ReplaceChar();
    Setup.Receive.DiscardNull = Port.DiscardNull();
    Setup.Receive.EventChar = Port.EventChar();
    return Setup;
}

}  // namespace cport
