// SPDX-License-Identifier: MIT
// varnolink commission as a program against the simulator standing for a
// series of modules: a run stopped with Ctrl-C after the third module and
// started again with the same log; the dry run; what it refuses.

#include <gtest/gtest.h>

#include <cstdlib>

#include <signal.h>

#include <filesystem>
#include <memory>

#include "main/files/commission_log.h"
#include "sim/module_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/cli/varnolink_program.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;
using cli_test::Program;
using cli_test::TFinished;

const std::string TemplateText = "[module]\nbaud = 19200\n"
                                 "[direction]\nP0 = 5A\nP1 = 00\nP2 = F0\nP4 = FF\nP5 = FF\n"
                                 "[power_on_default]\nP0 = FF\nP1 = FF\nP2 = FF\nP4 = FF\nP5 = 0F\n";

// The backups kept before each module's writes go to the test's folder.
class VarnolinkCommission : public cli_test::TStateInScratchFolder {
protected:
    void SetUp() override
    {
        TStateInScratchFolder::SetUp();
        varnolink::sim::TSimulatorOptions Options;
        Options.Series = {true, 1500ms, 0, 0};
        Simulator_ = std::make_unique<varnolink::sim::TModuleSimulator>(Options);
        Simulator_->Start();
    }

    std::vector<std::string> Arguments(std::vector<std::string> More) const
    {
        std::vector<std::string> All{"commission", "-p", Simulator_->DevicePath(), Template_};
        All.insert(All.end(), More.begin(), More.end());
        return All;
    }

    std::vector<TCommissionRow> LogRows() const { return ParseCommissionLog(Folder_.Read(LogPath_), LogPath_); }

    const std::string Template_ = Folder_.Write("template.ini", TemplateText);
    const std::string LogPath_ = Folder_.Path("log.csv");
    std::unique_ptr<varnolink::sim::TModuleSimulator> Simulator_;
};

TEST_F(VarnolinkCommission, StoppedAfterTheThirdModuleAndStartedAgainFinishesTheOtherTwo)
{
    cli_test::TChildProcess First(Program, Arguments({"--ids", "01-05", "--log", LogPath_}));
    ASSERT_TRUE(First.WaitForErr("module 3 of 5: ID 03 ok", 60s));
    First.Signal(SIGINT);
    const TFinished Stopped = First.Finish();
    EXPECT_EQ(Stopped.ExitCode, 0) << Stopped.Err;
    EXPECT_EQ(Stopped.Out, "summary: 3 ok, 0 failed, 0 skipped; stopped, the next ID is 04\n");
    EXPECT_EQ(LogRows().size(), 3u);

    const TFinished Again = cli_test::Run(Program, Arguments({"--ids", "01-05", "--log", LogPath_}));
    EXPECT_EQ(Again.ExitCode, 0) << Again.Err;
    EXPECT_EQ(Again.Out, "summary: 2 ok, 0 failed, 3 skipped; every ID of the list is done\n");
    EXPECT_NE(Again.Err.find("module 1 of 2: writing ID 04\n"), std::string::npos) << Again.Err;
    EXPECT_NE(Again.Err.find("connect the next module"), std::string::npos) << Again.Err;

    std::vector<std::string> IDs;
    for (const auto& Row : LogRows()) {
        EXPECT_EQ(Row.Result, TCommissionResult::Ok);
        EXPECT_EQ(Row.ConfigAfter.substr(2), " 04 5A 00 F0 FF FF FF FF FF FF 0F") << "the template, baud 19200";
        IDs.push_back(Row.IdAfter);
    }
    EXPECT_EQ(IDs, (std::vector<std::string>{"01", "02", "03", "04", "05"}));
}

TEST_F(VarnolinkCommission, DryRunShowsWhatWouldChangeAndTouchesNothing)
{
    const TFinished Run = cli_test::Run(Program, Arguments({"--ids", "2A", "--log", LogPath_, "--dry-run"}));
    EXPECT_EQ(Run.ExitCode, 0) << Run.Err;
    EXPECT_EQ(Run.Out, "module 1 of 1: ID 2A would change remote_id 01 -> 2A, baud 9600 -> 19200, "
                       "direction.P0 00 -> 5A, power_on_default.P5 FF -> 0F\n"
                       "summary: 1 ok, 0 failed, 0 skipped; every ID of the list is done\n");
    EXPECT_FALSE(std::filesystem::exists(LogPath_));
    EXPECT_EQ(Simulator_->State(), varnolink::sim::TModuleState::Factory());
}

TEST_F(VarnolinkCommission, RefusesBadListsTemplatesAndLogsBeforeTouchingTheLine)
{
    const std::string Partial = Folder_.Write("partial.ini", "[module]\nbaud = 9600\n");
    const std::string NotALog = Folder_.Write("notes.csv", "name,value\r\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> Cases{
        {Arguments({"--ids", "05-01"}), "runs backwards"},
        {Arguments({}), "--ids LIST"},
        {{"commission", "-p", Simulator_->DevicePath(), Partial, "--ids", "01"}, "key \"direction.P0\""},
        {Arguments({"--ids", "01", "--log", NotALog}), "not a commissioning log"},
        {{"write", "-p", Simulator_->DevicePath(), Template_, "--ids", "01"}, "write takes no --ids"},
    };
    for (const auto& [Arguments, Message] : Cases) {
        const TFinished Run = cli_test::Run(Program, Arguments);
        EXPECT_EQ(Run.ExitCode, 1) << Message;
        EXPECT_NE(Run.Err.find(Message), std::string::npos) << Run.Err;
    }
    EXPECT_TRUE(Simulator_->Requests().empty());
}

}  // namespace
