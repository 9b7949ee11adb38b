// SPDX-License-Identifier: MIT
#pragma once

namespace varnolink::sim {

// The speed a serial line sends at, in baud, read with the kernel's termios2
// so that a rate set as a number (BOTHER) reads as well as one set by its
// B constant; 0 when it cannot be read.
unsigned LineOutputSpeed(int Fd);

}  // namespace varnolink::sim
