// SPDX-License-Identifier: MIT
// Received bytes, split anywhere, into reply lines: what the session decodes,
// what it ignores and drops, and that its line stays bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "tests/support/chain_session_fakes.h"

namespace {

using Words = std::vector<std::string>;

class ReceiveAssembly : public ::testing::Test, protected TSessionUnderTest {
protected:
    // A request on the line, so ReplyReceived is 0 again.
    void Ask(int Code) { Start(StepsPlan({{Code, TRequestMode::Read}})); }
};

TEST_F(ReceiveAssembly, ReplyInPiecesIsDecodedOnceAtItsCarriageReturn)
{
    for (const char* Piece : {"*??:E0", "4,00=A", "5"})
        Receive(Piece);
    EXPECT_TRUE(Heard().empty());
    EXPECT_EQ(Session.ReplyReceived(), 0);
    Receive("\r");
    EXPECT_EQ(Heard(), Words{"DIR0 A5 (A5)"});
    EXPECT_EQ(Session.ReplyReceived(), 1);
    EXPECT_EQ(Session.PacketBuffer(), "*??:E04,00=A5");
}

TEST_F(ReceiveAssembly, TwoRepliesInOneReadAreDecodedInOrder)
{
    Receive(CodeReply("10", "3C") + "\r\n" + CodeReply("02", "7f") + "\r\n");
    EXPECT_EQ(Heard(), (Words{"DEF1 3C (3C)", "id 7f (7F)"}));
}

TEST_F(ReceiveAssembly, LineFeedAndOtherControlCharactersAreDropped)
{
    Receive(CodeReply("01", "00") + "\r");
    Receive("\n");
    EXPECT_EQ(Session.PacketBuffer(), CodeReply("01", "00"));
    const char WithControls[] = "*??:E0\x00"
                                "5,0\t0=\x1b"
                                "C3\n\r";
    Receive(std::string_view(WithControls, sizeof WithControls - 1));
    EXPECT_EQ(Heard(), (Words{"status 00 Ready", "DIR1 C3 (C3)"}));
}

TEST_F(ReceiveAssembly, StarInTheMiddleStartsANewLine)
{
    Receive("*??:E04,00=*??:E05,00=11\r");
    EXPECT_EQ(Heard(), (Words{"dropped *??:E04,00=: line cut short by a new \"*\"", "DIR1 11 (11)"}));
}

TEST_F(ReceiveAssembly, SecondCarriageReturnDecodesTheSameLineAgainAndAnswersTheRequest)
{
    Receive(CodeReply("03", "05") + "\r");
    Ask(1);
    EXPECT_EQ(Session.ReplyReceived(), 0);
    Receive("\n\r");  // the LF belongs to the first CR
    EXPECT_EQ(Heard(), (Words{"baud 5", "baud 5"}));
    EXPECT_EQ(Session.ReplyReceived(), 1);
    EXPECT_EQ(Result().End, TChainEnd::Completed);
}

TEST_F(ReceiveAssembly, PrintableCharactersAfterAReplySpoilTheOldLine)
{
    Receive(CodeReply("01", "01") + "\r");
    Ask(1);
    Receive("X\r");
    EXPECT_EQ(Heard(), (Words{"status 01 Error", "ignored X<CR>: not 13 or 30 characters (14)"}));
    EXPECT_EQ(Session.ReplyReceived(), 0);
    EXPECT_EQ(Session.PacketBuffer(), CodeReply("01", "01") + "X");
}

TEST_F(ReceiveAssembly, CharactersBeforeTheFirstStarAreCollectedAndFailTheChecks)
{
    Receive("??:E01,00=00\r");
    EXPECT_EQ(Session.PacketBuffer(), "??:E01,00=00");
    EXPECT_EQ(Heard(), Words{"ignored ??:E01,00=00<CR>: not 13 or 30 characters (12)"});
    EXPECT_EQ(Session.ReplyReceived(), 0);
}

TEST_F(ReceiveAssembly, OverlongLineStopsGrowingAndIsNeverDecoded)
{
    Receive("*" + std::string(TReplyAssembler::LineLimit - 1, 'x'));
    EXPECT_EQ(Session.PacketBuffer().size(), TReplyAssembler::LineLimit);
    Receive("yyyy\r\r");
    EXPECT_EQ(Session.PacketBuffer().size(), TReplyAssembler::LineLimit);
    Receive(CodeReply("13", "81") + "\r");  // the next "*" starts afresh
    const Words Got = Heard();
    ASSERT_EQ(Got.size(), 3u);
    EXPECT_EQ(Got[0], "ignored *" + std::string(63, 'x') + "yyyy<CR>: longer than any reply");
    EXPECT_EQ(Got[1], "ignored <CR>: longer than any reply");
    EXPECT_EQ(Got[2], "DEF4 81 (81)");
}

TEST_F(ReceiveAssembly, NoiseBeforeTheFirstStarIsBoundedToo)
{
    Receive(std::string(200, 'n') + "\r");
    EXPECT_EQ(Session.PacketBuffer(), std::string(TReplyAssembler::LineLimit, 'n'));
    Receive(std::string(200, 'n') + CodeReply("01", "00") + "\r");
    EXPECT_EQ(Heard(), (Words{"ignored " + std::string(200, 'n') + "<CR>: longer than any reply",
                              "dropped " + std::string(200, 'n') + ": not part of a reply line", "status 00 Ready"}));
}

// Megabytes of random bytes with a reply glued to the end of each burst,
// delivered in random pieces: every reply is decoded in order, and neither
// the line nor any event's raw bytes grow with the noise.
TEST_F(ReceiveAssembly, BoundedUnderMegabytesOfNoiseWithRepliesMixedIn)
{
    std::mt19937 Random(20240611);
    std::uniform_int_distribution<int> AnyByte(0, 255);
    std::uniform_int_distribution<std::size_t> NoiseLength(1, 20000);
    std::uniform_int_distribution<std::size_t> ChunkLength(1, 4096);
    Words Expected;
    Words Shown;
    std::size_t LongestBuffer = 0;
    std::size_t LongestRaw = 0;
    for (std::size_t NoiseSent = 0; NoiseSent < 4 * 1024 * 1024;) {
        std::string Bytes(NoiseLength(Random), '\0');
        std::generate(Bytes.begin(), Bytes.end(), [&] { return static_cast<char>(AnyByte(Random)); });
        NoiseSent += Bytes.size();
        const std::string Data = HexByteToStr2(static_cast<uint8_t>(Expected.size()));
        Expected.push_back("DEF4 " + Data + " (" + Data + ")");
        Bytes += CodeReply("13", Data) + "\r";
        for (std::size_t Pos = 0, Chunk = 0; Pos < Bytes.size(); Pos += Chunk) {
            Chunk = ChunkLength(Random);
            Receive(std::string_view(Bytes).substr(Pos, Chunk));
            LongestBuffer = std::max(LongestBuffer, Session.PacketBuffer().size());
        }
        // A CR in the noise right after a reply decodes it again: each run counts once.
        for (const std::string& Line : Heard())
            if (Line.rfind("DEF4 ", 0) == 0 && (Shown.empty() || Shown.back() != Line))
                Shown.push_back(Line);
        for (const TSessionEvent& Event : Events)
            std::visit(
                [&](const auto& E) {
                    if constexpr (requires { E.Raw; })
                        LongestRaw = std::max(LongestRaw, E.Raw.size());
                },
                Event);
        Events.clear();
    }
    EXPECT_EQ(Shown, Expected);
    EXPECT_GT(Expected.size(), 100u);
    EXPECT_LE(LongestBuffer, TReplyAssembler::LineLimit);
    EXPECT_LE(Session.PacketBuffer().capacity(), 2 * TReplyAssembler::LineLimit);
    EXPECT_LE(LongestRaw, 256u);
}

TEST(ReplyAssembler, HandsOverAFullLineButNotAnOverflowedOne)
{
    TReplyAssembler Assembler;
    Assembler.Feed('*');
    for (std::size_t Count = 1; Count < TReplyAssembler::LineLimit; ++Count)
        EXPECT_FALSE(Assembler.Feed('x'));
    EXPECT_TRUE(Assembler.Feed('\r')) << "a line at the limit is still handed over";
    EXPECT_FALSE(Assembler.Feed('x'));
    EXPECT_TRUE(Assembler.Overflowed());
    EXPECT_FALSE(Assembler.Feed('\r'));
    EXPECT_FALSE(Assembler.Feed('\r'));
    EXPECT_FALSE(Assembler.Feed('*'));
    EXPECT_FALSE(Assembler.Overflowed());
    EXPECT_TRUE(Assembler.Feed('\r'));
    EXPECT_EQ(Assembler.Line(), "*");
}

// The reply of the known fault: a BEL inside it. The session takes the
// value without the BEL, and the wire log shows the same verdict with the
// BEL visible in the raw bytes.
TEST_F(ReceiveAssembly, NoisyReplyIsDecodedAndLoggedAlike)
{
    Ask(6);
    Receive(std::string("*??:E06,0") + '\x07' + "0=0F\r");
    EXPECT_EQ(Heard(), Words{"DIR2 0F (0F)"});
    EXPECT_EQ(Session.Record().Config().Direction[2], 0x0F);
    EXPECT_EQ(Result().End, TChainEnd::Completed);
    Receive(CodeReply("07", "0F") + "\r");
    EXPECT_EQ(WireLines.Lines, (Words{">  *06:0,00=00<CR><LF>  read P2 direction",
                                      "<  *??:E06,0<07>0=0F<CR>  read P2 direction \u2192 0F",
                                      "<  *??:E07,00=0F<CR>  reply to read P4 direction (late or unasked) \u2192 0F"}));
}

}  // namespace
