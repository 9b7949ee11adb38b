// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varnolink {

// A byte as two upper-case hexadecimal digits, high nibble first ("0A", "FF").
std::string HexByteToStr2(uint8_t Value);

// Two hexadecimal digits back to a byte. The first character is the high
// nibble, the second the low nibble; either digit counts as 0 when it is
// missing or not one of 0-9, A-F, a-f. Characters after the second are
// ignored, so the conversion never fails ("5" -> 0x50, "G1" -> 0x01).
uint8_t HexStr2ToByte(std::string_view Text);

}  // namespace varnolink
