// SPDX-License-Identifier: MIT
// Internal: the standard integer parser shared by CharFromText and the INI
// file's ReadInteger.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace cport {

// Reads the whole of Text as a 32-bit integer: leading blanks, then an
// optional sign, then decimal digits, or hexadecimal digits after "$", "x",
// "X", "0x" or "0X". Nothing may follow the digits. Decimal values must lie
// in the signed 32-bit range; hexadecimal ones may use all 32 bits
// ("$FFFFFFFF" is -1). Anything else gives no value.
std::optional<int32_t> ParseInteger(std::string_view Text);

}  // namespace cport
