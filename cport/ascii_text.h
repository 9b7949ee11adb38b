// SPDX-License-Identifier: MIT
// Internal: the byte-wise text checks that the settings' text forms and the
// two stores share. Only ASCII letters have a case here, whatever the locale.
#pragma once

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

}  // namespace cport
