// SPDX-License-Identifier: MIT
// One epoll loop on one thread serves a hundred session ports, each on the
// pseudo-terminal of a simulated module of its own: all read at once, each
// ends with its own module's values, and the loop and its ports add no
// thread to the process while they run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "main/engine/epoll_loop.h"
#include "main/engine/session_port.h"
#include "sim/module_simulator.h"
#include "tests/support/open_files_limit.h"

using namespace varnolink;

namespace {

constexpr int ModuleCount = 100;

// Module Index's configuration: every field differs from the neighbours'.
TModuleConfig ConfigOf(int Index)
{
    const auto Byte = [Index](int Offset) { return static_cast<uint8_t>(Index * 7 + Offset); };
    return {static_cast<uint8_t>(Index),
            Index % 8,
            {Byte(1), Byte(2), Byte(3), Byte(4), Byte(5)},
            {Byte(101), Byte(102), Byte(103), Byte(104), Byte(105)}};
}

long ThreadsOfProcess()
{
    const std::filesystem::directory_iterator Tasks("/proc/self/task");
    return std::distance(std::filesystem::begin(Tasks), std::filesystem::end(Tasks));
}

class ManySessions : public testing::Test {
protected:
    void SetUp() override
    {
        // Each simulator holds a pty master and slave and its own wait
        // descriptors, each session port one more: more than the usual
        // soft limit of 1024.
        const std::optional<rlim_t> FilesLimit = test_support::RaiseOpenFilesLimit();
        ASSERT_TRUE(FilesLimit) << "the open-files limit cannot be raised";
        ASSERT_GE(*FilesLimit, 8u * ModuleCount) << "the open-files limit is too low for the simulators";

        for (int Index = 0; Index < ModuleCount; ++Index) {
            const TModuleConfig Config = ConfigOf(Index);
            varnolink::sim::TSimulatorOptions Options;
            Options.State.RemoteId = Config.RemoteId;
            Options.State.BaudIndex = Config.BaudIndex;
            std::copy(Config.Direction.begin(), Config.Direction.end(), Options.State.Directions.begin());
            std::copy(Config.PowerOnDefault.begin(), Config.PowerOnDefault.end(), Options.State.Defaults.begin());
            char Version[8];
            std::snprintf(Version, sizeof Version, "v%04d", Index);
            Options.State.BiosVersion = Version;
            Simulators_.push_back(std::make_unique<varnolink::sim::TModuleSimulator>(std::move(Options)));
            Simulators_.back()->Start();
        }
    }

    // Ports close before their simulators go.
    std::vector<std::unique_ptr<varnolink::sim::TModuleSimulator>> Simulators_;
    std::vector<std::unique_ptr<TSessionPort>> Ports_;
};

TEST_F(ManySessions, HundredReadsAtOnceOnOneThreadEachEndWithItsOwnModule)
{
    const long ThreadsBefore = ThreadsOfProcess();

    TEpollLoop Loop;
    std::vector<std::optional<TChainResult>> Results(ModuleCount);
    for (int Index = 0; Index < ModuleCount; ++Index) {
        Ports_.push_back(std::make_unique<TSessionPort>());
        TSessionPort& Port = *Ports_.back();
        Port.OnEvent = [&Results, Index](const TSessionEvent& Event) {
            if (const auto* Ended = std::get_if<TChainEnded>(&Event))
                Results[static_cast<std::size_t>(Index)] = Ended->Result;
        };
        Port.Open(Simulators_[static_cast<std::size_t>(Index)]->DevicePath());
        Loop.Add(Port);
    }
    for (auto& Port : Ports_)
        Port->Start(TChainPlan::Read(), TSessionClock::now());

    // Sampled after every round of the loop, the first time with all
    // hundred chains under way.
    long MostThreads = 0;
    int RoundsWithAllRunning = 0;
    Loop.RunUntil([&] {
        MostThreads = std::max(MostThreads, ThreadsOfProcess());
        std::size_t Ended = 0;
        for (const auto& Result : Results)
            Ended += Result.has_value() ? 1 : 0;
        RoundsWithAllRunning += Ended == 0 ? 1 : 0;
        return Ended == Results.size();
    });

    EXPECT_GE(RoundsWithAllRunning, 1);
    EXPECT_EQ(MostThreads - ThreadsBefore, 0) << "threads added while the sessions ran";
    for (int Index = 0; Index < ModuleCount; ++Index) {
        SCOPED_TRACE("module " + std::to_string(Index));
        const TChainResult& Result = *Results[static_cast<std::size_t>(Index)];
        EXPECT_EQ(Result.End, TChainEnd::Completed) << Result.Reason;
        const TModuleReading& Reading = Ports_[static_cast<std::size_t>(Index)]->Session().Record().Reading();
        EXPECT_EQ(Reading.Config, ConfigOf(Index));
        EXPECT_EQ(Reading.Identity.BiosVersion, Simulators_[static_cast<std::size_t>(Index)]->State().BiosVersion);
    }
}

}  // namespace
