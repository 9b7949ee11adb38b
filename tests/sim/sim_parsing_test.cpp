// SPDX-License-Identifier: MIT
// Request framing edge cases and the varnolink-sim command line, without a line.

#include <gtest/gtest.h>

#include "sim/command_line.h"
#include "sim/request_assembler.h"
#include "sim/text_escape.h"

namespace varnolink::sim {
namespace {

std::vector<std::string> Frames(TRequestAssembler& assembler, std::string_view bytes) {
    std::vector<TReceivedFrame> frames;
    assembler.Feed(bytes, TClock::now(), frames);
    std::vector<std::string> texts;
    for (const auto& frame : frames) texts.push_back(frame.Bytes);
    return texts;
}

TEST(RequestAssemblerTest, OverlongFrameIsDroppedAndTheNextStarWins) {
    TRequestAssembler assembler(16);
    EXPECT_TRUE(Frames(assembler, "*" + std::string(20, '0') + "\r\n").empty());
    EXPECT_EQ(assembler.DiscardedBytes(), 23u);  // "*", twenty "0", CR, LF
    EXPECT_EQ(Frames(assembler, "*01:0,00=00\r\n"), std::vector<std::string>{"*01:0,00=00\r\n"});
}

TEST(RequestAssemblerTest, CarriageReturnWaitsForItsLineFeed) {
    TRequestAssembler assembler;
    EXPECT_TRUE(Frames(assembler, "*01:0,00=00\r").empty());
    EXPECT_TRUE(assembler.AwaitingLineFeed());
    EXPECT_EQ(Frames(assembler, "\n"), std::vector<std::string>{"*01:0,00=00\r\n"});
    EXPECT_TRUE(Frames(assembler, "*02:0,00=00\r").empty());
    std::vector<TReceivedFrame> frames;
    assembler.FinishWithoutLineFeed(TClock::now(), frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Bytes, "*02:0,00=00\r");
    // A LF that comes too late is a stray byte outside any frame.
    EXPECT_TRUE(Frames(assembler, "\n").empty());
    EXPECT_EQ(assembler.DiscardedBytes(), 1u);
}

TEST(CommandLineTest, OptionsSetStateFaultsAndLine) {
    const TCommandLine line = ParseCommandLine(
        {"--lf", "--id=3c", "--baud-index", "5", "--name", "ABCDEFGHIJKLM", "--version", "9.99z", "--status", "01",
         "--port-bytes", "01 02 03 04 05 06 07 08 09 0A", "--dir-p4", "AA", "--def-p5=BB", "--silent-from", "3",
         "--silent-codes", "4,99", "--delay", "20", "--split", "3", "--split-gap", "7", "--noise-text", "x\\r\\x2A",
         "--noise-random", "5", "--noise-after", "--noise-seed", "42", "--lower-case", "--malformed", "code",
         "--malformed-instead", "--line-baud", "9600", "--print-requests", "--link", "/tmp/x"});
    const TSimulatorOptions& options = line.Options;
    EXPECT_TRUE(options.LineFeedAfterReply);
    EXPECT_TRUE(line.PrintRequests);
    EXPECT_EQ(options.LinkPath, "/tmp/x");
    TModuleState state;
    state.RemoteId = 0x3C;
    state.BaudIndex = 5;
    state.BiosName = "ABCDEFGHIJKLM";
    state.BiosVersion = "9.99z";
    state.Status = 0x01;
    state.Directions = {0x01, 0x02, 0x03, 0xAA, 0x05};
    state.Defaults = {0x06, 0x07, 0x08, 0x09, 0xBB};
    EXPECT_EQ(options.State, state);
    TFaults faults;
    faults.SilentFromRequest = 3;
    faults.SilentCodes = {4, 99};
    faults.ReplyDelay = std::chrono::milliseconds(20);
    faults.SplitPieceBytes = 3;
    faults.SplitGap = std::chrono::milliseconds(7);
    faults.Noise = {"x\r*", 5, TNoisePlacement::AfterReply, 42};
    faults.LowerCaseData = true;
    faults.Malformed.Kind = TMalformedKind::NonDecimalCode;
    faults.Malformed.Placement = TMalformedPlacement::InsteadOfReply;
    faults.LineBaud = 9600;
    EXPECT_EQ(options.Faults, faults);
}

TEST(CommandLineTest, BadInputIsRefused) {
    const std::vector<std::vector<std::string>> bad{
        {"--bogus"},          {"--id", "1"},           {"--id", "XY"},       {"--baud-index", "8"},
        {"--name", "SHORT"},  {"--port-bytes", "00 11"}, {"--dir-p3", "00"},  {"--delay"},
        {"--lf=1"},           {"--malformed", "text"}, {"--malformed", "odd"}, {"--noise-text", "\\q"},
        {"--silent-codes", "4,x"}, {"--device", "/dev/null", "--link", "/tmp/x"},
    };
    for (const auto& arguments : bad) {
        EXPECT_THROW(ParseCommandLine(arguments), std::invalid_argument) << arguments[0];
    }
    EXPECT_NO_THROW(ParseCommandLine({}));
}

TEST(TextEscapeTest, EscapesRoundTrip) {
    const std::string bytes = std::string("*01:0,00=00\r\n\\\t") + '\0' + "\x7F\xFF";
    EXPECT_EQ(EscapeBytes(bytes), "*01:0,00=00\\r\\n\\\\\\t\\x00\\x7F\\xFF");
    EXPECT_EQ(UnescapeText(EscapeBytes(bytes)), bytes);
    EXPECT_THROW(UnescapeText("\\x4"), std::invalid_argument);
    EXPECT_THROW(UnescapeText("abc\\"), std::invalid_argument);
}

}  // namespace
}  // namespace varnolink::sim
