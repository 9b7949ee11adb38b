// SPDX-License-Identifier: MIT
// Request framing edge cases and the varnolink-sim command line, without a line.

#include <gtest/gtest.h>

#include "sim/command_line.h"
#include "sim/request_assembler.h"
#include "sim/text_escape.h"

namespace varnolink::sim {
namespace {

std::vector<std::string> Frames(TRequestAssembler& Assembler, std::string_view Bytes)
{
    std::vector<TReceivedFrame> frames;
    Assembler.Feed(Bytes, TClock::now(), frames);
    std::vector<std::string> Texts;
    for (const auto& Frame : frames)
        Texts.push_back(Frame.Bytes);
    return Texts;
}

TEST(RequestAssemblerTest, OverlongFrameIsDroppedAndTheNextStarWins)
{
    TRequestAssembler Assembler(16);
    EXPECT_TRUE(Frames(Assembler, "*" + std::string(20, '0') + "\r\n").empty());
    EXPECT_EQ(Assembler.DiscardedBytes(), 23u);  // "*", twenty "0", CR, LF
    EXPECT_EQ(Frames(Assembler, "*01:0,00=00\r\n"), std::vector<std::string>{"*01:0,00=00\r\n"});
}

TEST(RequestAssemblerTest, CarriageReturnWaitsForItsLineFeed)
{
    TRequestAssembler Assembler;
    EXPECT_TRUE(Frames(Assembler, "*01:0,00=00\r").empty());
    EXPECT_TRUE(Assembler.AwaitingLineFeed());
    EXPECT_EQ(Frames(Assembler, "\n"), std::vector<std::string>{"*01:0,00=00\r\n"});
    EXPECT_TRUE(Frames(Assembler, "*02:0,00=00\r").empty());
    std::vector<TReceivedFrame> frames;
    Assembler.FinishWithoutLineFeed(TClock::now(), frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Bytes, "*02:0,00=00\r");
    // A LF that comes too late is a stray byte outside any frame.
    EXPECT_TRUE(Frames(Assembler, "\n").empty());
    EXPECT_EQ(Assembler.DiscardedBytes(), 1u);
}

TEST(CommandLineTest, OptionsSetStateFaultsAndLine)
{
    const TCommandLine Line = ParseCommandLine({"--lf",
                                                "--id=3c",
                                                "--baud-index",
                                                "5",
                                                "--name",
                                                "ABCDEFGHIJKLM",
                                                "--version",
                                                "9.99z",
                                                "--status",
                                                "01",
                                                "--port-bytes",
                                                "01 02 03 04 05 06 07 08 09 0A",
                                                "--dir-p4",
                                                "AA",
                                                "--def-p5=BB",
                                                "--silent-from",
                                                "3",
                                                "--silent-codes",
                                                "4,99",
                                                "--unstored-codes",
                                                "2,5",
                                                "--delay",
                                                "20",
                                                "--split",
                                                "3",
                                                "--split-gap",
                                                "7",
                                                "--noise-text",
                                                "x\\r\\x2A",
                                                "--noise-random",
                                                "5",
                                                "--noise-after",
                                                "--noise-seed",
                                                "42",
                                                "--lower-case",
                                                "--malformed",
                                                "code",
                                                "--malformed-instead",
                                                "--line-baud",
                                                "9600",
                                                "--echo",
                                                "--twin-overlap",
                                                "--twin-delay",
                                                "30",
                                                "--line-speed=19200",
                                                "--print-requests",
                                                "--link",
                                                "/tmp/x"});
    const TSimulatorOptions& Options = Line.Options;
    EXPECT_TRUE(Options.LineFeedAfterReply);
    EXPECT_TRUE(Line.PrintRequests);
    EXPECT_EQ(Options.LinkPath, "/tmp/x");
    EXPECT_EQ(Options.LineSpeed, 19200u);
    TModuleState State;
    State.RemoteId = 0x3C;
    State.BaudIndex = 5;
    State.BiosName = "ABCDEFGHIJKLM";
    State.BiosVersion = "9.99z";
    State.Status = 0x01;
    State.Directions = {0x01, 0x02, 0x03, 0xAA, 0x05};
    State.Defaults = {0x06, 0x07, 0x08, 0x09, 0xBB};
    EXPECT_EQ(Options.State, State);
    TFaults Faults;
    Faults.SilentFromRequest = 3;
    Faults.SilentCodes = {4, 99};
    Faults.UnstoredCodes = {2, 5};
    Faults.ReplyDelay = std::chrono::milliseconds(20);
    Faults.SplitPieceBytes = 3;
    Faults.SplitGap = std::chrono::milliseconds(7);
    Faults.Noise = {"x\r*", 5, TNoisePlacement::AfterReply, 42};
    Faults.LowerCaseData = true;
    Faults.Malformed.Kind = TMalformedKind::NonDecimalCode;
    Faults.Malformed.Placement = TMalformedPlacement::InsteadOfReply;
    Faults.LineBaud = 9600;
    Faults.Echo = true;
    Faults.Twin = true;
    Faults.TwinOverlap = true;
    Faults.TwinDelay = std::chrono::milliseconds(30);
    EXPECT_EQ(Options.Faults, Faults);
}

TEST(CommandLineTest, BadInputIsRefused)
{
    const std::vector<std::vector<std::string>> Bad{
        {"--bogus"},
        {"--id", "1"},
        {"--id", "XY"},
        {"--baud-index", "8"},
        {"--name", "SHORT"},
        {"--port-bytes", "00 11"},
        {"--dir-p3", "00"},
        {"--delay"},
        {"--lf=1"},
        {"--malformed", "text"},
        {"--malformed", "odd"},
        {"--noise-text", "\\q"},
        {"--silent-codes", "4,x"},
        {"--unstored-codes", "100"},
        {"--line-speed", "12345"},
        {"--device", "/dev/null", "--link", "/tmp/x"},
        {"--plant", "0"},
        {"--plant-silent", "1"},
        {"--plant", "2", "--id", "05"},
        {"--plant", "2", "--listen", "4000"},
        {"--plant", "2", "--listen", ":4000"},
        {"--plant", "2", "--listen", "host:65536"},
        {"--plant", "2", "--plant-drop-after", "0"},
        {"--plant", "9", "--plant-differ", ""},
        {"--plant", "9", "--plant-differ", "0"},
        {"--plant", "9", "--plant-differ", "10"},
        {"--plant", "9", "--plant-differ", "3-"},
        {"--plant", "9", "--plant-differ", "-3"},
        {"--plant", "9", "--plant-differ", "5-3"},
        {"--plant", "9", "--plant-differ", "3,,4"},
        {"--plant", "9", "--plant-differ", "3,"},
        {"--plant", "9", "--plant-differ", "1-2-3"},
        {"--plant", "9", "--plant-differ", " 3"},
    };
    for (const auto& Arguments : Bad) {
        EXPECT_THROW(ParseCommandLine(Arguments), std::invalid_argument) << Arguments[0];
    }
    EXPECT_NO_THROW(ParseCommandLine({}));
}

TEST(CommandLineTest, PlantOptionsAndModuleLists)
{
    const TCommandLine Line = ParseCommandLine({"--plant", "12", "--listen", "0.0.0.0:4000", "--plant-differ", "3,7-9",
                                                "--plant-silent=12", "--plant-drop", "2,1-2", "--plant-drop-after", "2",
                                                "--no-line-timing", "--plant-inventory", "/tmp/inv"});
    ASSERT_TRUE(Line.Plant.has_value());
    const TPlantOptions& Plant = *Line.Plant;
    EXPECT_EQ(Plant.Count, 12u);
    EXPECT_EQ(Plant.Host, "0.0.0.0");
    EXPECT_EQ(Plant.FirstPort, 4000);
    EXPECT_EQ(Plant.Differ, (std::set<std::size_t>{3, 7, 8, 9}));
    EXPECT_EQ(Plant.Silent, (std::set<std::size_t>{12}));
    EXPECT_EQ(Plant.Drop, (std::set<std::size_t>{1, 2}));
    EXPECT_EQ(Plant.DropAfterRequests, 2u);
    EXPECT_FALSE(Plant.LineTiming);
    EXPECT_EQ(Line.PlantInventory, "/tmp/inv");

    const TCommandLine Defaults = ParseCommandLine({"--plant", "3"});
    ASSERT_TRUE(Defaults.Plant.has_value());
    EXPECT_EQ(Defaults.Plant->Host, "127.0.0.1");
    EXPECT_EQ(Defaults.Plant->FirstPort, 0);
    EXPECT_TRUE(Defaults.Plant->LineTiming);
    EXPECT_FALSE(ParseCommandLine({}).Plant.has_value());
}

TEST(TextEscapeTest, EscapesRoundTrip)
{
    const std::string Bytes = std::string("*01:0,00=00\r\n\\\t") + '\0' + "\x7F\xFF";
    EXPECT_EQ(EscapeBytes(Bytes), "*01:0,00=00\\r\\n\\\\\\t\\x00\\x7F\\xFF");
    EXPECT_EQ(UnescapeText(EscapeBytes(Bytes)), Bytes);
    EXPECT_THROW(UnescapeText("\\x4"), std::invalid_argument);
    EXPECT_THROW(UnescapeText("abc\\"), std::invalid_argument);
}

}  // namespace
}  // namespace varnolink::sim
