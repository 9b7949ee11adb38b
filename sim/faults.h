// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace varnolink::sim {

// Where injected noise goes relative to the reply it accompanies.
enum class TNoisePlacement {
    BeforeReply,  // noise, then the reply line
    AfterReply,   // the reply line, then noise (it sits between two replies)
};

// Line noise sent with every reply: the explicit text first, then
// `RandomBytes` bytes drawn from a generator seeded with `seed`. Random bytes
// are never "*" (which would start a line at the host) nor a carriage return
// (which would make the host decode its old line again); put either into
// `text` to inject it on purpose.
struct TNoiseFault {
    std::string Text;
    std::size_t RandomBytes = 0;
    TNoisePlacement Placement = TNoisePlacement::BeforeReply;
    std::uint32_t Seed = 1;

    bool Active() const { return !Text.empty() || RandomBytes > 0; }
    bool operator==(const TNoiseFault&) const = default;
};

// Shapes of a wrong reply line, each made from the real reply line.
enum class TMalformedKind {
    None,
    TooShort,        // the last character before the line end removed
    TooLong,         // one "0" added before the line end
    BadCheckText,    // ":" after the address replaced by ";"
    BadAddress,      // "??" replaced by "01"
    NonDecimalCode,  // command code replaced by "0A"
    Text,            // TMalformedFault::text sent as it is (give its own line end)
};

enum class TMalformedPlacement {
    BeforeReply,  // the wrong line, then the real reply
    InsteadOfReply,
};

struct TMalformedFault {
    TMalformedKind Kind = TMalformedKind::None;
    TMalformedPlacement Placement = TMalformedPlacement::BeforeReply;
    std::string Text;  // used by TMalformedKind::Text only

    bool Active() const { return Kind != TMalformedKind::None; }
    bool operator==(const TMalformedFault&) const = default;
};

// Misbehaviour of the simulated module. A default-constructed TFaults is a
// well-behaved module. All of them but `UnstoredCodes` only change what goes
// out on the line: the request record and the stored settings are kept as
// usual (a write that is not answered because of a fault is still stored).
struct TFaults {
    // Give no reply to the Nth request and every one after it (1 = silent
    // from the start; 0 = off). Requests count from the moment these faults
    // were set (for the constructor's faults: from the start).
    std::size_t SilentFromRequest = 0;
    // Give no reply to requests with these command codes (0..13, 99).
    std::set<int> SilentCodes;
    // Writes to these command codes are answered as if stored (the value
    // echoed) but the module keeps what it held, as a module whose memory
    // does not take them: only a read-back shows it.
    std::set<int> UnstoredCodes;
    // Hold every reply back by this long after its request has ended.
    std::chrono::milliseconds ReplyDelay{0};
    // Send everything that answers one request in pieces of this many bytes
    // (0 = in one piece), with `SplitGap` of silence between the pieces.
    std::size_t SplitPieceBytes = 0;
    std::chrono::milliseconds SplitGap{0};
    TNoiseFault Noise;
    // Send the data field of 13-character replies in lower case ("a5", "ff").
    bool LowerCaseData = false;
    TMalformedFault Malformed;
    // Emulate the line time of this baud rate (0 = off), at 10 bits per
    // character: a reply starts no earlier than the arrival of its request's
    // first byte plus the request's length in character times, and its bytes
    // go out one character time apart.
    unsigned LineBaud = 0;
    // The line sends every byte the host writes straight back to the host,
    // as a two-wire adapter that hears its own transmitter does: the bytes
    // exactly as received, frames or not, at once (ahead of any reply still
    // waiting to go out).
    bool Echo = false;
    // A second module answers every answered request too: right after the
    // module's transmission comes the twin's reply line. The twin holds the
    // module's state with the Remote ID one higher (FF wraps to 00), so its
    // reply to a Remote ID read differs and every other reply is the same.
    // Only the module's own reply is shaped by the faults above; the twin's
    // line is plain. The twin is silent whenever the module is.
    bool Twin = false;
    // With `Twin`: both drive the line at once, so the bytes of the twin's
    // line alternate with the module's transmission, one by one (the rest of
    // the longer one follows).
    bool TwinOverlap = false;
    // With `Twin` (not overlapping): the twin's line follows the module's
    // transmission this long after it, as a second module slower to answer;
    // a request that comes meanwhile is answered after the twin's line.
    std::chrono::milliseconds TwinDelay{0};

    bool operator==(const TFaults&) const = default;
};

}  // namespace varnolink::sim
