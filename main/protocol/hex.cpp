// SPDX-License-Identifier: MIT
// Two-digit hexadecimal texts of bytes, both ways; the reverse never fails.
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

constexpr char UpperHexDigits[] = "0123456789ABCDEF";

// Value of one hexadecimal digit; anything else counts as 0.
uint8_t NibbleOf(char Digit)
{
    if (Digit >= '0' && Digit <= '9')
        return static_cast<uint8_t>(Digit - '0');
    if (Digit >= 'A' && Digit <= 'F')
        return static_cast<uint8_t>(Digit - 'A' + 10);
    if (Digit >= 'a' && Digit <= 'f')
        return static_cast<uint8_t>(Digit - 'a' + 10);
    return 0;
}

}  // namespace

std::string HexByteToStr2(uint8_t Value)
{
    return {UpperHexDigits[Value >> 4], UpperHexDigits[Value & 0x0F]};
}

uint8_t HexStr2ToByte(std::string_view Text)
{
    const uint8_t High = Text.size() >= 1 ? NibbleOf(Text[0]) : 0;
    const uint8_t Low = Text.size() >= 2 ? NibbleOf(Text[1]) : 0;
    return static_cast<uint8_t>(High * 16 + Low);
}

}  // namespace varnolink
