// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "main/protocol/port_table.h"

namespace varnolink {

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

// What the module says of itself in the status reply: "00" ready, "01" an
// error; any other data is its own affair.
enum class TModuleStatus : uint8_t { Ready, Error, Other };

struct TStatusReply {  // code 1
    std::string Data;
    TModuleStatus Status;
};

struct TIDCodeReply {  // code 2
    std::string Data;
    uint8_t RemoteId;  // the data as a byte (HexStr2ToByte)
};

struct TBaudrateReply {  // code 3: the second data character as a digit, 0..9
    int Index;
};

struct TPortReply {  // codes 4..13
    TPortGrid Grid;
    int Row;
    std::string Data;  // as it came: the window shows it before converting it
    uint8_t Value;     // the data as a byte (HexStr2ToByte)
};

using TDecodedReply = std::variant<TIdentityReply, TStatusReply, TIDCodeReply, TBaudrateReply, TPortReply>;

// The command code a reply answers: 0 for the identity, 1..13.
int ReplyCode(const TDecodedReply& Reply);

// What the decoder made of one line: the reply it carries, or why it was
// ignored ("not 13 or 30 characters (14)", "code 14 is no reply code", ...).
struct TLineVerdict {
    std::optional<TDecodedReply> Reply;
    std::string WhyIgnored;  // empty when Reply is set
};

// Checks one reply line and says what it carries, or why it is ignored:
// wrong length, wrong fixed characters, an identity line with other than
// "00" at 9-10 or a code other than 0, a code outside 1..13, and a code (or
// baud digit) that is not a decimal number.
TLineVerdict DecideReplyLine(std::string_view Line);

// The reply alone; empty for every line that is ignored.
std::optional<TDecodedReply> DecodeReplyLine(std::string_view Line);

}  // namespace varnolink
