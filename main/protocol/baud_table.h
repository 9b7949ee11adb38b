// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace varnolink {

// Remote baud rates the module can be set to; the protocol carries the index
// into this list (code 3), the window lists the texts in this order.
inline constexpr std::array<std::string_view, 8> BaudRateEntries{"1200",  "2400",  "4800",  "9600",
                                                                 "19200", "38400", "57600", "115200"};

inline constexpr int BaudRateEntryCount = static_cast<int>(BaudRateEntries.size());

// The same rates as numbers: what the tool carries from the file or the
// command line to the request, where the index goes on the wire.
inline constexpr std::array<int, 8> BaudRates{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

constexpr std::optional<int> BaudRateOfIndex(int Index)
{
    if (Index < 0 || Index >= BaudRateEntryCount)
        return std::nullopt;
    return BaudRates[static_cast<std::size_t>(Index)];
}

constexpr std::optional<int> BaudIndexOfRate(int Rate)
{
    for (int Index = 0; Index < BaudRateEntryCount; ++Index)
        if (BaudRates[static_cast<std::size_t>(Index)] == Rate)
            return Index;
    return std::nullopt;
}

}  // namespace varnolink
