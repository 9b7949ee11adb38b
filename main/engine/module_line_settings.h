// SPDX-License-Identifier: MIT
#pragma once

#include "cport/comport.h"
#include "main/engine/rs485_choice.h"

#include <optional>

namespace varnolink {

// The serial line as the module needs it: 9600 baud, 8 data bits, no
// parity, one stop bit, no flow control, modem lines off. The line events a
// port watches are left as they are: the window's ComPort1 watches them all,
// a port that a loop reads itself (session_port.h) none.
//
// Rs485 puts the line in the kernel's RS-485 mode as chosen for the session
// (the driver then drives RTS); none leaves the mode off, and a port that
// never had it on sends the device nothing for it. On an open port the mode
// changes at once; a device without the mode refuses it (cport::EComPort,
// at Open or here).
void ApplyModuleLineSettings(cport::TComPort& Port, const std::optional<TRs485Choice>& Rs485 = std::nullopt);

// The port's setting for a line rate in baud (one of the module's rates,
// already checked where it was given); 9600 for a rate the port has no
// setting for.
cport::TBaudRate ModuleLineRate(int Baud);

}  // namespace varnolink
