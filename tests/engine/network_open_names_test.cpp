// SPDX-License-Identifier: MIT
// Network ports named by host name, opened in the engine's loop: a name is
// looked up aside, and one that does not resolve fails its own row with the
// name in its reason while the rows beside it run.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "main/engine/module_connection.h"
#include "main/engine/plant_run.h"
#include "sim/plant_simulator.h"
#include "tests/cport/telnet_peer.h"

using namespace varnolink;

namespace {

constexpr std::size_t LiveModules = 2;

TEST(NetworkOpenNames, ALocalhostPortOpensInTheLoop)
{
    net_test::TTelnetPeer Peer;
    std::string Url = Peer.Url();
    Url.replace(Url.find("127.0.0.1"), 9, "localhost");
    TModuleConnection Connection;
    Connection.Open(Url);
    EXPECT_TRUE(Connection.IsOpen());
}

TEST(NetworkOpenNames, AnUnresolvableNameFailsOnlyItsOwnRow)
{
    sim::TPlantOptions SimOptions;
    SimOptions.Count = LiveModules;
    sim::TPlantSimulator Plant(SimOptions);
    // The unresolvable row first, so that an open that waited would hold
    // the live rows behind it.
    std::vector<TPlantModule> Rows{{"unresolvable", "rfc2217://nonexistent.invalid:2217", "", std::nullopt}};
    for (std::size_t Number = 1; Number <= LiveModules; ++Number)
        Rows.push_back({"m" + std::to_string(Number), Plant.PortName(Number), "", std::nullopt});
    TPlantOptions Options;
    Options.Task = TPlantTask::Find;
    TPlantRun Run(Rows, Options);
    TEpollLoop Loop;
    Run.Run(Loop);

    const std::vector<TPlantRow>& Ended = Run.Rows();
    ASSERT_EQ(Ended.size(), LiveModules + 1);
    EXPECT_EQ(Ended[0].Outcome, TPlantOutcome::PortError);
    EXPECT_NE(Ended[0].Reason.find("Host not found: nonexistent.invalid"), std::string::npos) << Ended[0].Reason;
    EXPECT_TRUE(std::all_of(Ended.begin() + 1, Ended.end(),
                            [](const TPlantRow& Row) { return Row.Outcome == TPlantOutcome::Found; }));
}

}  // namespace
