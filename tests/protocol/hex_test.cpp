// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "main/protocol/hex.h"

using namespace varnolink;

namespace {

struct TTextToByte {
    std::string Text;
    int Byte;
};

class HexStr2ToByteCases : public ::testing::TestWithParam<TTextToByte> {};

TEST_P(HexStr2ToByteCases, Converts)
{
    EXPECT_EQ(HexStr2ToByte(GetParam().Text), GetParam().Byte) << "text: \"" << GetParam().Text << '"';
}

INSTANTIATE_TEST_SUITE_P(Table, HexStr2ToByteCases,
                         ::testing::Values(TTextToByte{"A5", 165}, TTextToByte{"a5", 165}, TTextToByte{"5", 0x50},
                                           TTextToByte{"", 0}, TTextToByte{"??", 0}, TTextToByte{"G1", 1},
                                           TTextToByte{"1G", 16}, TTextToByte{"FF", 255}, TTextToByte{"ff", 255},
                                           TTextToByte{"fF", 255}, TTextToByte{"09", 9}, TTextToByte{"90", 0x90},
                                           TTextToByte{"A5FF", 165},  // only the first two characters count
                                           TTextToByte{"7?", 0x70}, TTextToByte{" 7", 0x07}, TTextToByte{"gG", 0},
                                           TTextToByte{"@`", 0},  // neighbours of A and a
                                           TTextToByte{"/:", 0},  // neighbours of 0 and 9
                                           TTextToByte{std::string("\xC1\xE1", 2), 0},
                                           TTextToByte{std::string("\0"
                                                                   "F",
                                                                   2),
                                                       0x0F}));

TEST(HexByteToStr2, GivesTwoUpperCaseDigits)
{
    EXPECT_EQ(HexByteToStr2(0), "00");
    EXPECT_EQ(HexByteToStr2(10), "0A");
    EXPECT_EQ(HexByteToStr2(255), "FF");
    EXPECT_EQ(HexByteToStr2(0xA5), "A5");
    EXPECT_EQ(HexByteToStr2(0x5A), "5A");
}

TEST(HexConversions, EveryByteSurvivesTheRoundTrip)
{
    for (int Value = 0; Value <= 255; ++Value) {
        const std::string Text = HexByteToStr2(static_cast<uint8_t>(Value));
        ASSERT_EQ(Text.size(), 2u);
        EXPECT_EQ(HexStr2ToByte(Text), Value) << Text;
    }
}

}  // namespace
