// SPDX-License-Identifier: MIT
// termios2 access for the simulator; <asm/termbits.h> clashes with
// <termios.h>, so it has a file of its own.
#include "sim/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace varnolink::sim {

unsigned LineOutputSpeed(int Fd)
{
    termios2 Settings{};
    if (::ioctl(Fd, TCGETS2, &Settings) != 0)
        return 0;
    switch (Settings.c_cflag & CBAUD) {
    case BOTHER:
        return Settings.c_ospeed;
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return Settings.c_ospeed;
    }
}

}  // namespace varnolink::sim
