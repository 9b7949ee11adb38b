// SPDX-License-Identifier: MIT
// Reply lines into typed values: the fixed positions checked, the code
// and data read, the identity line split into BIOS name and version.
#include "main/protocol/reply_decoder.h"

#include "main/protocol/command_codes.h"
#include "main/protocol/hex.h"

namespace varnolink {

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
    while (Pos < Text.size() && (Text[Pos] == ' ' || (Text[Pos] >= '\t' && Text[Pos] <= '\r')))
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

TLineVerdict Ignored(std::string Why)
{
    return {std::nullopt, std::move(Why)};
}

TLineVerdict Accepted(TDecodedReply Reply)
{
    return {std::move(Reply), {}};
}

// Positions 1, 4, 5, 8 and 11 joined must be "*:E,=", positions 2-3 "??".
const char* FrameFault(std::string_view Line)
{
    const char Fixed[] = {Line[0], Line[3], Line[4], Line[7], Line[10]};
    if (std::string_view(Fixed, sizeof Fixed) != CheckText)
        return "not laid out as a reply";
    if (Line.substr(1, 2) != AddressMark)
        return "no \"??\" after the \"*\"";
    return nullptr;
}

std::optional<int> CodeOf(std::string_view Line)
{
    return ParseDecimal(Line.substr(5, 2));
}

TModuleStatus StatusOf(std::string_view Data)
{
    if (Data == "00")
        return TModuleStatus::Ready;
    if (Data == "01")
        return TModuleStatus::Error;
    return TModuleStatus::Other;
}

TLineVerdict DecideIdentityLine(std::string_view Line)
{
    if (const char* Fault = FrameFault(Line))
        return Ignored(Fault);
    if (Line.substr(8, 2) != IdentityFiller || CodeOf(Line) != CodeIdentity)
        return Ignored("30 characters but no identity reply");
    return Accepted(TIdentityReply{std::string(Line.substr(11, 13)), std::string(Line.substr(25, 5))});
}

TLineVerdict DecideCodeLine(std::string_view Line)
{
    if (const char* Fault = FrameFault(Line))
        return Ignored(Fault);
    const std::optional<int> Code = CodeOf(Line);
    if (!Code)
        return Ignored("the code is not a number");
    const std::string Data(Line.substr(11, 2));
    switch (*Code) {
    case CodeStatus:
        return Accepted(TStatusReply{Data, StatusOf(Data)});
    case CodeIDCode:
        return Accepted(TIDCodeReply{Data, HexStr2ToByte(Data)});
    case CodeBaudrate:
        // Only the second data character carries the index.
        if (const std::optional<int> Index = ParseDecimal(Line.substr(12, 1)))
            return Accepted(TBaudrateReply{*Index});
        return Ignored("the baud-rate index is not a digit");
    default:
        if (const std::optional<TPortSlot> Slot = PortSlotOfCode(*Code))
            return Accepted(TPortReply{Slot->Grid, Slot->Row, Data, HexStr2ToByte(Data)});
        return Ignored("code " + std::to_string(*Code) + " is no reply code");  // 0, above 13, negative
    }
}

}  // namespace

int ReplyCode(const TDecodedReply& Reply)
{
    struct TCode {
        int operator()(const TIdentityReply&) const { return CodeIdentity; }
        int operator()(const TStatusReply&) const { return CodeStatus; }
        int operator()(const TIDCodeReply&) const { return CodeIDCode; }
        int operator()(const TBaudrateReply&) const { return CodeBaudrate; }
        int operator()(const TPortReply& R) const { return PortCommandCode(R.Grid, R.Row); }
    };
    return std::visit(TCode{}, Reply);
}

TLineVerdict DecideReplyLine(std::string_view Line)
{
    if (Line.size() == IdentityReplyLength)
        return DecideIdentityLine(Line);
    if (Line.size() == CodeReplyLength)
        return DecideCodeLine(Line);
    return Ignored("not 13 or 30 characters (" + std::to_string(Line.size()) + ")");
}

std::optional<TDecodedReply> DecodeReplyLine(std::string_view Line)
{
    return DecideReplyLine(Line).Reply;
}

}  // namespace varnolink
