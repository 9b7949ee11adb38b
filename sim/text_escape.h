// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace varnolink::sim {

// Bytes as one printable line: printable ASCII stays, backslash becomes
// "\\", CR "\r", LF "\n", TAB "\t", every other byte "\xHH".
std::string EscapeBytes(std::string_view Bytes);

// The reverse, for texts given on the command line: understands "\\", "\r",
// "\n", "\t", "\0" and "\xHH" (exactly two hex digits). Throws
// std::invalid_argument on any other escape or a trailing backslash.
std::string UnescapeText(std::string_view Text);

// The value of a hexadecimal digit of either case, or -1.
int HexDigitValue(char C);

}  // namespace varnolink::sim
