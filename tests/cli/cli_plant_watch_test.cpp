// SPDX-License-Identifier: MIT
// A plant audited unattended: a second run on an inventory is refused while
// the first holds it, --deadline ends a run whose modules never answer, and a
// port another program holds is reported busy with its holder while the
// other modules are audited.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "cport/unique_fd.h"
#include "sim/module_simulator.h"
#include "sim/plant_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/cli/json_output.h"
#include "tests/cli/varnolink_program.h"
#include "tests/support/scratch_folder.h"

namespace {

using namespace std::chrono_literals;
using cli_test::Json;
using cli_test::Program;
using cli_test::TFinished;

std::vector<std::string> Results(const QJsonObject& Object)
{
    std::vector<std::string> List;
    for (const QJsonValue& Row : Object["rows"].toArray())
        List.push_back(Row["result"].toString().toStdString());
    return List;
}

class PlantWatch : public testing::Test {
protected:
    // Module 1 answers; module 2 never does, and stands on Silent rows of
    // the inventory, one after the other on its line.
    void SetUp() override
    {
        varnolink::sim::TPlantOptions Options;
        Options.Count = 2;
        Options.LineTiming = false;
        Options.Silent = {2};
        Plant_ = std::make_unique<varnolink::sim::TPlantSimulator>(Options);
        varnolink::sim::WritePlantInventory(*Plant_, Scratch_.Path(""));
    }
    std::string Inventory(std::size_t SilentRows)
    {
        std::string Text = "name,port,config\nm1," + Plant_->PortName(1) + ",module-001.ini\n";
        for (std::size_t Row = 1; Row <= SilentRows; ++Row)
            Text += "m2-" + std::to_string(Row) + "," + Plant_->PortName(2) + ",module-002.ini\n";
        return Scratch_.Write("watched.csv", Text);
    }

    test_support::TScratchFolder Scratch_;
    std::unique_ptr<varnolink::sim::TPlantSimulator> Plant_;
};

TEST_F(PlantWatch, ASecondRunOnTheInventoryIsRefusedNamingTheFirstUntilItEnds)
{
    const std::string Plant = Inventory(1);
    cli_test::TChildProcess First(Program, {"audit", Plant, "--json"});
    // The lock is taken before any port opens: a request at the silent
    // module means the first run holds it.
    ASSERT_TRUE(Plant_->WaitForRequests(2, 1, 10s)) << "the first run never reached the plant";

    const TFinished Second = cli_test::Run(Program, {"audit", Plant, "--json"});
    EXPECT_EQ(Second.ExitCode, 5);
    EXPECT_EQ(Json(Second)["error"].toObject()["kind"].toString(), "locked");
    EXPECT_NE(Second.Err.find("varnolink, process " + std::to_string(First.Pid())), std::string::npos) << Second.Err;

    const TFinished Ended = First.Finish();
    EXPECT_EQ(Results(Json(Ended)), (std::vector<std::string>{"ok", "no reply"})) << "the first run went on";
    const cport::TUniqueFd Fd(::open(Plant.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(::flock(Fd.get(), LOCK_EX | LOCK_NB), 0) << "the lock outlived the run";
}

TEST_F(PlantWatch, TheDeadlineStopsARunWhoseModuleNeverAnswersAndReportsEveryRow)
{
    // Without the deadline the three silent rows would take a reply wait each.
    const TFinished Run = cli_test::Run(Program, {"audit", Inventory(3), "--json", "--deadline", "1"});
    EXPECT_EQ(Run.ExitCode, 130);
    const std::vector<std::string> Rows = Results(Json(Run));
    ASSERT_EQ(Rows.size(), 4u);
    EXPECT_EQ(Rows[0], "ok");
    EXPECT_EQ(Rows[3], "stopped");
    EXPECT_NE(Run.Err.find("deadline of 1 s has passed"), std::string::npos) << Run.Err;
}

TEST_F(PlantWatch, ABusyPortIsReportedWithItsHolderAndTheOtherModulesAreAudited)
{
    const varnolink::sim::TModuleSimulator Held;
    const cport::TUniqueFd Fd(::open(Held.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_EQ(::flock(Fd.get(), LOCK_EX | LOCK_NB), 0);
    // The held port first, then module 1 on a line of its own.
    const std::string Text = "name,port,config\nheld," + Held.DevicePath() + ",module-001.ini\nm1," +
                             Plant_->PortName(1) + ",module-001.ini\n";
    const TFinished Run = cli_test::Run(Program, {"audit", Scratch_.Write("busy.csv", Text), "--json"});
    EXPECT_EQ(Run.ExitCode, 3) << "a busy port is a module not reached";
    const QJsonObject Object = Json(Run);
    EXPECT_EQ(Results(Object), (std::vector<std::string>{"busy", "ok"}));
    EXPECT_TRUE(Object["rows"][0]["reason"].toString().endsWith(
        QString::fromStdString("process " + std::to_string(::getpid()))))
        << Run.Out;
}

}  // namespace
