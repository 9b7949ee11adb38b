// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <string_view>

namespace varnolink {

// Remote baud rates the module can be set to; the protocol carries the index
// into this list (code 3), the window lists the texts in this order.
inline constexpr std::array<std::string_view, 8> BaudRateEntries{"1200",  "2400",  "4800",  "9600",
                                                                 "19200", "38400", "57600", "115200"};

inline constexpr int BaudRateEntryCount = static_cast<int>(BaudRateEntries.size());

}  // namespace varnolink
