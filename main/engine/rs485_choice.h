// SPDX-License-Identifier: MIT
// The RS-485 mode chosen for a session's line, from its text form.
#pragma once

#include <cstdint>
#include <string_view>

namespace varnolink {

// How the kernel drives the line's transceiver in RS-485 mode (see
// cport::TComRs485): the RTS level while sending and after, the delays
// around a transmission and whether the receiver stays on while sending.
struct TRs485Choice {
    bool RtsOnSend = true;
    bool RtsAfterSend = false;
    int32_t DelayBeforeSendMs = 0;
    int32_t DelayAfterSendMs = 0;
    bool RxDuringTx = false;
    bool operator==(const TRs485Choice&) const = default;
};

// Reads "rts-on-send[,rts-after-send][,delay-before=MS][,delay-after=MS]
// [,rx-during-tx]": items separated by commas, in any order, each at most
// once, at least one of the two RTS items (the RTS level is high while
// sending with rts-on-send and after sending with rts-after-send; an
// inverting transceiver takes rts-after-send alone). MS is a decimal
// number of milliseconds from 0 to 2147483647. Anything else throws
// std::invalid_argument with a message that names the offending item.
TRs485Choice ParseRs485Choice(std::string_view Text);

}  // namespace varnolink
