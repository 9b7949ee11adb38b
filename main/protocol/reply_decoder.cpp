// SPDX-License-Identifier: MIT
#include "main/protocol/reply_decoder.h"

#include "main/protocol/command_codes.h"

namespace {

constexpr std::string_view CheckText = "*:E,=";
constexpr std::string_view AddressMark = "??";
constexpr std::string_view IdentityFiller = "00";

// The number a standard integer conversion makes of Text: optional leading
// white space, an optional sign, then one or more decimal digits and nothing
// else. Texts here are at most two characters, so there is no overflow.
std::optional<int> ParseDecimal(std::string_view Text)
{
    std::size_t Pos = 0;
    while (Pos < Text.size() &&
           (Text[Pos] == ' ' || (Text[Pos] >= '\t' && Text[Pos] <= '\r')))
        ++Pos;
    bool Negative = false;
    if (Pos < Text.size() && (Text[Pos] == '+' || Text[Pos] == '-')) {
        Negative = Text[Pos] == '-';
        ++Pos;
    }
    if (Pos == Text.size())
        return std::nullopt;
    int Value = 0;
    for (; Pos < Text.size(); ++Pos) {
        if (Text[Pos] < '0' || Text[Pos] > '9')
            return std::nullopt;
        Value = Value * 10 + (Text[Pos] - '0');
    }
    return Negative ? -Value : Value;
}

// Positions 1, 4, 5, 8 and 11 joined must be "*:E,=", positions 2-3 "??".
bool HasReplyFrame(std::string_view Line)
{
    const char Fixed[] = {Line[0], Line[3], Line[4], Line[7], Line[10]};
    return std::string_view(Fixed, sizeof Fixed) == CheckText &&
           Line.substr(1, 2) == AddressMark;
}

std::optional<int> CodeOf(std::string_view Line)
{
    return ParseDecimal(Line.substr(5, 2));
}

std::optional<TDecodedReply> DecodeIdentityLine(std::string_view Line)
{
    if (!HasReplyFrame(Line) || Line.substr(8, 2) != IdentityFiller || CodeOf(Line) != CodeIdentity)
        return std::nullopt;
    return TIdentityReply{std::string(Line.substr(11, 13)), std::string(Line.substr(25, 5))};
}

std::optional<TDecodedReply> DecodeCodeLine(std::string_view Line)
{
    if (!HasReplyFrame(Line))
        return std::nullopt;
    const std::optional<int> Code = CodeOf(Line);
    if (!Code)
        return std::nullopt;
    const std::string Data(Line.substr(11, 2));
    switch (*Code) {
    case CodeStatus:
        return TStatusReply{Data};
    case CodeIDCode:
        return TIDCodeReply{Data};
    case CodeBaudrate:
        // Only the second data character carries the index.
        if (const std::optional<int> Index = ParseDecimal(Line.substr(12, 1)))
            return TBaudrateReply{*Index};
        return std::nullopt;
    default:
        if (const std::optional<TPortSlot> Slot = PortSlotOfCode(*Code))
            return TPortReply{Slot->Grid, Slot->Row, Data};
        return std::nullopt;  // 0, above 13, negative
    }
}

}  // namespace

std::optional<TDecodedReply> DecodeReplyLine(std::string_view Line)
{
    if (Line.size() == IdentityReplyLength)
        return DecodeIdentityLine(Line);
    if (Line.size() == CodeReplyLength)
        return DecodeCodeLine(Line);
    return std::nullopt;
}
