// SPDX-License-Identifier: MIT
// Internal: the byte-wise text checks and the integer parser that the
// settings' text forms and the two stores share. Only ASCII letters have a
// case here, whatever the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace cport {

inline char UpperAscii(char C)
{
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
}

inline bool EqualIgnoringAsciiCase(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
        return false;
    for (size_t Index = 0; Index < A.size(); ++Index)
        if (UpperAscii(A[Index]) != UpperAscii(B[Index]))
            return false;
    return true;
}

// What one line of a store file cannot carry.
inline bool HasLineBreakOrNul(std::string_view Text)
{
    return Text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Reads the whole of Text as a 32-bit integer: leading blanks, then an
// optional sign, then decimal digits, or hexadecimal digits after "$", "x",
// "X", "0x" or "0X". Nothing may follow the digits. Decimal values must lie
// in the signed 32-bit range; hexadecimal ones may use all 32 bits
// ("$FFFFFFFF" is -1). Anything else gives no value.
std::optional<int32_t> ParseInteger(std::string_view Text);

}  // namespace cport
