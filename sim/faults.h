// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace varnolink::sim {

// Where injected noise goes relative to the reply it accompanies.
enum class NoisePlacement {
    kBeforeReply,  // noise, then the reply line
    kAfterReply,   // the reply line, then noise (it sits between two replies)
};

// Line noise sent with every reply: the explicit text first, then
// `randomBytes` bytes drawn from a generator seeded with `seed`. Random bytes
// are never "*" (which would start a line at the host) nor a carriage return
// (which would make the host decode its old line again); put either into
// `text` to inject it on purpose.
struct NoiseFault {
    std::string text;
    std::size_t randomBytes = 0;
    NoisePlacement placement = NoisePlacement::kBeforeReply;
    std::uint32_t seed = 1;

    bool Active() const { return !text.empty() || randomBytes > 0; }
    bool operator==(const NoiseFault&) const = default;
};

// Shapes of a wrong reply line, each made from the real reply line.
enum class MalformedKind {
    kNone,
    kTooShort,        // the last character before the line end removed
    kTooLong,         // one "0" added before the line end
    kBadCheckText,    // ":" after the address replaced by ";"
    kBadAddress,      // "??" replaced by "01"
    kNonDecimalCode,  // command code replaced by "0A"
    kText,            // MalformedFault::text sent as it is (give its own line end)
};

enum class MalformedPlacement {
    kBeforeReply,  // the wrong line, then the real reply
    kInsteadOfReply,
};

struct MalformedFault {
    MalformedKind kind = MalformedKind::kNone;
    MalformedPlacement placement = MalformedPlacement::kBeforeReply;
    std::string text;  // used by MalformedKind::kText only

    bool Active() const { return kind != MalformedKind::kNone; }
    bool operator==(const MalformedFault&) const = default;
};

// Misbehaviour of the simulated module. A default-constructed Faults is a
// well-behaved module. All of them only change what goes out on the line:
// the request record and the stored settings are kept as usual (a write that
// is not answered because of a fault is still stored).
struct Faults {
    // Give no reply to the Nth request and every one after it (1 = silent
    // from the start; 0 = off). Requests count from the moment these faults
    // were set (for the constructor's faults: from the start).
    std::size_t silentFromRequest = 0;
    // Give no reply to requests with these command codes (0..13, 99).
    std::set<int> silentCodes;
    // Hold every reply back by this long after its request has ended.
    std::chrono::milliseconds replyDelay{0};
    // Send everything that answers one request in pieces of this many bytes
    // (0 = in one piece), with `splitGap` of silence between the pieces.
    std::size_t splitPieceBytes = 0;
    std::chrono::milliseconds splitGap{0};
    NoiseFault noise;
    // Send the data field of 13-character replies in lower case ("a5", "ff").
    bool lowerCaseData = false;
    MalformedFault malformed;
    // Emulate the line time of this baud rate (0 = off), at 10 bits per
    // character: a reply starts no earlier than the arrival of its request's
    // first byte plus the request's length in character times, and its bytes
    // go out one character time apart.
    unsigned lineBaud = 0;

    bool operator==(const Faults&) const = default;
};

}  // namespace varnolink::sim
