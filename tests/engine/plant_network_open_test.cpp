// SPDX-License-Identifier: MIT
// Plant work on network ports whose servers do not serve: a server off the
// network, one that accepts but never negotiates and one that negotiates but
// never acknowledges the line's rate each cost their own row its time-out,
// while the live lines beside them run and end first.

#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "cport/net_device.h"
#include "main/engine/module_connection.h"
#include "main/engine/plant_run.h"
#include "sim/plant_simulator.h"
#include "tests/cport/telnet_peer.h"
#include "tests/support/unanswered_servers.h"

using namespace varnolink;

namespace {

constexpr std::size_t LiveModules = 4;

TModuleConfig PlannedConfig(std::size_t Number)
{
    const sim::TModuleState State = sim::PlantModuleState(Number);
    TModuleConfig Config{State.RemoteId, State.BaudIndex, {}, {}};
    std::copy(State.Directions.begin(), State.Directions.end(), Config.Direction.begin());
    std::copy(State.Defaults.begin(), State.Defaults.end(), Config.PowerOnDefault.begin());
    return Config;
}

class PlantNetworkOpen : public testing::Test {
protected:
    void SetUp() override
    {
        if (!Dead_.Dead())
            GTEST_SKIP() << "this kernel completes connections beyond a full backlog";
    }

    // The unanswering rows first, so that an open that waited would hold
    // every live row behind it.
    std::vector<TPlantModule> Inventory() const
    {
        std::vector<TPlantModule> Rows{{"dead", "socket://" + Dead_.Endpoint(), "", PlannedConfig(1)},
                                       {"mute", "rfc2217://" + Mute_.Endpoint(), "", PlannedConfig(1)},
                                       {"unacknowledged", Unacknowledged_.Url(), "", PlannedConfig(1)}};
        for (std::size_t Number = 1; Number <= LiveModules; ++Number)
            Rows.push_back({"m" + std::to_string(Number), Plant_.PortName(Number), "", PlannedConfig(Number)});
        return Rows;
    }

    // Runs the plant; Ends_ gets each row's name as it ends, in order.
    std::vector<TPlantRow> Run(TPlantOptions Options,
                               const std::function<void(const TPlantRow&, TEpollLoop&)>& Watch = {})
    {
        TPlantRun Plant(Inventory(), Options);
        TEpollLoop Loop;
        Plant.OnRowChanged = [&](std::size_t Index) {
            const TPlantRow& Row = Plant.Rows()[Index];
            if (Row.Outcome == TPlantOutcome::Running)
                return;
            Ends_.push_back(Row.Module.Name);
            if (Watch)
                Watch(Row, Loop);
        };
        const auto Started = std::chrono::steady_clock::now();
        Plant.Run(Loop);
        Took_ = std::chrono::steady_clock::now() - Started;
        return Plant.Rows();
    }

    static const TPlantRow& RowNamed(const std::vector<TPlantRow>& Rows, const std::string& Name)
    {
        return *std::find_if(Rows.begin(), Rows.end(), [&](const TPlantRow& R) { return R.Module.Name == Name; });
    }

    test_support::TDeadServer Dead_;
    test_support::TMuteServer Mute_;
    net_test::TTelnetPeer Unacknowledged_{net_test::TPeerOptions{.AcknowledgeFormat = false}};
    sim::TPlantSimulator Plant_{[] {
        sim::TPlantOptions Options;
        Options.Count = LiveModules;
        return Options;
    }()};
    std::vector<std::string> Ends_;
    std::chrono::steady_clock::duration Took_{};
};

// Audit and find alike: every live row ends (ok, found) before any
// unanswering one, each of which ends with its own reason.
TEST_F(PlantNetworkOpen, UnansweringServersCostOnlyTheirOwnRows)
{
    for (const TPlantTask Task : {TPlantTask::Audit, TPlantTask::Find}) {
        SCOPED_TRACE(Task == TPlantTask::Audit ? "audit" : "find");
        Ends_.clear();
        TPlantOptions Options;
        Options.Task = Task;
        const std::vector<TPlantRow> Rows = Run(Options);
        const TPlantOutcome Good = Task == TPlantTask::Audit ? TPlantOutcome::Ok : TPlantOutcome::Found;
        for (std::size_t Number = 1; Number <= LiveModules; ++Number)
            EXPECT_EQ(RowNamed(Rows, "m" + std::to_string(Number)).Outcome, Good) << Number;
        ASSERT_EQ(Ends_.size(), LiveModules + 3);
        for (std::size_t Index = 0; Index < LiveModules; ++Index)
            EXPECT_EQ(Ends_[Index].front(), 'm') << testing::PrintToString(Ends_);
        const TPlantRow& Dead = RowNamed(Rows, "dead");
        EXPECT_EQ(Dead.Outcome, TPlantOutcome::PortError);
        EXPECT_NE(Dead.Reason.find("No answer from " + Dead_.Endpoint()), std::string::npos) << Dead.Reason;
        const TPlantRow& Mute = RowNamed(Rows, "mute");
        EXPECT_EQ(Mute.Outcome, TPlantOutcome::PortError);
        EXPECT_NE(Mute.Reason.find("No telnet negotiation from " + Mute_.Endpoint()), std::string::npos) << Mute.Reason;
        const TPlantRow& Unacknowledged = RowNamed(Rows, "unacknowledged");
        EXPECT_EQ(Unacknowledged.Outcome, TPlantOutcome::PortError);
        EXPECT_NE(Unacknowledged.Reason.find(std::strerror(ETIMEDOUT)), std::string::npos) << Unacknowledged.Reason;
        // The time-outs ran side by side, not one after the other.
        EXPECT_LT(Took_, cport::TNetTimeouts::Connect + std::chrono::seconds(3));
    }
}

// A stop while servers do not answer abandons their opens: those rows end
// stopped, not started, without waiting for their time-outs.
TEST_F(PlantNetworkOpen, AStopAbandonsTheOpensUnderWay)
{
    TPlantOptions Options;
    Options.Task = TPlantTask::Audit;
    std::size_t LiveEnded = 0;
    const std::vector<TPlantRow> Rows = Run(Options, [&](const TPlantRow& Row, TEpollLoop& Loop) {
        if (Row.Outcome == TPlantOutcome::Ok && ++LiveEnded == LiveModules)
            Loop.RequestStop(TStopWhen::AfterTheRequest);
    });
    for (const char* Name : {"dead", "mute", "unacknowledged"}) {
        EXPECT_EQ(RowNamed(Rows, Name).Outcome, TPlantOutcome::Stopped) << Name;
        EXPECT_EQ(RowNamed(Rows, Name).Reason, "not started") << Name;
    }
    EXPECT_LT(Took_, cport::TNetTimeouts::Negotiation);
}

// One connection's open runs in its loop too: the user's stop ends an open
// to a server off the network as stopped, not as a port error a time-out later.
TEST_F(PlantNetworkOpen, AStopEndsASingleConnectionsOpen)
{
    const cport::TUniqueFd Stop(::eventfd(1, EFD_CLOEXEC));
    TModuleConnection Connection;
    Connection.SetStopDescriptor(Stop.get(), TStopWhen::Now);
    EXPECT_THROW(Connection.Open("socket://" + Dead_.Endpoint()), EModuleStopped);
    EXPECT_FALSE(Connection.IsOpen());
}

// An rfc2217 port opened in steps is open with its line set once: the
// settings sent and acknowledged in the loop are not sent again by the open.
TEST(NetworkOpenInSteps, AnRfc2217PortOpensWithItsRateSentOnce)
{
    net_test::TTelnetPeer Peer;
    TModuleConnection Connection;
    Connection.Open(Peer.Url());
    EXPECT_TRUE(Connection.IsOpen());
    const std::vector<net_test::TPeerRequest> Requests = Peer.Requests();
    EXPECT_EQ(std::count_if(Requests.begin(), Requests.end(),
                            [](const net_test::TPeerRequest& R) { return R.Command == cport::telnet::cpSetBaudRate; }),
              1);
}

}  // namespace
