// SPDX-License-Identifier: MIT
#include "cport/text_parsing.h"

namespace cport {

namespace {

int HexDigitValue(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<int32_t> ParseInteger(std::string_view Text)
{
    size_t I = 0;
    while (I < Text.size() && Text[I] == ' ')
        ++I;

    bool Negative = false;
    if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) {
        Negative = Text[I] == '-';
        ++I;
    }

    bool Hex = false;
    if (I < Text.size() && (Text[I] == '$' || Text[I] == 'x' || Text[I] == 'X')) {
        Hex = true;
        ++I;
    } else if (I + 1 < Text.size() && Text[I] == '0' && (Text[I + 1] == 'x' || Text[I + 1] == 'X')) {
        Hex = true;
        I += 2;
    }
    if (I == Text.size())
        return std::nullopt;  // no digits

    // Accumulated in 64 bits and checked after every digit, so long inputs
    // cannot overflow.
    const uint64_t Limit = Hex ? 0xFFFFFFFFull : (Negative ? 0x80000000ull : 0x7FFFFFFFull);
    const unsigned Base = Hex ? 16 : 10;
    uint64_t Value = 0;
    for (; I < Text.size(); ++I) {
        const int Digit = Hex ? HexDigitValue(Text[I]) : (Text[I] >= '0' && Text[I] <= '9' ? Text[I] - '0' : -1);
        if (Digit < 0)
            return std::nullopt;
        Value = Value * Base + static_cast<unsigned>(Digit);
        if (Value > Limit)
            return std::nullopt;
    }

    // Two's complement wrap of the 32-bit pattern, then the sign.
    const uint32_t Bits = static_cast<uint32_t>(Value);
    const uint32_t Result = Negative ? 0u - Bits : Bits;
    return static_cast<int32_t>(Result);
}

}  // namespace cport
