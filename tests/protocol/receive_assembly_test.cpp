// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "main/protocol/device_protocol.h"
#include "main/protocol/hex.h"
#include "tests/protocol/protocol_fakes.h"

namespace {

class ReceiveAssembly : public ::testing::Test, protected TProtocolUnderTest {};

TEST_F(ReceiveAssembly, ReplyInPiecesIsDecodedOnceAtItsCarriageReturn)
{
    Event("*??:E0");
    Event("4,00=A");
    EXPECT_TRUE(Journal.empty());
    EXPECT_EQ(Protocol.ReplyReceived(), 0);
    Event("5");
    Event("\r");
    EXPECT_EQ(Journal, (TJournal{"Reply DIR0=A5"}));
    EXPECT_EQ(Protocol.ReplyReceived(), 1);
    EXPECT_EQ(Protocol.PacketBuffer(), "*??:E04,00=A5");
}

TEST_F(ReceiveAssembly, TwoRepliesInOneEventAreDecodedInOrder)
{
    Event(CodeReply("10", "3C") + "\r\n" + CodeReply("02", "7f") + "\r\n");
    EXPECT_EQ(Journal, (TJournal{"Reply DEF1=3C", "IDDisplay=7F"}));
}

TEST_F(ReceiveAssembly, LineFeedAndOtherControlCharactersAreDropped)
{
    Event(CodeReply("01", "00") + "\r");
    Event("\n");
    EXPECT_EQ(Protocol.PacketBuffer(), CodeReply("01", "00"));

    Journal.clear();
    const char WithControls[] = "*??:E0\x00" "5,0\t0=\x1b" "C3\n\r";
    Event(std::string_view(WithControls, sizeof WithControls - 1));
    EXPECT_EQ(Journal, (TJournal{"Reply DIR1=C3"}));
}

TEST_F(ReceiveAssembly, StarInTheMiddleStartsANewLine)
{
    Event("*??:E04,00=*??:E05,00=11\r");
    EXPECT_EQ(Journal, (TJournal{"Reply DIR1=11"}));
}

TEST_F(ReceiveAssembly, SecondCarriageReturnDecodesTheSameLineAgain)
{
    Event(CodeReply("03", "05") + "\r");
    Protocol.ReadStatus();  // a request in between clears the flag
    Journal.clear();
    Event("\n\r");
    EXPECT_EQ(Journal, (TJournal{"ComboBaud=5"}));
    EXPECT_EQ(Protocol.ReplyReceived(), 1);
}

TEST_F(ReceiveAssembly, PrintableCharactersAfterAReplySpoilTheOldLine)
{
    Event(CodeReply("01", "01") + "\r");
    Protocol.ReadStatus();
    Journal.clear();
    Event("X\r");
    EXPECT_TRUE(Journal.empty());
    EXPECT_EQ(Protocol.ReplyReceived(), 0);
    EXPECT_EQ(Protocol.PacketBuffer(), CodeReply("01", "01") + "X");
}

TEST_F(ReceiveAssembly, CharactersBeforeTheFirstStarAreCollectedAndFailTheChecks)
{
    Event("??:E01,00=00\r");
    EXPECT_EQ(Protocol.PacketBuffer(), "??:E01,00=00");
    EXPECT_TRUE(Journal.empty());
    EXPECT_EQ(Protocol.ReplyReceived(), 0);
}

TEST_F(ReceiveAssembly, ReadsNoMoreThanTheEventCount)
{
    Port.Receive(CodeReply("06", "AA") + "\r");
    Protocol.ComPort1RxChar(5);
    EXPECT_EQ(Protocol.PacketBuffer(), "*??:E");
    EXPECT_EQ(Port.Pending(), 9u);
    Protocol.ComPort1RxChar(0);  // nothing waiting: no read at all
    EXPECT_EQ(Port.ReadCalls, 1);
    Protocol.ComPort1RxChar(100);  // the port delivers what it has
    EXPECT_EQ(Journal, (TJournal{"Reply DIR2=AA"}));
}

TEST_F(ReceiveAssembly, OverlongLineStopsGrowingAndIsNeverDecoded)
{
    Event("*" + std::string(TReplyAssembler::LineLimit - 1, 'x'));
    EXPECT_EQ(Protocol.PacketBuffer().size(), TReplyAssembler::LineLimit);
    EXPECT_FALSE(Protocol.PacketBufferOverflowed());

    Event("yyyy");
    EXPECT_EQ(Protocol.PacketBuffer().size(), TReplyAssembler::LineLimit);
    EXPECT_TRUE(Protocol.PacketBufferOverflowed());
    Event("\r\r");
    EXPECT_TRUE(Protocol.PacketBufferOverflowed());

    // The next "*" starts afresh.
    Event(CodeReply("13", "81") + "\r");
    EXPECT_FALSE(Protocol.PacketBufferOverflowed());
    EXPECT_EQ(Journal, (TJournal{"Reply DEF4=81"}));
}

TEST_F(ReceiveAssembly, NoiseBeforeTheFirstStarIsBoundedToo)
{
    Event(std::string(200, 'n') + "\r");
    EXPECT_EQ(Protocol.PacketBuffer(), std::string(TReplyAssembler::LineLimit, 'n'));
    EXPECT_TRUE(Protocol.PacketBufferOverflowed());
    EXPECT_TRUE(Journal.empty());

    Event(std::string(200, 'n') + CodeReply("01", "00") + "\r");
    EXPECT_EQ(Journal, (TJournal{"StatusDisplay=Ready"}));
}

TEST_F(ReceiveAssembly, BoundedUnderMegabytesOfNoiseWithRepliesMixedIn)
{
    std::mt19937 Random(20240611);
    std::uniform_int_distribution<int> AnyByte(0, 255);
    std::uniform_int_distribution<int> NoiseLength(1, 20000);
    std::uniform_int_distribution<int> ChunkLength(1, 4096);

    constexpr std::size_t TotalNoise = 4 * 1024 * 1024;
    std::size_t NoiseSent = 0;
    std::size_t LongestBuffer = 0;
    TJournal ExpectedReplies;
    int ReplyNumber = 0;

    auto Deliver = [&](const std::string& Bytes) {
        std::size_t Pos = 0;
        while (Pos < Bytes.size()) {
            const std::size_t Chunk =
                std::min<std::size_t>(static_cast<std::size_t>(ChunkLength(Random)), Bytes.size() - Pos);
            Event(std::string_view(Bytes).substr(Pos, Chunk));
            LongestBuffer = std::max(LongestBuffer, Protocol.PacketBuffer().size());
            Pos += Chunk;
        }
    };

    while (NoiseSent < TotalNoise) {
        std::string Noise(static_cast<std::size_t>(NoiseLength(Random)), '\0');
        for (char& Ch : Noise)
            Ch = static_cast<char>(AnyByte(Random));
        NoiseSent += Noise.size();
        const std::string Data = HexByteToStr2(static_cast<uint8_t>(ReplyNumber++));
        ExpectedReplies.push_back("Reply DEF4=" + Data);
        // Noise, then a reply glued to it, then the CR that ends it.
        Deliver(Noise + CodeReply("13", Data) + "\r");
    }

    EXPECT_LE(LongestBuffer, TReplyAssembler::LineLimit);
    EXPECT_LE(Protocol.PacketBuffer().capacity(), 2 * TReplyAssembler::LineLimit);
    // Random noise never forms a valid line, so only the mixed-in replies
    // show. A CR in the noise right after a reply, before any printable
    // character, decodes that reply again: count each run once.
    TJournal Shown;
    std::copy_if(Journal.begin(), Journal.end(), std::back_inserter(Shown),
                 [](const std::string& Entry) { return Entry.rfind("Reply DEF4=", 0) == 0; });
    Shown.erase(std::unique(Shown.begin(), Shown.end()), Shown.end());
    EXPECT_EQ(Shown, ExpectedReplies);
    EXPECT_GT(ReplyNumber, 100);
}

}  // namespace

namespace {

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

}  // namespace
