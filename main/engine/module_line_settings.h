// SPDX-License-Identifier: MIT
#pragma once

#include "cport/comport.h"

namespace varnolink {

// The serial line as the module needs it: 9600 baud, 8 data bits, no
// parity, one stop bit, no flow control, modem lines off. The line events a
// port watches are left as they are: the window's ComPort1 watches them all,
// a port that a loop reads itself (session_port.h) none.
void ApplyModuleLineSettings(cport::TComPort& Port);

}  // namespace varnolink
