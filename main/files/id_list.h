// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace varnolink {

// A list of Remote IDs as the operator types it: hexadecimal IDs of one or
// two digits and ranges of them, separated by commas, spaces allowed around
// each item: "01-1F", "01-05, 08, 10-12". The IDs come back in the order
// given, each range from its first to its last ID.
class EIDList : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Throws EIDList naming the item at fault: an empty list or item, a digit
// that is not hexadecimal, a range that runs backwards, an ID given twice.
std::vector<uint8_t> ParseIDList(std::string_view Text);

}  // namespace varnolink
