// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varnolink {

// A request frame is "*", the two-digit command code, ":", the mode, ",",
// the argument, "=00", CR, LF. The argument is normally two characters; a
// shorter or longer one (an ID text of another length, a baud index that is
// not a single digit) changes the frame length by as much.
enum class TRequestMode : char { Read = '0', Write = '1' };

// Argument of every read request and of the store-setup-as-default request.
inline constexpr std::string_view NoArgument = "00";

std::string BuildRequestFrame(int Code, TRequestMode Mode, std::string_view Argument);

// A read request: mode "0", argument "00".
std::string BuildReadFrame(int Code);

// A write request: mode "1" and the given argument.
std::string BuildWriteFrame(int Code, std::string_view Argument);

// Argument of the baud-rate write: "0" followed by the decimal index
// (index 3 gives "03"; index -1, no entry selected, gives "0-1").
std::string BaudrateArgument(int Index);

// Argument of a port write: the byte as two upper-case hexadecimal digits.
std::string PortByteArgument(uint8_t Value);

}  // namespace varnolink
