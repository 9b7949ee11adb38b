// SPDX-License-Identifier: MIT
// Text forms of the settings, as persistence stores them. Reading a text is
// forgiving: ASCII letters match in any case, the whole text must match (no
// trimming), and a text that matches nothing gives the setting's fallback.
#include "cport/text_parsing.h"
#include "cport/comport.h"

#include <array>
#include <string_view>

namespace cport {

namespace {

constexpr std::array<std::string_view, 16> BaudRateTexts = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                                                            "4800",   "9600",   "14400",  "19200", "38400", "56000",
                                                            "57600",  "115200", "128000", "256000"};
constexpr std::array<int32_t, 16> BaudRates = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                               14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::array<std::string_view, 3> StopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> DataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> FlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<std::string_view, 3> DtrControlTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<std::string_view, 4> RtsControlTexts = {"Disable", "Enable", "Handshake", "Toggle"};

// The value of the first table text equal to Text, or Fallback.
template <typename Enum, size_t N>
Enum FromText(const std::array<std::string_view, N>& Texts, const std::string& Text, Enum Fallback)
{
    for (size_t I = 0; I < N; ++I)
        if (EqualIgnoringAsciiCase(Texts[I], Text))
            return static_cast<Enum>(I);
    return Fallback;
}

// The table text of Value; a value outside the enumeration (only reachable
// through a cast) gives the fallback's text rather than reading past the table.
template <typename Enum, size_t N>
std::string ToText(const std::array<std::string_view, N>& Texts, Enum Value, Enum Fallback)
{
    const auto Index = static_cast<size_t>(Value);
    return std::string(Index < N ? Texts[Index] : Texts[static_cast<size_t>(Fallback)]);
}

}  // namespace

std::string BaudRateText(TBaudRate Value)
{
    return ToText(BaudRateTexts, Value, br9600);
}
TBaudRate BaudRateFromText(const std::string& Text)
{
    return FromText(BaudRateTexts, Text, br9600);
}
std::string StopBitsText(TStopBits Value)
{
    return ToText(StopBitsTexts, Value, sbOneStopBit);
}
TStopBits StopBitsFromText(const std::string& Text)
{
    return FromText(StopBitsTexts, Text, sbOneStopBit);
}
std::string DataBitsText(TDataBits Value)
{
    return ToText(DataBitsTexts, Value, dbEight);
}
TDataBits DataBitsFromText(const std::string& Text)
{
    return FromText(DataBitsTexts, Text, dbEight);
}
std::string ParityText(TParityBits Value)
{
    return ToText(ParityTexts, Value, prNone);
}
TParityBits ParityFromText(const std::string& Text)
{
    return FromText(ParityTexts, Text, prNone);
}
std::string FlowControlText(TFlowControl Value)
{
    return ToText(FlowControlTexts, Value, fcCustom);
}
TFlowControl FlowControlFromText(const std::string& Text)
{
    return FromText(FlowControlTexts, Text, fcCustom);
}
std::string DTRControlText(TDTRFlowControl Value)
{
    return ToText(DtrControlTexts, Value, dtrDisable);
}
TDTRFlowControl DTRControlFromText(const std::string& Text)
{
    return FromText(DtrControlTexts, Text, dtrDisable);
}
std::string RTSControlText(TRTSFlowControl Value)
{
    return ToText(RtsControlTexts, Value, rtsDisable);
}
TRTSFlowControl RTSControlFromText(const std::string& Text)
{
    return FromText(RtsControlTexts, Text, rtsDisable);
}

std::string BoolText(bool Value)
{
    return Value ? "Yes" : "No";
}
bool BoolFromText(const std::string& Text)
{
    return EqualIgnoringAsciiCase(Text, "YES");
}

// Printable characters stand for themselves; blanks, control characters and
// codes above 127 are written as "#" and the decimal code, so the text
// survives stores that trim blanks or mangle non-ASCII bytes.
std::string CharText(char Value)
{
    const auto Code = static_cast<unsigned char>(Value);
    if (Code >= 33 && Code <= 127)
        return std::string(1, Value);
    return "#" + std::to_string(Code);
}

char CharFromText(const std::string& Text)
{
    if (Text.empty())
        return 0;
    if (Text.size() >= 2 && Text[0] == '#') {
        const std::optional<int32_t> Code = ParseInteger(std::string_view(Text).substr(1));
        if (!Code)
            return 0;
        return static_cast<char>(static_cast<uint32_t>(*Code) & 0xFFu);
    }
    return Text[0];
}

int32_t BaudRateToInt(TBaudRate Value)
{
    const auto Index = static_cast<size_t>(Value);
    return Index < BaudRates.size() ? BaudRates[Index] : 0;
}

}  // namespace cport
