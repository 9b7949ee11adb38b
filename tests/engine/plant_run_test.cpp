// SPDX-License-Identifier: MIT
// Plant work on one loop against simulated modules on pseudo-terminals:
// what each row ends with, what reaches each module's line, and what a stop
// leaves.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "main/reports/plant_report.h"
#include "main/engine/plant_run.h"
#include "main/files/config_file.h"
#include "sim/module_simulator.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

TModuleConfig ConfigOf(int Index)
{
    const auto Byte = [Index](int Offset) { return static_cast<uint8_t>(Index * 7 + Offset); };
    return {static_cast<uint8_t>(0x10 + Index),
            3,
            {Byte(1), Byte(2), Byte(3), Byte(4), Byte(5)},
            {Byte(101), Byte(102), Byte(103), Byte(104), Byte(105)}};
}

sim::TSimulatorOptions HoldingConfig(const TModuleConfig& Config)
{
    sim::TSimulatorOptions Options;
    Options.State.RemoteId = Config.RemoteId;
    Options.State.BaudIndex = Config.BaudIndex;
    std::copy(Config.Direction.begin(), Config.Direction.end(), Options.State.Directions.begin());
    std::copy(Config.PowerOnDefault.begin(), Config.PowerOnDefault.end(), Options.State.Defaults.begin());
    return Options;
}

// Writes (mode 1) among the frames a module received.
std::size_t WriteFrames(const sim::TModuleSimulator& Module)
{
    const std::vector<std::string> Frames = Module.Requests();
    return static_cast<std::size_t>(
        std::count_if(Frames.begin(), Frames.end(), [](const std::string& F) { return F.size() > 4 && F[4] == '1'; }));
}

// How long a row waits for a module's answer: a silent module's row takes
// this long, and a simulator answers well within it on a loaded machine.
constexpr std::chrono::milliseconds AnswerWait{3000};

TPlantOptions For(TPlantTask Task, std::size_t Jobs = 0, bool DryRun = false)
{
    TPlantOptions Options;
    Options.Task = Task;
    Options.Jobs = Jobs;
    Options.DryRun = DryRun;
    Options.ProbeWait = AnswerWait;
    return Options;
}

class PlantRun : public testing::Test {
protected:
    // Module Index holds ConfigOf(Index), changed by Change when given.
    sim::TModuleSimulator& AddModule(int Index, void (*Change)(sim::TSimulatorOptions&) = nullptr)
    {
        sim::TSimulatorOptions Options = HoldingConfig(ConfigOf(Index));
        if (Change != nullptr)
            Change(Options);
        Modules_.push_back(std::make_unique<sim::TModuleSimulator>(std::move(Options)));
        Modules_.back()->Start();
        return *Modules_.back();
    }

    TPlantModule Row(int Index, const std::string& Name) const
    {
        return {Name, Modules_[static_cast<std::size_t>(Index)]->DevicePath(), "cabinet", ConfigOf(Index)};
    }

    std::vector<TPlantRow> Run(std::vector<TPlantModule> Rows, TPlantOptions Options,
                               std::function<void(const TPlantRow&, TEpollLoop&)> Watch = {})
    {
        Options.ReplyWait = AnswerWait;
        Options.BackupFolder = Scratch_.Path("backups");
        TPlantRun Plant(std::move(Rows), Options);
        TEpollLoop Loop;
        Plant.OnRowChanged = [&](std::size_t Index) {
            if (Watch)
                Watch(Plant.Rows()[Index], Loop);
        };
        Plant.Run(Loop);
        Summary_ = Plant.Summary();
        return Plant.Rows();
    }

    test_support::TScratchFolder Scratch_;
    std::vector<std::unique_ptr<sim::TModuleSimulator>> Modules_;
    TPlantSummary Summary_;
};

void FlipP0Direction(sim::TSimulatorOptions& Options)
{
    Options.State.Directions[0] ^= 0xFF;
}
void SilentFromTheThird(sim::TSimulatorOptions& Options)
{
    Options.Faults.SilentFromRequest = 3;
}
void SilentFromTheTwentieth(sim::TSimulatorOptions& Options)
{
    Options.Faults.SilentFromRequest = 20;  // the read's 14, then six of the writes
}

TEST_F(PlantRun, AuditNamesEachModulesStateAndWritesNothing)
{
    AddModule(0);
    AddModule(1, FlipP0Direction);
    AddModule(2, SilentFromTheThird);
    const std::vector<TPlantRow> Rows = Run({Row(0, "a"), Row(1, "b"), Row(2, "c")}, For(TPlantTask::Audit));

    EXPECT_EQ(Rows[0].Outcome, TPlantOutcome::Ok);
    EXPECT_EQ(Rows[0].RemoteId, 0x10);
    ASSERT_EQ(Rows[1].Outcome, TPlantOutcome::Differs);
    ASSERT_EQ(Rows[1].Differences.size(), 1u);
    const TConfigField P0 = PortField(TPortGrid::Direction, 0);
    EXPECT_EQ(PlantRowDetail(Rows[1]), "direction.P0: file " + ModuleConfigFieldValue(ConfigOf(1), P0) + ", module " +
                                           ModuleConfigFieldValue(*Rows[1].Held, P0));
    EXPECT_EQ(Rows[2].Outcome, TPlantOutcome::NoReply);
    EXPECT_EQ(PlantRowDetail(Rows[2]), "no reply to read Remote ID");
    EXPECT_EQ(PlantSummaryText(Summary_), "3 modules: 1 ok, 1 differs, 1 unreachable");
    for (const auto& Module : Modules_)
        EXPECT_EQ(WriteFrames(*Module), 0u);
}

TEST_F(PlantRun, RowsOnOnePortRunOneAfterTheOtherAndJobsBoundTheLines)
{
    AddModule(0);
    AddModule(1);
    std::size_t Running = 0, MostRunning = 0;
    const std::vector<TPlantRow> Rows = Run({Row(0, "a"), Row(0, "again"), Row(1, "b")}, For(TPlantTask::Audit, 1),
                                            [&](const TPlantRow& Row, TEpollLoop&) {
                                                Running += Row.Outcome == TPlantOutcome::Running ? 1 : -1;
                                                MostRunning = std::max(MostRunning, Running);
                                            });
    EXPECT_EQ(MostRunning, 1u);
    for (const TPlantRow& Row : Rows)
        EXPECT_EQ(Row.Outcome, TPlantOutcome::Ok) << Row.Module.Name;
    // Each row's read went out whole before the next row's began.
    const std::vector<std::string> Frames = Modules_[0]->Requests();
    ASSERT_EQ(Frames.size(), 28u);
    EXPECT_EQ(Frames[0], Frames[14]);
}

TEST_F(PlantRun, ApplyKeepsABackupWritesOnlyWhatDiffersAndSaysWhatAnUnfinishedWriteLeft)
{
    AddModule(0);
    AddModule(1, FlipP0Direction);
    AddModule(2, [](sim::TSimulatorOptions& O) {
        FlipP0Direction(O);
        SilentFromTheTwentieth(O);
    });
    const std::vector<TPlantRow> Rows =
        Run({Row(0, "same"), Row(1, "differs"), Row(2, "goes silent")}, For(TPlantTask::Apply));

    EXPECT_EQ(Rows[0].Outcome, TPlantOutcome::Unchanged);
    EXPECT_EQ(WriteFrames(*Modules_[0]), 0u);

    ASSERT_EQ(Rows[1].Outcome, TPlantOutcome::Written);
    EXPECT_EQ(Rows[1].ReadBack, ConfigOf(1));
    const TModuleConfig Backup = RequireComplete(LoadConfigFile(Rows[1].BackupFile), Rows[1].BackupFile);
    EXPECT_EQ(Backup, *Rows[1].Held);
    EXPECT_NE(Backup, ConfigOf(1)) << "the backup holds the configuration from before the write";

    ASSERT_EQ(Rows[2].Outcome, TPlantOutcome::NoReply);
    ASSERT_TRUE(Rows[2].Write);
    EXPECT_EQ(Rows[2].Write->WrittenFields().size(), 5u);
    EXPECT_EQ(PlantRowHeld(Rows[2]).substr(0, 52), "written before it ended: remote_id, baud, direction.");
    ASSERT_TRUE(Rows[2].Write->UnconfirmedField());
    EXPECT_EQ(ModuleConfigFieldName(*Rows[2].Write->UnconfirmedField()), "direction.P4");
}

TEST_F(PlantRun, ABackupStaysInsideItsFolderWhateverTheModulesName)
{
    AddModule(0);
    std::filesystem::create_directory(Scratch_.Path("backups"));
    const std::vector<TPlantRow> Rows = Run({Row(0, "../outside/x")}, For(TPlantTask::Backup));
    ASSERT_EQ(Rows[0].Outcome, TPlantOutcome::Ok) << Rows[0].Reason;
    EXPECT_EQ(Rows[0].BackupFile, Scratch_.Path("backups") + "/_.-outside-x.ini");
    EXPECT_EQ(RequireComplete(LoadConfigFile(Rows[0].BackupFile), "backup"), ConfigOf(0));
}

TEST_F(PlantRun, DryRunShowsTheChangesAndSendsNoWrite)
{
    AddModule(0, FlipP0Direction);
    const std::vector<TPlantRow> Rows = Run({Row(0, "a")}, For(TPlantTask::Apply, 0, true));
    EXPECT_EQ(Rows[0].Outcome, TPlantOutcome::Differs);
    EXPECT_EQ(Rows[0].Differences.size(), 1u);
    EXPECT_EQ(WriteFrames(*Modules_[0]), 0u);
    EXPECT_FALSE(std::filesystem::exists(Scratch_.Path("backups")));
}

TEST_F(PlantRun, AStopLetsTheRunningRowsEndAndStartsNothingNew)
{
    AddModule(0);
    AddModule(1);
    // The first row to start asks to stop: it ends after its request on the
    // line, the row after it on the same port and the other line never start.
    bool Asked = false;
    const std::vector<TPlantRow> Rows = Run({Row(0, "a"), Row(0, "a again"), Row(1, "b")}, For(TPlantTask::Audit, 1),
                                            [&](const TPlantRow& Row, TEpollLoop& Loop) {
                                                if (!Asked && Row.Outcome == TPlantOutcome::Running) {
                                                    Asked = true;
                                                    Loop.RequestStop();
                                                }
                                            });
    EXPECT_EQ(Rows[0].Outcome, TPlantOutcome::Stopped);
    EXPECT_LE(Modules_[0]->Requests().size(), 1u);
    for (std::size_t Index : {1u, 2u}) {
        EXPECT_EQ(Rows[Index].Outcome, TPlantOutcome::Stopped);
        EXPECT_EQ(Rows[Index].Reason, "not started");
    }
    EXPECT_EQ(Modules_[1]->Requests().size(), 0u);
}

TEST_F(PlantRun, AnEndAlreadyPassedStartsNoRowAndSendsNothing)
{
    AddModule(0);
    AddModule(1);
    TPlantOptions Options = For(TPlantTask::Audit);
    Options.EndBy = std::chrono::steady_clock::now();
    const std::vector<TPlantRow> Rows = Run({Row(0, "a"), Row(0, "a again"), Row(1, "b")}, Options);
    for (const TPlantRow& Row : Rows) {
        EXPECT_EQ(Row.Outcome, TPlantOutcome::Stopped);
        EXPECT_EQ(Row.Reason, "not started");
    }
    EXPECT_EQ(Modules_[0]->Requests().size() + Modules_[1]->Requests().size(), 0u);
}

TEST_F(PlantRun, FindNamesWhoAnswersAndWhoDoesNot)
{
    AddModule(0);
    AddModule(1, [](sim::TSimulatorOptions& O) { O.Faults.SilentFromRequest = 1; });
    const std::vector<TPlantRow> Rows = Run({{"", Modules_[0]->DevicePath(), "", {}},
                                             {"", Modules_[1]->DevicePath(), "", {}},
                                             {"", Scratch_.Path("no-such-device"), "", {}}},
                                            For(TPlantTask::Find));
    EXPECT_EQ(Rows[0].Outcome, TPlantOutcome::Found);
    EXPECT_EQ(Rows[0].RemoteId, 0x10);
    EXPECT_EQ(Rows[1].Outcome, TPlantOutcome::NoAnswer);
    EXPECT_EQ(Rows[2].Outcome, TPlantOutcome::PortError);
}

}  // namespace
