// SPDX-License-Identifier: MIT
// The configuration file: values in both byte notations, every kind of
// error with its line and key, and the round trip from value to text and back.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "main/files/config_file.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

const TModuleConfig Sample{0xA7, 6, {0x5A, 0x00, 0xF0, 0xFF, 0x81}, {0xFE, 0xFF, 0x0F, 0x00, 0x01}};

std::string CompleteText()
{
    return "[module]\nformat = 1\nremote_id = A7\nbaud = 57600\n"
           "[direction] ; 1 = input\nP0 = 5A\nP1 = 0b00000000\nP2 = f0 ; half\nP4 = FF\nP5 = 0B10000001\n"
           "# defaults\n[Power_On_Default]\np0 = FE\nP1 = FF\nP2 = 0F\nP4 = 00\nP5 = 01\n";
}

TEST(ConfigFile, ReadsBothByteNotationsCommentsAndAnyCase)
{
    const TConfigFile File = ParseConfigText(CompleteText(), "a.ini");
    EXPECT_TRUE(File.Config.MissingFields().empty());
    EXPECT_EQ(RequireComplete(File, "a.ini"), Sample);
}

TEST(ConfigFile, WrittenTextReadsBackToTheSameValuesAndBytes)
{
    const TModuleIdentity Identity{" VARNOLINK IO ", "1.00a", "Ready"};
    const std::string Text = ConfigFileText(Sample, &Identity, "2026-12-07T10:15:00Z");
    const TConfigFile File = ParseConfigText(Text, "b.ini");
    EXPECT_EQ(RequireComplete(File, "b.ini"), Sample);
    EXPECT_EQ(File.Identity, Identity);
    EXPECT_EQ(File.ReadAt, "2026-12-07T10:15:00Z");
    EXPECT_EQ(ConfigFileText(RequireComplete(File, "b.ini"), &File.Identity, File.ReadAt), Text);
}

// Files already kept (backups, files under version control) compare equal
// only if the layout never changes: this is the layout, byte for byte.
TEST(ConfigFile, WrittenLayoutStaysTheSameAndQuotesOnlyOuterSpaces)
{
    const TModuleIdentity Identity{"VARNOLINK IO", "1.00a ", "a\nb"};
    EXPECT_EQ(ConfigFileText(Sample, &Identity, "2026-12-07T10:15:00Z"),
              "# VARNOLINK I/O module configuration\n[module]\nformat = 1\nremote_id = A7\nbaud = 57600\n\n"
              "; one bit per pin, 1 = input, 0 = output (two hex digits, or 0b and eight bits, bit 7 first)\n"
              "[direction]\nP0 = 5A\nP1 = 00\nP2 = F0\nP4 = FF\nP5 = 81\n\n"
              "; the level of each output pin at power-on (two hex digits, or 0b and eight bits)\n"
              "[power_on_default]\nP0 = FE\nP1 = FF\nP2 = 0F\nP4 = 00\nP5 = 01\n\n"
              "; informational: written by read, ignored by write\n[identity]\nbios_name = VARNOLINK IO\n"
              "bios_version = \"1.00a \"\nstatus = a b\nread_at = 2026-12-07T10:15:00Z\n");
    // A quoted value keeps its spaces; quotes inside a value stay.
    const TConfigFile File =
        ParseConfigText("[identity]\nbios_name = \"  X \" \nstatus = say \"hi\"\nbios_version = \"\n", "q.ini");
    EXPECT_EQ(File.Identity.BiosName, "  X ");
    EXPECT_EQ(File.Identity.StatusText, "say \"hi\"");
    EXPECT_EQ(File.Identity.BiosVersion, "\"");
}

TEST(ConfigFile, PartialFileNamesItsMissingFields)
{
    const TConfigFile File = ParseConfigText("[module]\nbaud = 9600\n[direction]\nP2 = F0\n", "p.ini");
    const std::vector<std::string> Missing = ModuleConfigFieldNames(File.Config.MissingFields());
    ASSERT_EQ(Missing.size(), 10u);
    EXPECT_EQ(Missing.front(), "remote_id");
    EXPECT_EQ(Missing[1], "direction.P0");
    try {
        RequireComplete(File, "p.ini");
        FAIL() << "a partial file was taken as complete";
    } catch (const EConfigFile& Error) {
        EXPECT_EQ(Error.Key(), "remote_id");
        EXPECT_EQ(Error.Line(), 0u);
    }
    TModuleConfig Base = FactoryModuleConfig;
    Base.Direction[2] = 0x00;
    EXPECT_EQ(File.Config.Over(Base).Direction[2], 0xF0);
    EXPECT_EQ(File.Config.Over(Base).RemoteId, 0x01);
}

struct TBadFile {
    const char* Name;
    const char* Text;
    std::size_t Line;
    const char* Key;
    const char* Reason;
};

class ConfigFileErrors : public testing::TestWithParam<TBadFile> {};

TEST_P(ConfigFileErrors, NameFileLineAndKey)
{
    const TBadFile& Case = GetParam();
    try {
        ParseConfigText(Case.Text, "bad.ini");
        FAIL() << "accepted: " << Case.Text;
    } catch (const EConfigFile& Error) {
        EXPECT_EQ(Error.File(), "bad.ini");
        EXPECT_EQ(Error.Line(), Case.Line);
        EXPECT_EQ(Error.Key(), Case.Key);
        EXPECT_NE(std::string(Error.what()).find(Case.Reason), std::string::npos) << Error.what();
        EXPECT_EQ(std::string(Error.what()).rfind("bad.ini:" + std::to_string(Case.Line) + ": ", 0), 0u)
            << Error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigFileErrors,
    testing::Values(TBadFile{"UnknownSection", "[module]\nbaud = 9600\n[ports]\n", 3, "ports", "unknown section"},
                    TBadFile{"UnknownKey", "[module]\nspeed = 9600\n", 2, "speed", "unknown key"},
                    TBadFile{"NoP3", "[direction]\nP3 = 00\n", 2, "P3", "unknown key"},
                    TBadFile{"Duplicate", "[direction]\nP0 = 00\n\nP0 = 01\n", 4, "P0", "first on line 2"},
                    TBadFile{"DuplicateOtherCase", "[module]\nremote_id = 01\n[MODULE]\nREMOTE_ID = 02\n", 4,
                             "REMOTE_ID", "twice"},
                    TBadFile{"ByteOutOfRange", "[module]\nremote_id = 1FF\n", 2, "remote_id", "is no byte"},
                    TBadFile{"NotHex", "[power_on_default]\nP5 = G0\n", 2, "P5", "is no byte"},
                    TBadFile{"SevenBits", "[direction]\nP1 = 0b0101101\n", 2, "P1", "is no byte"},
                    TBadFile{"BaudNotARate", "[module]\nbaud = 9601\n", 2, "baud", "not one of the rates"},
                    TBadFile{"BaudAsIndex", "[module]\nbaud = 3\n", 2, "baud", "not one of the rates"},
                    TBadFile{"NewerFormat", "[module]\nformat = 2\n", 2, "format", "not supported"},
                    TBadFile{"NoEquals", "[module]\nremote_id A7\n", 2, "", "not a \"key = value\" line"},
                    TBadFile{"BeforeSection", "remote_id = A7\n", 1, "remote_id", "before the first section"},
                    TBadFile{"OpenHeader", "[module\n", 1, "", "without \"]\""},
                    TBadFile{"LoneCarriageReturn", "[identity]\nbios_name = a\rP0 = 00\n", 2, "", "carriage return"}),
    [](const testing::TestParamInfo<TBadFile>& Info) { return std::string(Info.param.Name); });

// Only a regular file within the limit is read; anything else is refused by
// name before a byte of it is read.
TEST(ConfigFile, FilesThatAreNoConfigurationAreRefusedByName)
{
    const test_support::TScratchFolder Folder;
    const std::string Large = Folder.Write("large.ini", "");
    std::filesystem::resize_file(Large, ConfigFileLimit + 1);
    const std::vector<std::pair<std::string, std::string>> Cases{
        {"/nonexistent/folder/x.ini", "cannot be read"},
        {Large, "is larger than the limit of 1 MiB"},
        {Folder.Path(""), "is a directory"},
        {"/dev/zero", "is not a regular file"},
    };
    for (const auto& [Path, Reason] : Cases) {
        try {
            LoadConfigFile(Path);
            ADD_FAILURE() << "accepted " << Path;
        } catch (const EConfigFile& Error) {
            EXPECT_EQ(std::string(Error.what()).rfind(Path + ": " + Reason, 0), 0u) << Error.what();
        }
    }
}

TEST(ConfigFile, ByteOrderMarkIsNoPartOfTheFirstLine)
{
    const test_support::TScratchFolder Folder;
    EXPECT_EQ(RequireComplete(LoadConfigFile(Folder.Write("bom.ini", "\xEF\xBB\xBF" + CompleteText())), "bom.ini"),
              Sample);
}

// A huge value is quoted in part: the message names it without repeating it.
TEST(ConfigFile, MessagesQuoteAtMostEightyCharacters)
{
    for (const std::string& Key : {std::string("remote_id"), std::string(10'000'000, 'k')}) {
        try {
            ParseConfigText("[module]\n" + Key + " = " + std::string(10'000'000, 'F') + "\n", "big.ini");
            FAIL() << "accepted a 10 MB value";
        } catch (const EConfigFile& Error) {
            EXPECT_LT(std::string(Error.what()).size(), 400u);
            EXPECT_NE(std::string(Error.what()).find("\"" + std::string(80, Key.size() > 9 ? 'k' : 'F') + "\"..."),
                      std::string::npos);
        }
    }
}

}  // namespace
