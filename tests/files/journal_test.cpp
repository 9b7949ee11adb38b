// SPDX-License-Identifier: MIT
// The journal of changes: records written and read back unchanged, the file
// rotated and its rotated files read too, damaged lines named and skipped,
// the filters, and the records the hook makes from how a chain ended.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "main/engine/change_journal.h"
#include "main/files/journal.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

TJournalRecord Intent(const std::string& Id, const std::string& Time, const std::string& Port)
{
    TJournalRecord Record;
    Record.Id = Id;
    Record.Time = Time;
    Record.User = "ana";
    Record.Host = "plc1";
    Record.Command = "write";
    Record.Port = Port;
    Record.BiosName = "VARNOLINK I/O \"quoted\"\\";
    Record.BiosVersion = "1.00a";
    Record.RemoteId = "A7";
    Record.Backup = "/state/backups/x.ini";
    Record.Reason = "CHG-12: new line\nsecond\t\x01\xE9";
    Record.Fields = {{"remote_id", "A7", "A8"}, {"baud", "", "57600"}};
    return Record;
}

TJournalRecord End(const std::string& Id, const std::string& Ending)
{
    TJournalRecord Record;
    Record.Id = Id;
    Record.Kind = TJournalRecordKind::End;
    Record.Time = "2026-12-10T06:00:05Z";
    Record.Ending = Ending;
    Record.Written = {"remote_id"};
    Record.Unconfirmed = {"baud"};
    Record.NotSent = {"direction.P0", "direction.P1"};
    Record.Message = "no reply";
    return Record;
}

class Journal : public testing::Test {
protected:
    std::vector<TJournalChange> Read(const TJournalFilter& Filter = {})
    {
        Skipped_.clear();
        return ReadJournal(Path_, Filter, &Skipped_);
    }

    test_support::TScratchFolder Folder_;
    std::string Path_ = Folder_.Path("state/varnolink/journal.jsonl");
    std::vector<std::string> Skipped_;
};

TEST_F(Journal, RecordsReadBackAsWrittenAndEndsJoinTheirIntent)
{
    for (const TJournalRecord& Record :
         {Intent("a", "2026-12-10T06:00:00Z", "/dev/ttyUSB0"), End("a", "unconfirmed")}) {
        const std::string Line = JournalLineText(Record);
        ASSERT_EQ(Line.back(), '\n');
        EXPECT_EQ(Line.find('\n'), Line.size() - 1) << "one record, one line";
        const std::optional<TJournalRecord> Back = ParseJournalLine(Line);
        ASSERT_TRUE(Back.has_value()) << Line;
        EXPECT_EQ(*Back, Record);
    }
    TJournalWriter Writer(Path_);  // makes the folders
    Writer.Append({Intent("a", "2026-12-10T06:00:00Z", "/dev/ttyUSB0"), Intent("b", "2026-12-10T07:00:00Z", "x")});
    Writer.Append({End("a", "written")});
    const std::vector<TJournalChange> Changes = Read();
    ASSERT_EQ(Changes.size(), 2u);
    EXPECT_EQ(Changes[0].Intent.Id, "a");
    ASSERT_TRUE(Changes[0].End.has_value());
    EXPECT_EQ(Changes[0].End->Ending, "written");
    EXPECT_FALSE(Changes[1].End.has_value()) << "an intent without an end stays listed";
    EXPECT_TRUE(Skipped_.empty());
}

TEST_F(Journal, RotatesAtItsSizeKeepsAFewFilesAndReadsThemAll)
{
    const TJournalLimits Small{2000, 2};
    TJournalWriter Writer(Path_, Small);
    const std::size_t LineSize = JournalLineText(Intent("id-00", "2026-12-10T06:00:00Z", "p")).size();
    const int Count = static_cast<int>(5 * Small.RotateBytes / LineSize);  // more than three files keep
    for (int I = 0; I < Count; ++I)
        Writer.Append(
            {Intent("id-" + std::string(I < 10 ? "0" : "") + std::to_string(I), "2026-12-10T06:00:00Z", "p")});
    for (const std::string& File : {Path_, Path_ + ".1", Path_ + ".2"})
        EXPECT_LT(test_support::TScratchFolder::Read(File).size(), Small.RotateBytes + LineSize) << File;
    EXPECT_TRUE(test_support::TScratchFolder::Read(Path_ + ".3").empty()) << "only KeepFiles rotated files";
    const std::vector<TJournalChange> Changes = ReadJournal(Path_, {}, &Skipped_, Small.KeepFiles);
    ASSERT_FALSE(Changes.empty());
    EXPECT_LT(Changes.size(), static_cast<std::size_t>(Count)) << "the oldest rotated away";
    EXPECT_GT(Changes.size(), Small.RotateBytes / LineSize) << "rotated files are read too";
    EXPECT_EQ(Changes.back().Intent.Id, "id-" + std::to_string(Count - 1));
    for (std::size_t I = 1; I < Changes.size(); ++I)
        EXPECT_LT(Changes[I - 1].Intent.Id, Changes[I].Intent.Id) << "oldest first";
}

// Writers that append and rotate at the same time (the window, the command
// line and a service) lose no record and mix no lines.
TEST_F(Journal, WritersAtOnceAcrossRotationsLoseNothing)
{
    const TJournalLimits Small{1, 200};  // every append rotates: the most contention
    constexpr int Writers = 4;
    constexpr int Each = 40;
    std::vector<std::thread> Threads;
    for (int Writer = 0; Writer < Writers; ++Writer)
        Threads.emplace_back([&, Writer] {
            TJournalWriter Journal(Path_, Small);
            for (int I = 0; I < Each; ++I)
                Journal.Append({Intent(std::to_string(Writer) + "-" + std::to_string(I), "2026-12-10T06:00:00Z", "p")});
        });
    for (std::thread& Thread : Threads)
        Thread.join();
    const std::vector<TJournalChange> Changes = ReadJournal(Path_, {}, &Skipped_, Small.KeepFiles);
    EXPECT_TRUE(Skipped_.empty()) << Skipped_.front();
    EXPECT_EQ(Changes.size(), static_cast<std::size_t>(Writers * Each));
    EXPECT_FALSE(test_support::TScratchFolder::Read(Path_ + ".2").empty()) << "it rotated meanwhile";
}

TEST_F(Journal, DamagedLinesAreNamedAndSkipped)
{
    const std::string Good = JournalLineText(Intent("a", "2026-12-10T06:00:00Z", "p"));
    const std::vector<std::pair<std::string, std::string>> Damaged = {
        {Good.substr(0, Good.size() / 2) + "\n", "not JSON"},  // cut by a crash
        {"[1,2]\n", "not a JSON object"},
        {"{\"id\":\"x\"}\n", "not a journal record"},
        {std::string(JournalLineLimit + 1, 'x') + "\n", "longer than"},
        {std::string(40, '[') + "\n", "nested too deeply"},
    };
    std::string Text = Good;
    for (const auto& [Line, Why] : Damaged)
        Text += Line;
    Text += JournalLineText(End("a", "written"));
    const TJournalWriter MakesTheFolders(Path_);
    Folder_.Write("state/varnolink/journal.jsonl", Text);
    const std::vector<TJournalChange> Changes = Read();
    ASSERT_EQ(Changes.size(), 1u);
    EXPECT_TRUE(Changes[0].End.has_value());
    ASSERT_EQ(Skipped_.size(), Damaged.size());
    for (std::size_t I = 0; I < Damaged.size(); ++I) {
        EXPECT_EQ(Skipped_[I].rfind(Path_ + ":" + std::to_string(I + 2) + ": ", 0), 0u) << Skipped_[I];
        EXPECT_NE(Skipped_[I].find(Damaged[I].second), std::string::npos) << Skipped_[I];
    }
}

TEST_F(Journal, SinceAndPortChooseTheChanges)
{
    TJournalWriter(Path_).Append({Intent("a", "2026-12-09T23:00:00Z", "/dev/ttyUSB0"),
                                  Intent("b", "2026-12-10T06:00:00Z", "/dev/ttyUSB1"),
                                  Intent("c", "2026-12-10T07:00:00Z", "/dev/ttyUSB0")});
    const struct {
        TJournalFilter Filter;
        std::vector<std::string> Ids;
    } Cases[] = {
        {{}, {"a", "b", "c"}},
        {{"2026-12-10", ""}, {"b", "c"}},
        {{"2026-12-10T06:30:00Z", ""}, {"c"}},
        {{"", "/dev/ttyUSB0"}, {"a", "c"}},
        {{"", "ttyUSB1"}, {"b"}},
        {{"2026-12-10", "ttyUSB0"}, {"c"}},
        {{"2027", ""}, {}},
    };
    for (const auto& Case : Cases) {
        std::vector<std::string> Ids;
        for (const TJournalChange& Change : Read(Case.Filter))
            Ids.push_back(Change.Intent.Id);
        EXPECT_EQ(Ids, Case.Ids) << Case.Filter.Since << " " << Case.Filter.Port;
    }
}

// How a chain ended, in the end record's words.
TEST_F(Journal, EndRecordsSayWhatTheModuleHolds)
{
    const TChainStep WriteId{2, TRequestMode::Write};
    const TChainStep WriteBaud{3, TRequestMode::Write};
    const TChainStep WriteP0{4, TRequestMode::Write};
    const auto Ended = [](TChainEnd How, std::vector<TChainStep> Acknowledged, std::optional<TChainStep> OnTheLine,
                          std::vector<TChainStep> NotSent) {
        TChainResult Result;
        Result.End = How;
        Result.Acknowledged = std::move(Acknowledged);
        Result.OnTheLine = OnTheLine;
        Result.NotSent = std::move(NotSent);
        return Result;
    };
    const struct {
        TChainResult Result;
        std::string Ending;
    } Cases[] = {
        {Ended(TChainEnd::Completed, {WriteId, WriteBaud, WriteP0}, {}, {}), "written"},
        {Ended(TChainEnd::Differs, {WriteId, WriteBaud, WriteP0}, {}, {}), "differs"},
        {Ended(TChainEnd::NoReply, {WriteId}, WriteBaud, {WriteP0}), "unconfirmed"},
        {Ended(TChainEnd::DeviceLost, {WriteId, WriteBaud}, {}, {WriteP0}), "partly written"},
        {Ended(TChainEnd::Stopped, {}, {}, {WriteId, WriteBaud, WriteP0}), "not sent"},
    };
    for (const auto& Case : Cases) {
        const TJournalRecord Record = EndRecord("x", Case.Result);
        EXPECT_EQ(Record.Ending, Case.Ending);
        EXPECT_EQ(Record.Written, ModuleConfigFieldNames(Case.Result.WrittenFields()));
        EXPECT_EQ(Record.NotSent, ModuleConfigFieldNames(Case.Result.UnsentFields()));
    }
    EXPECT_EQ(EndRecord("x", Cases[2].Result).Unconfirmed, std::vector<std::string>{"baud"});
    TChangeStart Start;
    Start.Command = "write";
    Start.Before = TModuleConfig{0xA7, 3, {}, {}};
    Start.After = TModuleConfig{0xA8, 3, {}, {}};
    const TJournalRecord Record = IntentRecord(Start);
    EXPECT_EQ(Record.RemoteId, "A7");
    ASSERT_EQ(Record.Fields.size(), static_cast<std::size_t>(ModuleConfigFieldCount));
    EXPECT_EQ(Record.Fields[0], (TJournalField{"remote_id", "A7", "A8"}));
}

}  // namespace
