// SPDX-License-Identifier: MIT
// A series of modules on the simulator's line: the verified module falls
// silent, and after the gap a fresh factory module answers.

#include <gtest/gtest.h>

#include <memory>

#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"

namespace varnolink::sim::test {
namespace {

TEST(SimulatorSeriesTest, VerifiedModuleIsReplacedByAFactoryModuleAfterTheGap)
{
    TSimulatorOptions Options;
    Options.Series = {true, 1500ms, 1, 0};
    TModuleSimulator Sim(Options);
    Sim.Start();
    TPtyHost Host(Sim.DevicePath());

    Host.Write("*02:1,2A=00\r\n*03:1,05=00\r\n*04:1,3C=00\r\n*05:1,3C=00\r\n*06:1,3C=00\r\n*07:1,3C=00\r\n"
               "*08:1,3C=00\r\n*09:1,3C=00\r\n*10:1,3C=00\r\n*11:1,3C=00\r\n*12:1,3C=00\r\n*13:1,3C=00\r\n");
    EXPECT_EQ(Host.ReadLines(12).substr(28, 14), "*??:E04,00=3D\r") << "the first module is faulty";
    Host.Write("*00:0,00=00\r\n*01:0,00=00\r\n*02:0,00=00\r\n*03:0,00=00\r\n*04:0,00=00\r\n*05:0,00=00\r\n"
               "*06:0,00=00\r\n*07:0,00=00\r\n*08:0,00=00\r\n*09:0,00=00\r\n*10:0,00=00\r\n*11:0,00=00\r\n"
               "*12:0,00=00\r\n*13:0,00=00\r\n");
    EXPECT_EQ(Host.ReadLines(14).size(), 31u + 13 * 14);

    Host.Write("*00:0,00=00\r\n");
    ASSERT_TRUE(Sim.WaitForRequests(27, 2000ms));
    EXPECT_EQ(Sim.RequestLog().back().Outcome, TRequestOutcome::NoModule);
    EXPECT_EQ(Sim.RequestLog().back().Module, 0u);

    // Ask again, as a host waiting for the next module does, until it answers.
    std::string Reply;
    for (const auto Deadline = TTestClock::now() + 20s; Reply.empty() && TTestClock::now() < Deadline;) {
        Reply = Host.Exchange("*02:0,00=00\r\n");
    }
    EXPECT_EQ(Reply, "*??:E02,00=01\r");
    EXPECT_EQ(Sim.RequestLog().back().Module, 2u);
    EXPECT_EQ(Sim.ModuleNumber(), 2u);
    EXPECT_EQ(Sim.State().Directions, TModuleState::Factory().Directions);
}

}  // namespace
}  // namespace varnolink::sim::test
