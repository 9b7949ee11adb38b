// SPDX-License-Identifier: MIT
// The journal of changes kept by varnolink against the module simulator on a
// pseudo-terminal: a write leaves its intent and its end with the values
// before and after and the reason; a write killed between its first and its
// last write frame still leaves its intent; 'journal' lists both; apply and
// commission record each module they write.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "main/files/journal.h"
#include "sim/module_simulator.h"
#include "sim/plant_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/cli/json_output.h"
#include "tests/cli/varnolink_program.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/started_simulator.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;
using cli_test::Program;
using cli_test::TFinished;

const std::string WantedFile = "[module]\nremote_id = A7\nbaud = 9600\n"
                               "[direction]\nP0 = 5A\nP1 = 01\nP2 = 02\nP4 = 04\nP5 = 08\n"
                               "[power_on_default]\nP0 = FE\nP1 = 10\nP2 = 20\nP4 = 40\nP5 = 80\n";

class VarnolinkJournal : public cli_test::TStateInScratchFolder {
protected:
    void SetUp() override
    {
        TStateInScratchFolder::SetUp();
        ::unsetenv("VARNOLINK_JOURNAL");
        Simulator_ = test_support::StartSimulator();
    }

    std::vector<TJournalChange> Changes()
    {
        std::vector<std::string> Skipped;
        std::vector<TJournalChange> Found = ReadJournal(Folder_.Path("state/varnolink/journal.jsonl"), {}, &Skipped);
        EXPECT_TRUE(Skipped.empty()) << Skipped.front();
        return Found;
    }

    std::vector<std::string> WriteArguments(const std::string& Reason)
    {
        return {"write", "-p", Simulator_->DevicePath(), Folder_.Write("w.ini", WantedFile), "--reason", Reason};
    }

    std::unique_ptr<sim::TModuleSimulator> Simulator_;
};

TEST_F(VarnolinkJournal, AWriteLeavesItsIntentAndItsEndAndJournalListsThem)
{
    const TFinished Run = cli_test::Run(Program, WriteArguments("CHG-7 new press"));
    ASSERT_EQ(Run.ExitCode, 0) << Run.Err;
    const std::vector<TJournalChange> Found = Changes();
    ASSERT_EQ(Found.size(), 1u);
    const TJournalRecord& Intent = Found[0].Intent;
    EXPECT_EQ(Intent.Command, "write");
    EXPECT_EQ(Intent.Port, Simulator_->DevicePath());
    EXPECT_EQ(Intent.Reason, "CHG-7 new press");
    EXPECT_EQ(Intent.RemoteId, "01");
    EXPECT_FALSE(Intent.BiosName.empty());
    EXPECT_FALSE(test_support::TScratchFolder::Read(Intent.Backup).empty()) << Intent.Backup;
    ASSERT_FALSE(Intent.Fields.empty());
    EXPECT_EQ(Intent.Fields[0], (TJournalField{"remote_id", "01", "A7"}));
    ASSERT_TRUE(Found[0].End.has_value());
    EXPECT_EQ(Found[0].End->Ending, "written");
    EXPECT_EQ(Found[0].End->Written.size(), Intent.Fields.size());

    const TFinished Text = cli_test::Run(Program, {"journal", "-p", Simulator_->DevicePath()});
    EXPECT_EQ(Text.ExitCode, 0);
    EXPECT_NE(Text.Out.find("write  " + Simulator_->DevicePath()), std::string::npos) << Text.Out;
    EXPECT_NE(Text.Out.find("remote_id 01->A7"), std::string::npos) << Text.Out;
    EXPECT_NE(Text.Out.find("reason: CHG-7 new press"), std::string::npos) << Text.Out;
    const QJsonObject Listed = cli_test::Json(cli_test::Run(Program, {"journal", "--json"}));
    const QJsonArray Listing = Listed["changes"].toArray();
    ASSERT_EQ(Listing.size(), 1);
    EXPECT_EQ(Listing[0]["end"]["ending"].toString(), "written");
    EXPECT_TRUE(cli_test::Json(cli_test::Run(Program, {"journal", "--json", "--since", "2999-01-01"}))["changes"]
                    .toArray()
                    .isEmpty());
}

// The module stops answering at the second write frame; the process is
// killed once that frame has reached the module, so it dies between the
// first and the last write frame with nothing but the intent on disk.
TEST_F(VarnolinkJournal, TheIntentSurvivesAKillBetweenTheFirstAndTheLastWriteFrame)
{
    ASSERT_EQ(cli_test::Run(Program, WriteArguments("first")).ExitCode, 0);
    const std::vector<std::string> Frames = Simulator_->Requests();
    std::size_t FirstWrite = 0;
    while (FirstWrite < Frames.size() && Frames[FirstWrite][4] != '1')
        ++FirstWrite;
    ASSERT_LT(FirstWrite, Frames.size());

    Simulator_->ClearRequests();
    sim::TFaults SilentAtTheSecondWrite;
    SilentAtTheSecondWrite.SilentFromRequest = FirstWrite + 2;
    Simulator_->SetFaults(SilentAtTheSecondWrite);
    cli_test::TChildProcess Child(Program, WriteArguments("CHG-8 killed"));
    ASSERT_TRUE(Simulator_->WaitForRequests(FirstWrite + 2, 20s));
    EXPECT_EQ(Simulator_->Requests()[FirstWrite + 1][4], '1') << "the kill lands among the writes";
    Child.Signal(SIGKILL);
    EXPECT_EQ(Child.Finish().ExitCode, 128 + SIGKILL);

    const std::vector<TJournalChange> Found = Changes();
    ASSERT_EQ(Found.size(), 2u);
    EXPECT_EQ(Found[1].Intent.Reason, "CHG-8 killed");
    EXPECT_FALSE(Found[1].End.has_value());
    EXPECT_EQ(Found[1].Intent.Fields[0], (TJournalField{"remote_id", "A7", "A7"}));
    EXPECT_FALSE(test_support::TScratchFolder::Read(Found[1].Intent.Backup).empty());
    const TFinished Text = cli_test::Run(Program, {"journal"});
    EXPECT_NE(Text.Out.find("no end recorded"), std::string::npos) << Text.Out;
}

TEST_F(VarnolinkJournal, ADamagedLineIsNamedAndTheRestListed)
{
    ASSERT_EQ(cli_test::Run(Program, WriteArguments("CHG-9")).ExitCode, 0);
    const std::string Path = Folder_.Path("journal.jsonl");
    Folder_.Write("journal.jsonl",
                  "{\"id\":\n" + test_support::TScratchFolder::Read(Folder_.Path("state/varnolink/journal.jsonl")));
    const TFinished Text = cli_test::Run(Program, {"journal", "--journal", Path});
    EXPECT_EQ(Text.ExitCode, 0);
    EXPECT_NE(Text.Err.find(Path + ":1: "), std::string::npos) << Text.Err;
    EXPECT_NE(Text.Out.find("reason: CHG-9"), std::string::npos) << Text.Out;
}

// A plant's apply records every module it writes, the intents of a round
// flushed together; a module that holds its file already gets no record.
TEST_F(VarnolinkJournal, ApplyRecordsEachModuleItWrites)
{
    sim::TPlantOptions Options;
    Options.Count = 3;
    Options.LineTiming = false;
    sim::TPlantSimulator Plant(std::move(Options));
    sim::WritePlantInventory(Plant, Folder_.Path(""));
    const std::string Kept = Folder_.Path("kept");
    ASSERT_EQ(cli_test::Run(Program, {"backup", Folder_.Path("plant.csv"), "-o", Kept}).ExitCode, 0);
    for (const std::size_t Number : {1u, 3u})
        Plant.SetState(Number, sim::PlantDifferingState(Number));

    const std::string Journal = Folder_.Path("plant-journal.jsonl");
    const TFinished Apply =
        cli_test::Run(Program, {"apply", Kept + "/plant.csv", "--reason", "CHG-P", "--journal", Journal});
    ASSERT_EQ(Apply.ExitCode, 0) << Apply.Err;
    std::vector<std::string> Skipped;
    const std::vector<TJournalChange> Found = ReadJournal(Journal, {}, &Skipped);
    ASSERT_EQ(Found.size(), 2u);
    for (const TJournalChange& Change : Found) {
        EXPECT_EQ(Change.Intent.Command, "apply");
        EXPECT_EQ(Change.Intent.Reason, "CHG-P");
        EXPECT_FALSE(Change.Intent.Backup.empty());
        ASSERT_TRUE(Change.End.has_value());
        EXPECT_EQ(Change.End->Ending, "written");
    }
    EXPECT_NE(Found[0].Intent.Port, Found[1].Intent.Port);
}

// Commissioning records every module it gives an ID, each with its own
// intent and end.
TEST(VarnolinkJournalOfCommissioning, EachModuleOfTheSeriesHasItsRecord)
{
    test_support::TScratchFolder Folder;
    ::setenv("XDG_STATE_HOME", Folder.Path("state").c_str(), 1);
    sim::TSimulatorOptions Options;
    Options.Series = {true, 1500ms, 0, 0};
    sim::TModuleSimulator Series(Options);
    Series.Start();
    const std::string Journal = Folder.Path("commission.jsonl");
    const TFinished Run =
        cli_test::Run(Program, {"commission", "-p", Series.DevicePath(), Folder.Write("t.ini", WantedFile), "--ids",
                                "01-02", "--reason", "CHG-C", "--journal", Journal});
    ASSERT_EQ(Run.ExitCode, 0) << Run.Err;
    std::vector<std::string> Skipped;
    const std::vector<TJournalChange> Found = ReadJournal(Journal, {}, &Skipped);
    ASSERT_EQ(Found.size(), 2u);
    for (std::size_t I = 0; I < Found.size(); ++I) {
        EXPECT_EQ(Found[I].Intent.Command, "commission");
        EXPECT_EQ(Found[I].Intent.Reason, "CHG-C");
        EXPECT_EQ(Found[I].Intent.Fields.at(0).After, "0" + std::to_string(I + 1));
        ASSERT_TRUE(Found[I].End.has_value());
        EXPECT_EQ(Found[I].End->Ending, "written");
    }
}

}  // namespace
