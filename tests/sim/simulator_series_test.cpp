// A series of modules on the simulator's line: the verified module falls
// silent, and after the gap a fresh factory module answers.

#include <gtest/gtest.h>

#include <memory>

#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"

namespace varnolink::sim::test {
namespace {

const std::string kReadIdentity = "*00:0,00=00\r\n";
const std::string kReadId = "*02:0,00=00\r\n";

TEST(SimulatorSeriesTest, VerifiedModuleIsReplacedByAFactoryModuleAfterTheGap) {
    SimulatorOptions options;
    options.series = {true, 1500ms, 1, 0};
    TModuleSimulator sim(options);
    sim.Start();
    TPtyHost host(sim.DevicePath());

    host.Write("*02:1,2A=00\r\n*03:1,05=00\r\n");
    std::string writes;
    for (int code = 4; code <= 13; ++code) {
        writes += "*" + std::string(code < 10 ? "0" : "") + std::to_string(code) + ":1,3C=00\r\n";
    }
    host.Write(writes);
    EXPECT_EQ(host.ReadLines(12).substr(28, 14), "*??:E04,00=3D\r") << "the first module is faulty";
    std::string reads;
    for (int code = 0; code <= 13; ++code) {
        reads += "*" + std::string(code < 10 ? "0" : "") + std::to_string(code) + ":0,00=00\r\n";
    }
    host.Write(reads);
    EXPECT_EQ(host.ReadLines(14).size(), 31u + 13 * 14);

    host.Write(kReadIdentity);
    ASSERT_TRUE(sim.WaitForRequests(27, 2000ms));
    EXPECT_EQ(sim.RequestLog().back().outcome, RequestOutcome::kNoModule);
    EXPECT_EQ(sim.RequestLog().back().module, 0u);

    // Ask again, as a host waiting for the next module does, until it answers.
    std::string reply;
    for (const auto deadline = TTestClock::now() + 20s; reply.empty() && TTestClock::now() < deadline;) {
        reply = host.Exchange(kReadId);
    }
    EXPECT_EQ(reply, "*??:E02,00=01\r");
    EXPECT_EQ(sim.RequestLog().back().module, 2u);
    EXPECT_EQ(sim.ModuleNumber(), 2u);
    EXPECT_EQ(sim.State().directions, ModuleState::Factory().directions);
}

}  // namespace
}  // namespace varnolink::sim::test
