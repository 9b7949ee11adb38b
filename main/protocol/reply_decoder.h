// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "main/protocol/port_table.h"

// Reply lines of the module, as the receive assembler hands them over: the
// last "*" and the printable characters after it, without the CR.
//
//   13 characters:  *??:Ecc,xx=dd          cc = code 1..13, dd = data
//   30 characters:  *??:E00,00=<name 13><x><version 5>   (identity, code 0)
//
// Positions 1, 4, 5, 8 and 11 must read "*:E,=" and positions 2-3 "??";
// positions 9-10 are examined only in the identity line.
inline constexpr std::size_t CodeReplyLength = 13;
inline constexpr std::size_t IdentityReplyLength = 30;

struct TIdentityReply {
    std::string BiosName;     // positions 12-24
    std::string BiosVersion;  // positions 26-30
};

struct TStatusReply {  // code 1
    std::string Data;
};

struct TIDCodeReply {  // code 2
    std::string Data;
};

struct TBaudrateReply {  // code 3: the second data character as a digit, 0..9
    int Index;
};

struct TPortReply {  // codes 4..13
    TPortGrid Grid;
    int Row;
    std::string Data;
};

using TDecodedReply =
    std::variant<TIdentityReply, TStatusReply, TIDCodeReply, TBaudrateReply, TPortReply>;

// Checks one reply line and says what it carries; empty for every line that
// is to be ignored: wrong length, wrong fixed characters, an identity line
// with other than "00" at 9-10 or a code other than 0, a code outside 1..13,
// and a code (or baud digit) that is not a decimal number.
std::optional<TDecodedReply> DecodeReplyLine(std::string_view Line);
