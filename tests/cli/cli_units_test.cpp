// SPDX-License-Identifier: MIT
// The command line's parser and its JSON writer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/json_writer.h"
#include "main/ports/port_candidates.h"

using namespace varnolink;

namespace {

struct TGoodLine {
    std::vector<std::string> Words;
    TCliCommand Command;
    std::string Port, File, Output;
    bool Json, Verbose;
};

class CliArguments : public testing::TestWithParam<TGoodLine> {};

TEST_P(CliArguments, Parse)
{
    const TGoodLine& Line = GetParam();
    const TCliArguments Parsed = ParseCliArguments(Line.Words);
    EXPECT_EQ(Parsed.Command, Line.Command);
    EXPECT_EQ(Parsed.Port, Line.Port);
    EXPECT_EQ(Parsed.File, Line.File);
    EXPECT_EQ(Parsed.Output, Line.Output);
    EXPECT_EQ(Parsed.Json, Line.Json);
    EXPECT_EQ(Parsed.Verbose, Line.Verbose);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliArguments,
    testing::Values(
        TGoodLine{{"ports"}, TCliCommand::Ports, "", "", "", false, false},
        TGoodLine{{"--json", "ports"}, TCliCommand::Ports, "", "", "", true, false},
        TGoodLine{{"identify", "-p", "COM3"}, TCliCommand::Identify, "COM3", "", "", false, false},
        TGoodLine{
            {"-v", "read", "--port=ttyUSB0", "-o", "a.ini"}, TCliCommand::Read, "ttyUSB0", "", "a.ini", false, true},
        TGoodLine{{"write", "a.ini", "-p", "/dev/pts/3", "--json"},
                  TCliCommand::Write,
                  "/dev/pts/3",
                  "a.ini",
                  "",
                  true,
                  false},
        TGoodLine{{"diff", "-p", "x", "b.ini", "--verbose"}, TCliCommand::Diff, "x", "b.ini", "", false, true},
        TGoodLine{{"default", "--port", "COM1"}, TCliCommand::Default, "COM1", "", "", false, false}));

TEST(CliArguments, WriteOptionsAndTheirPlace)
{
    const TCliArguments Write =
        ParseCliArguments({"write", "-p", "x", "f", "--id", "A7", "--baud=57600", "--keep", "baud,direction.P0"});
    EXPECT_EQ(Write.Id, "A7");
    EXPECT_EQ(Write.Baud, 57600);
    EXPECT_EQ(Write.Keep, (std::vector<std::string>{"baud", "direction.P0"}));
    EXPECT_TRUE(ParseCliArguments({"--help", "bogus"}).Help);
}

TEST(CliArguments, RefusedLines)
{
    for (const std::vector<std::string>& Words :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate"},
                                               {"read"},
                                               {"write", "-p", "x"},
                                               {"write", "-p", "x", "a", "b"},
                                               {"read", "-p", "x", "--id", "01"},
                                               {"ports", "-p", "x"},
                                               {"read", "-p"},
                                               {"read", "-p", "x", "--json=1"},
                                               {"read", "-p", "x", "-x"},
                                               {"journal", "--line-speed", "9600"},
                                               {"journal", "--rs485", "rts-on-send"},
                                               {"doctor", "--line-speed", "9600"},
                                               {"diff", "-p", "", "f"}})
        EXPECT_THROW(ParseCliArguments(Words), EUsage) << testing::PrintToString(Words);
}

TEST(JsonWriter, NestedValuesAndEscapes)
{
    TJsonWriter Json;
    Json.BeginObject()
        .Member("name", std::string_view("a\"b\\c\r\n\x01\xE9"))
        .Member("n", int64_t{-3})
        .Member("ok", true)
        .Member("list", std::vector<std::string>{"x", "y"})
        .Key("none")
        .Null()
        .Key("empty")
        .BeginObject()
        .EndObject()
        .EndObject();
    EXPECT_EQ(Json.Text(),
              R"({"name":"a\"b\\c\r\n\u0001\u00e9","n":-3,"ok":true,"list":["x","y"],"none":null,"empty":{}})");
}

}  // namespace

TEST(CliArguments, KeepTakesFieldsAndGroups)
{
    EXPECT_EQ(ModuleConfigFieldNames(KeepFieldsOf("module")), (std::vector<std::string>{"remote_id", "baud"}));
    EXPECT_EQ(KeepFieldsOf("direction").size(), 5u);
    EXPECT_EQ(ModuleConfigFieldName(KeepFieldsOf("power_on_default").front()), "power_on_default.P0");
    EXPECT_EQ(ModuleConfigFieldNames(KeepFieldsOf("direction.P4")), (std::vector<std::string>{"direction.P4"}));
    EXPECT_TRUE(KeepFieldsOf("P4").empty());
}

TEST(SystemConsole, NamedByEitherKernelFile)
{
    EXPECT_EQ(SystemConsoleDevicesFrom("tty0 ttyS0\n", "ttyS0                -W- (EC  p a)    4:64\n"
                                                       "ttyUSB1              -W- (E   p  )  188:1\n"),
              (std::vector<std::string>{"/dev/tty0", "/dev/ttyS0", "/dev/ttyUSB1"}));
    EXPECT_TRUE(SystemConsoleDevicesFrom("", "").empty());
}
