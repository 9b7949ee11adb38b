// SPDX-License-Identifier: MIT
// The safety ends of a plant apply against a simulated module: a write the
// module does not keep shows in the read-back, and a module whose backup
// cannot be kept gets no write frame on its line.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "main/reports/plant_report.h"
#include "main/engine/plant_run.h"
#include "sim/module_simulator.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

// What every row wants; the module holds it with direction P0 inverted.
const TModuleConfig Wanted{0x10, 3, {0x01, 0x02, 0x03, 0x04, 0x05}, {0x65, 0x66, 0x67, 0x68, 0x69}};

class PlantSafety : public testing::Test {
protected:
    void StartModule(const sim::TFaults& Faults = {})
    {
        sim::TSimulatorOptions Options;
        Options.State.RemoteId = Wanted.RemoteId;
        Options.State.BaudIndex = Wanted.BaudIndex;
        std::copy(Wanted.Direction.begin(), Wanted.Direction.end(), Options.State.Directions.begin());
        std::copy(Wanted.PowerOnDefault.begin(), Wanted.PowerOnDefault.end(), Options.State.Defaults.begin());
        Options.State.Directions[0] ^= 0xFF;
        Options.Faults = Faults;
        Module_ = std::make_unique<sim::TModuleSimulator>(std::move(Options));
        Module_->Start();
    }

    TPlantRow Apply(const std::string& BackupFolder)
    {
        TPlantOptions Options;
        Options.Task = TPlantTask::Apply;
        Options.ReplyWait = std::chrono::milliseconds(300);
        Options.BackupFolder = BackupFolder;
        TPlantRun Plant({{"press", Module_->DevicePath(), "hall", Wanted}}, Options);
        TEpollLoop Loop;
        Plant.Run(Loop);
        return Plant.Rows().front();
    }

    // The write frames (mode 1) the module received.
    std::vector<std::string> WriteFrames() const
    {
        std::vector<std::string> Writes;
        for (const std::string& Frame : Module_->Requests())
            if (Frame.size() > 4 && Frame[4] == '1')
                Writes.push_back(Frame);
        return Writes;
    }

    test_support::TScratchFolder Scratch_;
    std::unique_ptr<sim::TModuleSimulator> Module_;
};

TEST_F(PlantSafety, AWriteTheModuleDoesNotKeepEndsAsDiffersAfterWrite)
{
    sim::TFaults Faults;
    Faults.UnstoredCodes = {4};  // direction P0
    StartModule(Faults);
    const TPlantRow Row = Apply(Scratch_.Path("backups"));

    ASSERT_EQ(Row.Outcome, TPlantOutcome::DiffersAfterWrite)
        << PlantOutcomeText(Row.Outcome) << ": " << PlantRowDetail(Row);
    EXPECT_STREQ(PlantOutcomeText(Row.Outcome), "differs after write");
    const std::vector<std::string> Writes = WriteFrames();
    EXPECT_TRUE(std::any_of(Writes.begin(), Writes.end(), [](const std::string& F) {
        return F.starts_with("*04:1,01=00\r");
    })) << "the wanted direction went out on the line";
    ASSERT_TRUE(Row.Write);
    EXPECT_EQ(Row.Write->End, TChainEnd::Differs);
    // The differences are those after the write: only the field not kept,
    // with what the module still holds.
    ASSERT_TRUE(Row.ReadBack);
    EXPECT_EQ(Row.ReadBack->Direction[0], 0xFE);
    ASSERT_EQ(Row.Differences.size(), 1u);
    EXPECT_EQ(ModuleConfigFieldName(Row.Differences[0].Field), "direction.P0");
    EXPECT_EQ(Row.Differences[0].WantedText(), ModuleConfigFieldValue(Wanted, Row.Differences[0].Field));
    EXPECT_EQ(Row.Differences[0].HeldText(), ModuleConfigFieldValue(*Row.ReadBack, Row.Differences[0].Field));
    EXPECT_FALSE(Row.BackupFile.empty());
}

// Backup folders that cannot be made, by what stands in their way.
struct TUnkeptBackup {
    const char* Name;
    std::string (*Folder)(const test_support::TScratchFolder& Scratch);
};

class PlantSafetyUnkeptBackup : public PlantSafety, public testing::WithParamInterface<TUnkeptBackup> {};

TEST_P(PlantSafetyUnkeptBackup, IsAFileErrorAndPutsNoWriteFrameOnTheLine)
{
    StartModule();
    const TPlantRow Row = Apply(GetParam().Folder(Scratch_));

    ASSERT_EQ(Row.Outcome, TPlantOutcome::FileError) << PlantOutcomeText(Row.Outcome) << ": " << PlantRowDetail(Row);
    EXPECT_TRUE(Row.Reason.starts_with("the backup could not be written, nothing was written")) << Row.Reason;
    ASSERT_TRUE(Row.Held) << "the module was read";
    EXPECT_FALSE(Module_->Requests().empty());
    EXPECT_EQ(WriteFrames(), std::vector<std::string>{});
    EXPECT_EQ(Module_->State().Directions[0], 0xFE);
    EXPECT_FALSE(Row.Write);
}

INSTANTIATE_TEST_SUITE_P(Folders, PlantSafetyUnkeptBackup,
                         testing::Values(TUnkeptBackup{"FolderIsAFile",
                                                       [](const test_support::TScratchFolder& Scratch) {
                                                           return Scratch.Write("backups",
                                                                                "a file where the folder should be");
                                                       }},
                                         TUnkeptBackup{"FolderBelowAFile",
                                                       [](const test_support::TScratchFolder& Scratch) {
                                                           return Scratch.Write("plain", "a file") + "/backups";
                                                       }}),
                         [](const testing::TestParamInfo<TUnkeptBackup>& Info) {
                             return std::string(Info.param.Name);
                         });

}  // namespace
