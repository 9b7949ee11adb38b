// SPDX-License-Identifier: MIT
#pragma once

#include "cport/comport.h"

// The serial line as the module needs it: 9600 baud, 8 data bits, no
// parity, one stop bit, no flow control, modem lines off, every line event
// reported. The window's ComPort1 and the connection object both use it.
void ApplyModuleLineSettings(cport::TComPort& Port);
