// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/protocol/device_protocol.h"
#include "tests/protocol/protocol_fakes.h"

namespace {

class ReplyDecoding : public ::testing::Test, protected TProtocolUnderTest {};

struct TAcceptedCase {
    std::string Line;
    TJournal Effects;
};

class AcceptedReplies : public ReplyDecoding,
                        public ::testing::WithParamInterface<TAcceptedCase> {};

TEST_P(AcceptedReplies, ShowTheirValueAndCountAsReply)
{
    ASSERT_EQ(Protocol.ReplyReceived(), 0);
    Protocol.AnalysisPacket(GetParam().Line);
    EXPECT_EQ(Journal, GetParam().Effects) << "line: " << GetParam().Line;
    EXPECT_EQ(Protocol.ReplyReceived(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, AcceptedReplies,
    ::testing::Values(
        TAcceptedCase{IdentityReply("VARNO BIOS 13", "V1.05", '#'),
                      {"BiosName=VARNO BIOS 13", "BIOSVersion=V1.05", "StatusConnect=Connect OK"}},
        // Raw bytes above 0x7F reach the window untouched.
        TAcceptedCase{IdentityReply("N\xE4me\xFF        ", "\x80v2  "),
                      {"BiosName=N\xE4me\xFF        ", "BIOSVersion=\x80v2  ",
                       "StatusConnect=Connect OK"}},
        TAcceptedCase{CodeReply("01", "00"), {"StatusDisplay=Ready"}},
        TAcceptedCase{CodeReply("01", "01"), {"StatusDisplay=Error"}},
        TAcceptedCase{CodeReply("01", "02"), {}},  // unknown status: shown as nothing
        TAcceptedCase{CodeReply("02", "a5"), {"IDDisplay=A5"}},
        TAcceptedCase{CodeReply("02", "G1"), {"IDDisplay=01"}},
        TAcceptedCase{CodeReply("02", "??"), {"IDDisplay=00"}},
        TAcceptedCase{CodeReply("03", "03"), {"ComboBaud=3"}},
        TAcceptedCase{CodeReply("03", "13"), {"ComboBaud=3"}},  // first data character unused
        TAcceptedCase{CodeReply("03", "x7"), {"ComboBaud=7"}},
        TAcceptedCase{CodeReply("03", "08"), {"ComboBaud=8"}},  // no such entry: window selects none
        TAcceptedCase{CodeReply("03", "09"), {"ComboBaud=9"}},
        TAcceptedCase{CodeReply("04", "e1"), {"Reply DIR0=e1"}},  // data passed as it came
        TAcceptedCase{CodeReply("05", "12"), {"Reply DIR1=12"}},
        TAcceptedCase{CodeReply("06", "F0"), {"Reply DIR2=F0"}},
        TAcceptedCase{CodeReply("07", "??"), {"Reply DIR3=??"}},
        TAcceptedCase{CodeReply("08", "FF"), {"Reply DIR4=FF"}},
        TAcceptedCase{CodeReply("09", "00"), {"Reply DEF0=00"}},
        TAcceptedCase{CodeReply("10", "A5"), {"Reply DEF1=A5"}},
        TAcceptedCase{CodeReply("11", "5A"), {"Reply DEF2=5A"}},
        TAcceptedCase{CodeReply("12", "C3"), {"Reply DEF3=C3"}},
        TAcceptedCase{CodeReply("13", "3C"), {"Reply DEF4=3C"}},
        // Positions 9-10 of a short reply are not examined.
        TAcceptedCase{CodeReply("04", "AB", "Z!"), {"Reply DIR0=AB"}},
        // The code reads as an integer conversion reads it.
        TAcceptedCase{CodeReply(" 4", "01"), {"Reply DIR0=01"}},
        TAcceptedCase{CodeReply("+4", "02"), {"Reply DIR0=02"}},
        TAcceptedCase{"*??:E+0,00=" + std::string("name-13-chars") + "_" + "ver-5",
                      {"BiosName=name-13-chars", "BIOSVersion=ver-5", "StatusConnect=Connect OK"}},
        TAcceptedCase{"*??:E 0,00=" + std::string("name-13-chars") + "_" + "ver-5",
                      {"BiosName=name-13-chars", "BIOSVersion=ver-5",
                       "StatusConnect=Connect OK"}}));

class IgnoredReplies : public ReplyDecoding, public ::testing::WithParamInterface<std::string> {};

TEST_P(IgnoredReplies, ChangeNothing)
{
    ASSERT_EQ(Protocol.ReplyReceived(), 0);
    EXPECT_NO_THROW(Protocol.AnalysisPacket(GetParam()));
    EXPECT_TRUE(Journal.empty()) << "line: " << GetParam();
    EXPECT_EQ(Protocol.ReplyReceived(), 0) << "line: " << GetParam();
}

std::vector<std::string> IgnoredLines()
{
    const std::string Short = CodeReply("04", "A5");
    const std::string Identity = IdentityReply("ABCDEFGHIJKLM", "V1.00");
    std::vector<std::string> Lines = {
        "",
        "*",
        Short.substr(0, 12),
        Short + "5",
        Identity.substr(0, 29),
        Identity + "0",
        // Wrong address mark.
        "*?X:E04,00=A5",
        "*X?:E04,00=A5",
        "*!!:E00,00=ABCDEFGHIJKLM V1.00",
        // Case matters.
        "*??:e04,00=A5",
        // Identity line with other than "00" at 9-10, or a non-zero code.
        "*??:E00,01=ABCDEFGHIJKLM V1.00",
        "*??:E00,0 =ABCDEFGHIJKLM V1.00",
        "*??:E01,00=ABCDEFGHIJKLM V1.00",
        "*??:E0x,00=ABCDEFGHIJKLM V1.00",
        "*??:E  ,00=ABCDEFGHIJKLM V1.00",
        // Short line with code 0, above 13 or negative.
        CodeReply("00", "A5"),
        CodeReply("14", "A5"),
        CodeReply("99", "00"),
        CodeReply("-1", "A5"),
        // Codes that are not a decimal number.
        CodeReply("4 ", "A5"),
        CodeReply("0x", "A5"),
        CodeReply("  ", "A5"),
        CodeReply("+-", "A5"),
        CodeReply("+ ", "A5"),
        CodeReply("x4", "A5"),
        // Baud index digit that is not a decimal digit.
        CodeReply("03", "0x"),
        CodeReply("03", "0 "),
        CodeReply("03", "0+"),
        CodeReply("03", "0-"),
    };
    // Every one of the five fixed characters wrong, in both layouts.
    for (const std::size_t Pos : {0u, 3u, 4u, 7u, 10u}) {
        std::string BadShort = Short;
        BadShort[Pos] = '#';
        Lines.push_back(BadShort);
        std::string BadIdentity = Identity;
        BadIdentity[Pos] = '#';
        Lines.push_back(BadIdentity);
    }
    return Lines;
}

INSTANTIATE_TEST_SUITE_P(Decoder, IgnoredReplies, ::testing::ValuesIn(IgnoredLines()));

TEST_F(ReplyDecoding, RejectedLineKeepsAnEarlierReplyFlag)
{
    Protocol.AnalysisPacket(CodeReply("01", "00"));
    ASSERT_EQ(Protocol.ReplyReceived(), 1);
    Protocol.AnalysisPacket(CodeReply("14", "00"));
    EXPECT_EQ(Protocol.ReplyReceived(), 1);
    EXPECT_EQ(Journal, (TJournal{"StatusDisplay=Ready"}));
}

TEST_F(ReplyDecoding, ReplyIsNotMatchedAgainstTheOutstandingRequest)
{
    Protocol.ReadStatus();
    Journal.clear();
    Protocol.AnalysisPacket(CodeReply("12", "7E"));
    EXPECT_EQ(Journal, (TJournal{"Reply DEF3=7E"}));
    EXPECT_EQ(Protocol.ReplyReceived(), 1);
}

}  // namespace
