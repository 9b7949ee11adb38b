// SPDX-License-Identifier: MIT
// The pieces of a commissioning run that need no module: the list of IDs,
// CSV records, and the log that says which IDs are done.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "main/files/commission_log.h"
#include "main/files/csv.h"
#include "main/files/id_list.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

using IDs = std::vector<uint8_t>;

TEST(IDList, ParsesIDsAndRangesInTheOrderGiven)
{
    const std::vector<std::pair<std::string, IDs>> Cases{
        {"01-05", {1, 2, 3, 4, 5}},
        {"1F", {0x1F}},
        {"f", {0x0F}},
        {" 0a - 0c , 01,FE-ff ", {0x0A, 0x0B, 0x0C, 0x01, 0xFE, 0xFF}},
        {"00-00", {0}},
    };
    for (const auto& [Text, Expected] : Cases)
        EXPECT_EQ(ParseIDList(Text), Expected) << Text;
    EXPECT_EQ(ParseIDList("00-FF").size(), 256u);
}

TEST(IDList, RefusesWhatIsNoList)
{
    for (const std::string Text : {"", " ", "01,", ",01", "01,,02", "1G", "100", "01-", "-05", "05-01", "01-03,02",
                                   "01 02", "0x1", "01-02-03", "+1"})
        EXPECT_THROW(ParseIDList(Text), EIDList) << '"' << Text << '"';
}

TEST(Csv, QuotesOnlyFieldsThatNeedIt)
{
    EXPECT_EQ(CsvRecord({"a", "", "b c"}), "a,,b c\r\n");
    EXPECT_EQ(CsvRecord({"x,y", "say \"hi\"", "two\r\nlines"}), "\"x,y\",\"say \"\"hi\"\"\",\"two\r\nlines\"\r\n");
    EXPECT_EQ(CsvRecord({}), "\r\n");
}

TEST(Csv, ParsesRecordsWithTheirLines)
{
    const auto Records = ParseCsv("a,\"b\"\"\r\nc\",d\r\n\ne,,\nlast");
    ASSERT_EQ(Records.size(), 4u);
    EXPECT_EQ(Records[0].Fields, (std::vector<std::string>{"a", "b\"\r\nc", "d"}));
    EXPECT_EQ(Records[1].Fields, std::vector<std::string>{""});
    EXPECT_EQ(Records[1].Line, 3u);
    EXPECT_EQ(Records[2].Fields, (std::vector<std::string>{"e", "", ""}));
    EXPECT_EQ(Records[3].Line, 5u);
    EXPECT_TRUE(ParseCsv("").empty());

    const std::vector<std::string> Awkward{"", ",", "\"", "\r\n", " x ", "\n\n"};
    const auto Back = ParseCsv(CsvRecord(Awkward) + CsvRecord({"z"}));
    ASSERT_EQ(Back.size(), 2u);
    EXPECT_EQ(Back[0].Fields, Awkward);
    EXPECT_EQ(Back[1].Line, 5u);
}

TEST(Csv, RefusesBrokenQuoting)
{
    const std::vector<std::pair<std::string, std::size_t>> Cases{
        {"a,b\"c", 1}, {"\"ab\"c,d", 1}, {"x\r\n\"open\n\nfield", 2}, {"a\rb", 1}, {"ok\n\"a\"\"\"x", 2}};
    for (const auto& [Text, Line] : Cases) {
        try {
            ParseCsv(Text);
            ADD_FAILURE() << "accepted " << Text;
        } catch (const ECsv& Error) {
            EXPECT_EQ(Error.Line(), Line) << Text;
        }
    }
}

TCommissionRow Row(const std::string& ID, TCommissionResult Result, const std::string& Detail = "")
{
    return {"2026-12-08T01:02:03Z",
            "/dev/pts/3",
            "VARNOLINK I/O",
            "1.00a",
            "01",
            ID,
            Result,
            Detail,
            "01 03 00 00 F0 FF FF FF FF FF FF FF",
            "02 03 5A 00 F0 FF FF FF FF FF FF FF"};
}

std::string Header()
{
    return CsvRecord(CommissionLogColumns());
}

TEST(CommissionLogText, RowsRoundTripAndOnlyOkIDsAreDone)
{
    const std::vector<TCommissionRow> Rows{Row("02", TCommissionResult::Ok),
                                           Row("03", TCommissionResult::Mismatch, "direction.P0, baud"),
                                           Row("", TCommissionResult::NoReply, "*08:1,FF=00"),
                                           Row("03", TCommissionResult::Ok), Row("04", TCommissionResult::Interrupted)};
    std::string Text = Header();
    for (const auto& R : Rows)
        Text += CommissionLogRowText(R);
    EXPECT_NE(CommissionLogRowText(Rows[1]).find(",03,mismatch,\"direction.P0, baud\",01 03 "), std::string::npos);
    EXPECT_EQ(ParseCommissionLog(Text, "log.csv"), Rows);
    EXPECT_EQ(DoneIDs(Rows), (std::set<uint8_t>{2, 3}));
    EXPECT_TRUE(ParseCommissionLog("", "log.csv").empty());
    EXPECT_EQ(ParseCommissionLog("\r\n" + Header() + "\n" + CommissionLogRowText(Rows[0]), "l").size(), 1u);
}

std::string WithResult(std::string RowText, const std::string& Result)
{
    const auto At = RowText.find(",ok,");
    return RowText.replace(At + 1, 2, Result);
}

// A damaged row is left out and reported with its line; the rows around it
// still count. Only a file that is no log at all is refused.
TEST(CommissionLogText, SkipsDamagedRowsRefusesWhatIsNoLog)
{
    const std::string Good = CommissionLogRowText(Row("02", TCommissionResult::Ok));
    const std::vector<std::pair<std::string, std::string>> Cases{
        {"x,y\r\n", "log.csv:2: a row of 2 fields"},
        {"\"open\r\n", "log.csv:2: a quoted field does not end"},
        {WithResult(Good, "done"), "log.csv:2: unknown result \"done\""},
        {CommissionLogRowText(Row("2G", TCommissionResult::Ok)), "log.csv:2: id_after \"2G\""},
        {WithResult(Good, std::string(200, 'x')), "log.csv:2: unknown result \"" + std::string(80, 'x') + "\"...;"},
    };
    for (const auto& [Damaged, Message] : Cases) {
        std::vector<std::string> Skipped;
        const auto Rows = ParseCommissionLog(Header() + Damaged + Good, "log.csv", &Skipped);
        EXPECT_EQ(DoneIDs(Rows), std::set<uint8_t>{2}) << Damaged;
        ASSERT_EQ(Skipped.size(), 1u) << Damaged;
        EXPECT_EQ(Skipped[0].substr(0, Message.size()), Message);
    }
    EXPECT_THROW(ParseCommissionLog("a,b,c\r\n" + Good, "log.csv"), ECommissionLog);
}

TEST(CommissionLogText, UtcTime)
{
    using namespace std::chrono;
    EXPECT_EQ(UtcTimeText(system_clock::time_point(seconds(1'796'605'323))), "2026-12-07T01:02:03Z");
}

class CommissionLogFile : public ::testing::Test {
protected:
    static std::string Content(const std::string& Path) { return test_support::TScratchFolder::Read(Path); }

    test_support::TScratchFolder Folder_;
};

TEST_F(CommissionLogFile, HeaderOnANewFileAndRowsAppendedAcrossRuns)
{
    const std::string Path = Folder_.Path("log.csv");
    {
        TCommissionLog Log(Path);
        EXPECT_TRUE(Log.Done().empty());
        EXPECT_EQ(Content(Path), "");
        Log.Append(Row("01", TCommissionResult::Ok));
        EXPECT_EQ(Content(Path), Header() + CommissionLogRowText(Row("01", TCommissionResult::Ok)));
        Log.Append(Row("02", TCommissionResult::Mismatch));
    }
    TCommissionLog Again(Path);
    EXPECT_EQ(Again.Rows().size(), 2u);
    EXPECT_EQ(Again.Done(), std::set<uint8_t>{1});
    Again.Append(Row("02", TCommissionResult::Ok));
    EXPECT_EQ(Again.Done(), (std::set<uint8_t>{1, 2}));
    const std::string Text = Content(Path);
    EXPECT_EQ(Text.find(Header(), 1), std::string::npos) << "one header only";
    EXPECT_EQ(DoneIDs(ParseCommissionLog(Text, Path)), (std::set<uint8_t>{1, 2}));
}

// A run that ended mid-row left its last row without a line end: the next
// run reports it, skips it, and appends on a line of its own.
TEST_F(CommissionLogFile, RowCutShortIsEndedBeforeAppending)
{
    const std::string Good = CommissionLogRowText(Row("01", TCommissionResult::Ok));
    const std::string Path = Folder_.Write("cut.csv", Header() + Good + Good.substr(0, 30));
    {
        TCommissionLog Log(Path);
        EXPECT_EQ(Log.Skipped(),
                  std::vector<std::string>{Path + ":3: a row of 2 fields instead of 10; the row is skipped"});
        Log.Append(Row("02", TCommissionResult::Ok));
    }
    const TCommissionLog Again(Path);
    EXPECT_EQ(Again.Done(), (std::set<uint8_t>{1, 2}));
    EXPECT_EQ(Again.Skipped().size(), 1u);
}

// Files that are no log or too large are refused by name before any is read.
TEST_F(CommissionLogFile, RefusesDirectoriesDevicesAndOversizedFiles)
{
    const std::string Large = Folder_.Write("large.csv", "");
    std::filesystem::resize_file(Large, CommissionLogLimit + 1);
    const std::vector<std::pair<std::string, std::string>> Cases{
        {Large, "is larger than the limit of 64 MiB"},
        {Folder_.Path(""), "is a directory"},
        {"/dev/zero", "is not a regular file"},
    };
    for (const auto& [Path, Reason] : Cases) {
        try {
            TCommissionLog Log(Path);
            ADD_FAILURE() << "accepted " << Path;
        } catch (const ECommissionLog& Error) {
            EXPECT_EQ(std::string(Error.what()).rfind(Path + ": " + Reason, 0), 0u) << Error.what();
        }
    }
}

// The process's peak resident size so far, in MiB.
long PeakRssMiB()
{
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return Usage.ru_maxrss / 1024;
}

// A row of 30 million empty fields (30 MB of commas, no line end), written in
// pieces so that the test itself never holds it.
std::string WriteCommas(const std::string& Path, const std::string& Before)
{
    std::ofstream File(Path, std::ios::binary);
    File << Before;
    const std::string Piece(1 << 20, ',');
    for (int I = 0; I < 30; ++I)
        File << Piece;
    return Path;
}

// A hostile row is refused at the field limit: as the first line the file is
// no log (named with its line), after the header the row is skipped and the
// rows after it still count; either way in little memory.
TEST_F(CommissionLogFile, RowOfMillionsOfFieldsIsRefusedInBoundedMemory)
{
    const std::string Good = CommissionLogRowText(Row("03", TCommissionResult::Ok));
    const std::string First = WriteCommas(Folder_.Path("commas.csv"), "");
    const std::string Later = WriteCommas(Folder_.Path("later.csv"), Header());
    std::ofstream(Later, std::ios::binary | std::ios::app) << "\r\n" << Good;
    const long Before = PeakRssMiB();
    try {
        ReadCommissionLog(First);
        ADD_FAILURE() << "accepted a row of commas";
    } catch (const ECommissionLog& Error) {
        EXPECT_EQ(std::string(Error.what()), First + ":1: a record of more than 64 fields");
    }
    std::vector<std::string> Skipped;
    EXPECT_EQ(DoneIDs(ReadCommissionLog(Later, &Skipped)), std::set<uint8_t>{3});
    EXPECT_EQ(Skipped, std::vector<std::string>{Later + ":2: a record of more than 64 fields; the row is skipped"});
    // Two files of 30 MB are read whole (a log is read within its size
    // limit); the fields they would have made took over 1 GiB. The bound
    // leaves room for a sanitizer's freed-memory quarantine.
    EXPECT_LT(PeakRssMiB() - Before, 192);
}

TEST(Csv, RefusesRecordsBeyondTheLimits)
{
    const TCsvLimits Limits{3, 16};
    const std::vector<std::pair<std::string, std::string>> Cases{
        {"a,b,c,d\r\n", "line 1: a record of more than 3 fields"},
        {"ok\r\n" + std::string(17, 'x') + "\r\n", "line 2: a record longer than 16 bytes"},
        {"\"" + std::string(20, 'x') + "\"", "line 1: a record longer than 16 bytes"},
    };
    for (const auto& [Text, Message] : Cases) {
        try {
            ParseCsv(Text, Limits);
            ADD_FAILURE() << "accepted " << Text;
        } catch (const ECsv& Error) {
            EXPECT_EQ(std::string(Error.what()), Message);
        }
    }
    EXPECT_EQ(ParseCsv("a,b,c\r\n" + std::string(16, 'y'), Limits).size(), 2u);
}

TEST_F(CommissionLogFile, EmptyFileGetsItsHeaderOtherFilesAreRefused)
{
    const std::string Empty = Folder_.Write("empty.csv", "\r\n");
    TCommissionLog(Empty).Append(Row("05", TCommissionResult::Ok));
    EXPECT_EQ(DoneIDs(ParseCommissionLog(Content(Empty), Empty)), std::set<uint8_t>{5});

    const std::string Other = Folder_.Write("other.csv", "name,value\r\n");
    EXPECT_THROW(TCommissionLog{Other}, ECommissionLog);
    EXPECT_THROW(TCommissionLog{Folder_.Path("no/such.csv")}, ECommissionLog);
}

}  // namespace
