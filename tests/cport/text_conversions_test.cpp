// SPDX-License-Identifier: MIT
// Text forms of the settings: every table entry both ways, the forgiving
// reading rules (ASCII case, no trimming, fallbacks), and the character forms
// with their integer syntax.
#include "cport/comport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

using namespace cport;

namespace {

template <typename Enum>
struct EnumCase {
    Enum Value;
    const char* Text;
};

// Each value writes its table text, and that text reads back in upper, lower
// and original case.
template <typename Enum, typename ToText, typename FromText>
void ExpectTable(const std::vector<EnumCase<Enum>>& Cases, ToText To, FromText From)
{
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Text);
        EXPECT_EQ(To(C.Value), C.Text);
        EXPECT_EQ(From(C.Text), C.Value);
        std::string Upper = C.Text, Lower = C.Text;
        for (char& Ch : Upper)
            Ch = static_cast<char>(std::toupper(static_cast<unsigned char>(Ch)));
        for (char& Ch : Lower)
            Ch = static_cast<char>(std::tolower(static_cast<unsigned char>(Ch)));
        EXPECT_EQ(From(Upper), C.Value);
        EXPECT_EQ(From(Lower), C.Value);
    }
}

}  // namespace

TEST(TextConversions, EveryEnumerationTextBothWays)
{
    ExpectTable<TBaudRate>({{brCustom, "Custom"},
                            {br110, "110"},
                            {br300, "300"},
                            {br600, "600"},
                            {br1200, "1200"},
                            {br2400, "2400"},
                            {br4800, "4800"},
                            {br9600, "9600"},
                            {br14400, "14400"},
                            {br19200, "19200"},
                            {br38400, "38400"},
                            {br56000, "56000"},
                            {br57600, "57600"},
                            {br115200, "115200"},
                            {br128000, "128000"},
                            {br256000, "256000"}},
                           BaudRateText, BaudRateFromText);
    ExpectTable<TStopBits>({{sbOneStopBit, "1"}, {sbOne5StopBits, "1.5"}, {sbTwoStopBits, "2"}}, StopBitsText,
                           StopBitsFromText);
    ExpectTable<TDataBits>({{dbFive, "5"}, {dbSix, "6"}, {dbSeven, "7"}, {dbEight, "8"}}, DataBitsText,
                           DataBitsFromText);
    ExpectTable<TParityBits>({{prNone, "None"}, {prOdd, "Odd"}, {prEven, "Even"}, {prMark, "Mark"}, {prSpace, "Space"}},
                             ParityText, ParityFromText);
    ExpectTable<TFlowControl>(
        {{fcHardware, "Hardware"}, {fcSoftware, "Software"}, {fcNone, "None"}, {fcCustom, "Custom"}}, FlowControlText,
        FlowControlFromText);
    ExpectTable<TDTRFlowControl>({{dtrDisable, "Disable"}, {dtrEnable, "Enable"}, {dtrHandshake, "Handshake"}},
                                 DTRControlText, DTRControlFromText);
    ExpectTable<TRTSFlowControl>(
        {{rtsDisable, "Disable"}, {rtsEnable, "Enable"}, {rtsHandshake, "Handshake"}, {rtsToggle, "Toggle"}},
        RTSControlText, RTSControlFromText);
}

TEST(TextConversions, UnmatchedTextsGiveTheFallback)
{
    // Blanks are not trimmed, so a padded number matches nothing.
    EXPECT_EQ(BaudRateFromText("custom"), brCustom);
    EXPECT_EQ(BaudRateFromText("115200"), br115200);
    EXPECT_EQ(BaudRateFromText(" 1200"), br9600);
    EXPECT_EQ(BaudRateFromText("1200 "), br9600);
    EXPECT_EQ(BaudRateFromText(""), br9600);
    EXPECT_EQ(StopBitsFromText("1,5"), sbOneStopBit);
    EXPECT_EQ(DataBitsFromText("9"), dbEight);
    EXPECT_EQ(DataBitsFromText("7\n"), dbEight);
    EXPECT_EQ(ParityFromText("Evens"), prNone);
    EXPECT_EQ(FlowControlFromText(""), fcCustom);
    EXPECT_EQ(FlowControlFromText("Hard"), fcCustom);
    EXPECT_EQ(DTRControlFromText("Toggle"), dtrDisable);  // a value of the RTS table only
    EXPECT_EQ(RTSControlFromText("HANDSHAKE"), rtsHandshake);
    // Only a to z are folded: a byte above 127 never equals a letter.
    EXPECT_EQ(ParityFromText("\xCF"
                             "dd"),
              prNone);
    EXPECT_EQ(ParityFromText(std::string("Odd\0", 4)), prNone);
}

TEST(TextConversions, BoolIsTrueOnlyForYesInAnyCase)
{
    EXPECT_EQ(BoolText(true), "Yes");
    EXPECT_EQ(BoolText(false), "No");
    for (const char* yes : {"Yes", "YES", "yes", "yEs", "yeS"})
        EXPECT_TRUE(BoolFromText(yes)) << yes;
    for (const char* no : {"No", "Y", "true", "True", "1", "", " Yes", "Yes ", "Yess", "Y E S"})
        EXPECT_FALSE(BoolFromText(no)) << no;
}

TEST(TextConversions, CharTextWritesPrintablesAsThemselves)
{
    const struct {
        int Code;
        std::string Text;
    } Cases[] = {{0, "#0"},  {13, "#13"},   {32, "#32"},   {33, "!"},     {35, "#"},    {65, "A"},
                 {126, "~"}, {127, "\x7f"}, {128, "#128"}, {200, "#200"}, {255, "#255"}};
    for (const auto& C : Cases)
        EXPECT_EQ(CharText(static_cast<char>(C.Code)), C.Text) << C.Code;
}

TEST(TextConversions, CharFromTextFollowsTheIntegerSyntax)
{
    const struct {
        std::string Text;
        int Code;
    } Cases[] = {
        {"", 0},
        {"#", '#'},   // "#" alone is the character itself
        {"Q7", 'Q'},  // only the first character counts
        {"AB", 'A'},
        {"#65", 65},
        {"#13", 13},
        {"#300", 44},  // low 8 bits
        {"#-1", 255},
        {"#+66", 66},
        {"#   65", 65},  // leading blanks allowed
        {"#0065", 65},
        {"#$41", 0x41},
        {"#x41", 0x41},
        {"#X41", 0x41},
        {"#0x41", 0x41},
        {"#0X4f", 0x4F},
        {"#-$1", 255},
        {"#$FFFFFFFF", 255},  // all 32 bits in hexadecimal
        {"#2147483647", 255},
        {"#-2147483648", 0},
        {"#abc", 0},  // not a number
        {"#65 ", 0},  // nothing may follow the digits
        {"#6 5", 0},
        {"#2147483648", 0},  // outside the 32-bit range
        {"#-2147483649", 0},
        {"#99999999999999999999", 0},
        {"#$100000041", 0},
        {"#$", 0},
        {"#0x", 0},
        {"#x", 0},
        {"#-", 0},
        {"#--1", 0},
        {"##", 0},
        {"#$G1", 0},
        {"#1e2", 0},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(static_cast<unsigned char>(CharFromText(C.Text)), C.Code) << '"' << C.Text << '"';
}

TEST(TextConversions, EveryCharacterSurvivesItsText)
{
    for (int Code = 0; Code < 256; ++Code) {
        const char C = static_cast<char>(Code);
        EXPECT_EQ(CharFromText(CharText(C)), C) << Code;
    }
}
