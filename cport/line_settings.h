// SPDX-License-Identifier: MIT
// Internal: how the line settings of a port become the device's termios
// record, the state of its DTR and RTS outputs and the decoding options of
// its receive queue.
//
// BuildLineSetup works on the settings alone, so the mapping can be checked
// without a device. The record is raw: no echo, no canonical input, no
// signals, no output processing, no CR/LF translation, no stripping of the
// eighth bit, no end-of-file character; VMIN 1 and VTIME 0 with a
// non-blocking descriptor, so that EAGAIN means "nothing waiting" and a read
// of 0 bytes means the far end has hung up. CLOCAL and CREAD are set, HUPCL
// is cleared (closing does not drop DTR behind the settings' back).
//
// Received errors: with Parity.Check and Parity.Replace, INPCK and PARMRK are
// on and IGNPAR, IGNBRK and BRKINT off, so the kernel marks a byte received
// with a parity or framing error, a break and a literal 0xFF in the byte
// stream; the receive queue decodes the marks and replaces such bytes by
// Parity.ReplaceChar. Otherwise only IGNBRK is set: bytes pass as received,
// breaks add none, and the driver's error counts report the errors, which
// keeps the kernel on its raw input fast path. Parity.Check decides whether
// parity errors are reported (TakeLineErrors).
//
// Mapping:
//   BaudRate / CustomBaudRate  any rate through termios2/BOTHER, read back;
//                              a rate the driver does not take is refused
//   DataBits                   CS5 .. CS8
//   Parity.Bits                prOdd PARENB|PARODD, prEven PARENB,
//                              prMark PARENB|CMSPAR|PARODD, prSpace PARENB|CMSPAR
//   StopBits                   sbTwoStopBits CSTOPB (not with 5 data bits);
//                              sbOne5StopBits CSTOPB with 5 data bits only (a
//                              UART sends 1.5 stop bits for CS5|CSTOPB); other
//                              combinations are refused
//   OutCTSFlow, rtsHandshake   CRTSCTS (Linux couples CTS output flow and RTS
//                              input handshake in this one flag)
//   XonXoffOut / XonXoffIn     IXON / IXOFF, XonChar VSTART, XoffChar VSTOP
//   ControlDTR                 dtrDisable off, dtrEnable on, dtrHandshake on
//                              (Linux has no DTR input handshake)
//   ControlRTS                 rtsDisable off, rtsEnable on, rtsHandshake on and
//                              driven by CRTSCTS, rtsToggle off (Linux has no
//                              RTS toggling in the termios interface)
//   DiscardNull, EventChar     applied by the receive queue: NUL bytes dropped,
//                              the event character noted for evRxFlag
//
// Settings Linux has no counterpart for are accepted and stored:
//   OutDSRFlow         no DSR output flow control; transmission ignores DSR
//   DSRSensitivity     received bytes are kept whatever the state of DSR
//   TxContinueOnXoff   Linux always goes on transmitting after it has sent
//                      XOFF itself, which is the behaviour of True
//   XonLim / XoffLim   (Buffer.InputSize / 4) the kernel's line discipline
//                      throttles input at its own fixed marks
//   Buffer sizes       the kernel's queues are fixed; InputSize sets the 80 %
//                      mark of the port's receive queue (see receive_queue.h)
#pragma once

#include "cport/comport.h"
#include "cport/custom_baud.h"
#include "cport/receive_queue.h"

#include <cstdint>

namespace cport {

struct TLineSetup {
    TKernelTermios Record;  // rate in c_ispeed/c_ospeed, CBAUD bits clear
    bool DtrOn = false;
    bool RtsOn = false;
    TReceiveOptions Receive;
};

// Raises EComPort code 7 with EINVAL for a rate of 0 or less and for a stop
// bit setting the character size does not allow. Current supplies the line
// discipline number, which the record keeps.
TLineSetup BuildLineSetup(const TCustomComPort& Port, const TKernelTermios& Current);

// The bit rate the settings name: CustomBaudRate for brCustom.
int32_t LineRateOf(const TCustomComPort& Port);

}  // namespace cport
