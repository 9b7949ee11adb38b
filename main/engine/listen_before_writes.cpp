// SPDX-License-Identifier: MIT
// The listening before writes, from a line's speed.
#include "main/engine/listen_before_writes.h"

#include <algorithm>

namespace varnolink {

std::chrono::milliseconds ReplyLineTime(int Baud)
{
    const long long Bits = static_cast<long long>(LineBitsPerByte) * LongestReplyBytes * 1000;
    const long long Rate = std::max(Baud, 1);
    return std::chrono::milliseconds((Bits + Rate - 1) / Rate);
}

void ListenBeforeWrites(TChainPlan& Plan, int Baud)
{
    const std::chrono::milliseconds Listen = ReplyLineTime(Baud) + ModuleReplyLatency;
    Plan.ListenFirst = Listen;
    Plan.ListenLine = Listen;
    Plan.ListenMost = 3 * Listen;
}

}  // namespace varnolink
