// SPDX-License-Identifier: MIT
// Reply lines into typed values, or the reason a line is ignored; and what
// the session and its record make of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/chain_session_fakes.h"

namespace {

struct TAccepted {
    std::string Line;
    int Code;
    std::string Values;  // Summary of the reply
};

class AcceptedLines : public ::testing::TestWithParam<TAccepted> {};

TEST_P(AcceptedLines, CarryTheirValues)
{
    const TLineVerdict Verdict = DecideReplyLine(GetParam().Line);
    ASSERT_TRUE(Verdict.Reply) << GetParam().Line << ": " << Verdict.WhyIgnored;
    EXPECT_TRUE(Verdict.WhyIgnored.empty());
    EXPECT_EQ(ReplyCode(*Verdict.Reply), GetParam().Code);
    EXPECT_EQ(Summary(*Verdict.Reply), GetParam().Values);
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, AcceptedLines,
    ::testing::Values(
        TAccepted{IdentityReply("VARNO BIOS 13", "V1.05", '#'), 0, "name=VARNO BIOS 13 version=V1.05"},
        // Bytes above 0x7F are kept as they came.
        TAccepted{IdentityReply("N\xE4me\xFF        ", "\x80v2  "), 0, "name=N\xE4me\xFF         version=\x80v2  "},
        TAccepted{CodeReply("01", "00"), 1, "status 00 Ready"}, TAccepted{CodeReply("01", "01"), 1, "status 01 Error"},
        TAccepted{CodeReply("01", "02"), 1, "status 02 Other"}, TAccepted{CodeReply("02", "a5"), 2, "id a5 (A5)"},
        TAccepted{CodeReply("02", "G1"), 2, "id G1 (01)"}, TAccepted{CodeReply("02", "??"), 2, "id ?? (00)"},
        TAccepted{CodeReply("03", "03"), 3, "baud 3"},
        TAccepted{CodeReply("03", "13"), 3, "baud 3"},  // the first data character is unused
        TAccepted{CodeReply("03", "x7"), 3, "baud 7"},
        TAccepted{CodeReply("03", "09"), 3, "baud 9"},  // no such rate: the record's reader says so
        TAccepted{CodeReply("04", "e1"), 4, "DIR0 e1 (E1)"}, TAccepted{CodeReply("05", "12"), 5, "DIR1 12 (12)"},
        TAccepted{CodeReply("06", "F0"), 6, "DIR2 F0 (F0)"}, TAccepted{CodeReply("07", "??"), 7, "DIR3 ?? (00)"},
        TAccepted{CodeReply("08", "FF"), 8, "DIR4 FF (FF)"}, TAccepted{CodeReply("09", "00"), 9, "DEF0 00 (00)"},
        TAccepted{CodeReply("10", "A5"), 10, "DEF1 A5 (A5)"}, TAccepted{CodeReply("11", "5A"), 11, "DEF2 5A (5A)"},
        TAccepted{CodeReply("12", "C3"), 12, "DEF3 C3 (C3)"}, TAccepted{CodeReply("13", "3C"), 13, "DEF4 3C (3C)"},
        // Positions 9-10 of a short reply are not examined.
        TAccepted{CodeReply("04", "AB", "Z!"), 4, "DIR0 AB (AB)"},
        // The code reads as an integer conversion reads it.
        TAccepted{CodeReply(" 4", "01"), 4, "DIR0 01 (01)"}, TAccepted{CodeReply("+4", "02"), 4, "DIR0 02 (02)"},
        TAccepted{"*??:E+0,00=name-13-chars_ver-5", 0, "name=name-13-chars version=ver-5"},
        TAccepted{"*??:E 0,00=name-13-chars_ver-5", 0, "name=name-13-chars version=ver-5"}));

struct TIgnored {
    std::string Line;
    std::string Why;
};

class IgnoredLines : public ::testing::TestWithParam<TIgnored> {};

TEST_P(IgnoredLines, SayWhy)
{
    const TLineVerdict Verdict = DecideReplyLine(GetParam().Line);
    EXPECT_FALSE(Verdict.Reply) << GetParam().Line;
    EXPECT_EQ(Verdict.WhyIgnored, GetParam().Why) << GetParam().Line;
    EXPECT_FALSE(DecodeReplyLine(GetParam().Line));
}

std::vector<TIgnored> IgnoredCases()
{
    const std::string Short = CodeReply("04", "A5");
    const std::string Identity = IdentityReply("ABCDEFGHIJKLM", "V1.00");
    const auto Length = [](std::size_t Size) { return "not 13 or 30 characters (" + std::to_string(Size) + ")"; };
    const std::string NoIdentity = "30 characters but no identity reply";
    const std::string NoNumber = "the code is not a number";
    const std::string NoDigit = "the baud-rate index is not a digit";
    std::vector<TIgnored> Cases = {
        {"", Length(0)},
        {"*", Length(1)},
        {Short.substr(0, 12), Length(12)},
        {Short + "5", Length(14)},
        {Identity.substr(0, 29), Length(29)},
        {Identity + "0", Length(31)},
        {"*?X:E04,00=A5", "no \"??\" after the \"*\""},
        {"*X?:E04,00=A5", "no \"??\" after the \"*\""},
        {"*!!:E00,00=ABCDEFGHIJKLM V1.00", "no \"??\" after the \"*\""},
        {"*??:e04,00=A5", "not laid out as a reply"},  // case matters
        {"*??:E00,01=ABCDEFGHIJKLM V1.00", NoIdentity},
        {"*??:E00,0 =ABCDEFGHIJKLM V1.00", NoIdentity},
        {"*??:E01,00=ABCDEFGHIJKLM V1.00", NoIdentity},
        {"*??:E0x,00=ABCDEFGHIJKLM V1.00", NoIdentity},
        {"*??:E  ,00=ABCDEFGHIJKLM V1.00", NoIdentity},
        {CodeReply("00", "A5"), "code 0 is no reply code"},
        {CodeReply("14", "A5"), "code 14 is no reply code"},
        {CodeReply("99", "00"), "code 99 is no reply code"},
        {CodeReply("-1", "A5"), "code -1 is no reply code"},
        {CodeReply("4 ", "A5"), NoNumber},
        {CodeReply("0x", "A5"), NoNumber},
        {CodeReply("  ", "A5"), NoNumber},
        {CodeReply("+-", "A5"), NoNumber},
        {CodeReply("+ ", "A5"), NoNumber},
        {CodeReply("x4", "A5"), NoNumber},
        {CodeReply("03", "0x"), NoDigit},
        {CodeReply("03", "0 "), NoDigit},
        {CodeReply("03", "0+"), NoDigit},
        {CodeReply("03", "0-"), NoDigit},
    };
    // Every one of the five fixed characters wrong, in both layouts.
    for (const std::size_t Pos : {0u, 3u, 4u, 7u, 10u})
        for (std::string Line : {Short, Identity}) {
            Line[Pos] = '#';
            Cases.push_back({Line, "not laid out as a reply"});
        }
    return Cases;
}

INSTANTIATE_TEST_SUITE_P(Decoder, IgnoredLines, ::testing::ValuesIn(IgnoredCases()));

class SessionReplies : public ::testing::Test, protected TSessionUnderTest {};

TEST_F(SessionReplies, IgnoredLineKeepsAnEarlierReplyFlag)
{
    Receive(CodeReply("01", "00") + "\r");
    ASSERT_EQ(Session.ReplyReceived(), 1);
    Receive(CodeReply("14", "00") + "\r");
    EXPECT_EQ(Session.ReplyReceived(), 1);
    EXPECT_EQ(Heard(),
              (std::vector<std::string>{"status 00 Ready", "ignored *??:E14,00=00<CR>: code 14 is no reply code"}));
}

TEST_F(SessionReplies, AnyReplyAnswersTheRequestOnTheLine)
{
    Start(StepsPlan({{CodeStatus, TRequestMode::Read}, {CodeIDCode, TRequestMode::Read}}));
    Receive(CodeReply("12", "7E") + "\r");
    EXPECT_EQ(Sent.size(), 2u) << "the status read counts as answered";
    EXPECT_EQ(Session.Record().Config().PowerOnDefault[3], 0x7E);
    EXPECT_TRUE(Session.Record().Answered(12));
    EXPECT_FALSE(Session.Record().Answered(CodeStatus));
}

TEST_F(SessionReplies, RecordGathersTheValuesOfEveryReply)
{
    for (const std::string& Line : {IdentityReply("VARNO BIOS 13", "V1.05"), CodeReply("01", "01"),
                                    CodeReply("02", "a5"), CodeReply("03", "13"), CodeReply("08", "f0")})
        Receive(Line + "\r");
    const TModuleReading& Reading = Session.Record().Reading();
    EXPECT_EQ(Reading.Identity.BiosName, "VARNO BIOS 13");
    EXPECT_EQ(Reading.Identity.BiosVersion, "V1.05");
    EXPECT_EQ(Reading.Identity.StatusText, "Error");
    EXPECT_EQ(Reading.Config.RemoteId, 0xA5);
    EXPECT_EQ(Reading.Config.BaudIndex, 3);
    EXPECT_EQ(Reading.Config.Direction[4], 0xF0);
    EXPECT_FALSE(Session.Record().AnsweredAllSettings());
    Receive(CodeReply("01", "02") + "\r");
    EXPECT_EQ(Session.Record().Identity().StatusText, "") << "a status of its own shows nothing";
}

}  // namespace
