// SPDX-License-Identifier: MIT
// How long a chain listens to a quiet line before its first write, from the
// line's speed.
#pragma once

#include <chrono>

#include "main/engine/chain_session.h"

namespace varnolink {

// The bits a byte takes on the module's line: start, eight data, stop.
inline constexpr int LineBitsPerByte = 10;
// The longest reply on the line: the identity line with its CR and an LF.
inline constexpr int LongestReplyBytes = 32;
// How soon a module begins its reply once a request has ended, as a host
// sees it: the module's own turn-around and a USB adapter that holds
// received bytes for up to 16 ms.
inline constexpr std::chrono::milliseconds ModuleReplyLatency{20};

// The time of the longest reply at Baud, rounded up to a millisecond.
std::chrono::milliseconds ReplyLineTime(int Baud);

// Sets the plan's listening before its first request at Baud: one whole
// reply line plus the module's latency, so that a second module's late
// answer to the request before is heard; bytes heard extend it by the same
// again from the last of them, up to three times it in all.
void ListenBeforeWrites(TChainPlan& Plan, int Baud);

}  // namespace varnolink
