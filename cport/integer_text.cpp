// SPDX-License-Identifier: MIT
#include "cport/integer_text.h"

namespace cport {

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<int32_t> ParseInteger(std::string_view Text) {
    size_t i = 0;
    while (i < Text.size() && Text[i] == ' ') ++i;

    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
        negative = Text[i] == '-';
        ++i;
    }

    bool hex = false;
    if (i < Text.size() && (Text[i] == '$' || Text[i] == 'x' || Text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < Text.size() && Text[i] == '0' && (Text[i + 1] == 'x' || Text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == Text.size()) return std::nullopt;   // no digits

    // Accumulated in 64 bits and checked after every digit, so long inputs
    // cannot overflow.
    const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    const unsigned base = hex ? 16 : 10;
    uint64_t value = 0;
    for (; i < Text.size(); ++i) {
        const int digit = hex ? HexDigitValue(Text[i])
                              : (Text[i] >= '0' && Text[i] <= '9' ? Text[i] - '0' : -1);
        if (digit < 0) return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
        if (value > limit) return std::nullopt;
    }

    // Two's complement wrap of the 32-bit pattern, then the sign.
    const uint32_t bits = static_cast<uint32_t>(value);
    const uint32_t result = negative ? 0u - bits : bits;
    return static_cast<int32_t>(result);
}

}  // namespace cport
