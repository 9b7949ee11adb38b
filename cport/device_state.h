// Internal: what a TCustomComPort holds while its device is open, shared by
// the device layer (open/close, settings, transfers, queries) and the event
// thread. Not part of the public interface.
#pragma once

#include "cport/comport.h"
#include "cport/receive_queue.h"
#include "cport/unique_fd.h"

#include <termios.h>

namespace cport {

struct TCustomComPort::TDeviceState {
    UniqueFd fd;          // the open device (O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC, flock'ed)
    UniqueFd abort_fd;    // eventfd: AbortPendingIO makes every pending wait end
    UniqueFd tx_fd;       // eventfd: signalled after each write (evTxEmpty detection)
    termios original{};   // restored at close
    bool has_modem_lines = true;   // false once TIOCMGET/TIOCMIWAIT said ENOTTY/EINVAL
    TReceiveQueue rx;     // received bytes, decoded; every read of fd goes through it
};

}  // namespace cport
