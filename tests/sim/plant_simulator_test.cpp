// SPDX-License-Identifier: MIT
// The simulated plant: each module on its own TCP port with its own state,
// its faults, connections replacing each other, the line time and the
// inventory.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <set>
#include <system_error>

#include "sim/module_behaviour.h"
#include "sim/plant_simulator.h"
#include "tests/sim/pty_host.h"
#include "tests/support/scratch_folder.h"

namespace varnolink::sim::test {
namespace {

const std::string ReadIdentity = "*00:0,00=00\r\n";
const std::string ReadP0Direction = "*04:0,00=00\r\n";
const std::string WriteP0Direction = "*04:1,5A=00\r\n";

std::string P0DirectionReply(const TModuleState& State)
{
    return StandardReplyLine(CodeFirstDirection, HexByte(State.Directions[0])) + "\r";
}

TPlantOptions WithoutLineTiming(std::size_t Count)
{
    TPlantOptions Options;
    Options.Count = Count;
    Options.LineTiming = false;
    return Options;
}

// A client on the module's TCP port, read and written like a line.
TPtyHost ConnectTo(const TPlantSimulator& Plant, std::size_t Number)
{
    TUniqueFd Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Plant.Port(Number));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!Socket || ::connect(Socket.Get(), reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0 ||
        ::fcntl(Socket.Get(), F_SETFL, O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "connect to module " + std::to_string(Number));
    }
    return TPtyHost(std::move(Socket));
}

TEST(PlantSimulatorTest, PlannedStatesAreValidAndDistinct)
{
    std::set<std::array<std::uint8_t, PortCount>> Directions;
    for (std::size_t Number = 1; Number <= 1000; ++Number) {
        EXPECT_NO_THROW(PlantModuleState(Number).Validate()) << Number;
        Directions.insert(PlantModuleState(Number).Directions);
    }
    EXPECT_EQ(Directions.size(), 1000u);
    EXPECT_EQ(PlantDifferingState(7).Directions[0], static_cast<std::uint8_t>(~PlantModuleState(7).Directions[0]));
}

TEST(PlantSimulatorTest, EachModuleAnswersWithItsOwnState)
{
    TPlantOptions Options = WithoutLineTiming(3);
    Options.Differ = {2};
    TPlantSimulator Plant(Options);
    for (std::size_t Number = 1; Number <= 3; ++Number) {
        SCOPED_TRACE("module " + std::to_string(Number));
        const TModuleState Planned = PlantModuleState(Number);
        const TModuleState Held = Number == 2 ? PlantDifferingState(Number) : Planned;
        EXPECT_EQ(Plant.PortName(Number), "socket://127.0.0.1:" + std::to_string(Plant.Port(Number)));
        TPtyHost Host = ConnectTo(Plant, Number);
        EXPECT_EQ(Host.Exchange(ReadIdentity), IdentityReplyLine(Planned) + "\r");
        EXPECT_EQ(Host.Exchange(ReadP0Direction), P0DirectionReply(Held));
        EXPECT_EQ(Host.Exchange(WriteP0Direction), "*??:E04,00=5A\r");
        TModuleState Written = Held;
        Written.Directions[0] = 0x5A;
        EXPECT_EQ(Plant.State(Number), Written);
        EXPECT_EQ(Plant.Requests(Number), (std::vector{ReadIdentity, ReadP0Direction, WriteP0Direction}));
    }
}

TEST(PlantSimulatorTest, SilentModuleRecordsRequestsAndSendsNothing)
{
    TPlantOptions Options = WithoutLineTiming(2);
    Options.Silent = {2};
    TPlantSimulator Plant(Options);
    TPtyHost Host = ConnectTo(Plant, 2);
    Host.Write(WriteP0Direction);
    ASSERT_TRUE(Plant.WaitForRequests(2, 1, 2000ms));
    EXPECT_EQ(Host.ReadFor(200ms), "");
    EXPECT_EQ(Plant.State(2), PlantModuleState(2)) << "a silent module changes nothing";
    Plant.SetSilent(2, false);
    EXPECT_EQ(Host.Exchange(ReadP0Direction), P0DirectionReply(PlantModuleState(2)));
    EXPECT_EQ(Plant.Requests(2), (std::vector{WriteP0Direction, ReadP0Direction}));
    EXPECT_TRUE(Plant.Requests(1).empty());
}

TEST(PlantSimulatorTest, DropModuleClosesAtTheNthRequestOfEachConnection)
{
    TPlantOptions Options = WithoutLineTiming(1);
    Options.Drop = {1};
    Options.DropAfterRequests = 3;
    TPlantSimulator Plant(Options);
    for (int Round = 0; Round < 2; ++Round) {
        SCOPED_TRACE("connection " + std::to_string(Round + 1));
        TPtyHost Host = ConnectTo(Plant, 1);
        EXPECT_EQ(Host.Exchange(ReadIdentity), IdentityReplyLine(PlantModuleState(1)) + "\r");
        EXPECT_EQ(Host.Exchange(ReadIdentity), IdentityReplyLine(PlantModuleState(1)) + "\r");
        Host.Write(WriteP0Direction);
        EXPECT_EQ(Host.ReadFor(2000ms), "") << "the request that drops the connection gets no reply";
        EXPECT_TRUE(Host.WaitForHangUp());
    }
    EXPECT_EQ(Plant.Requests(1).size(), 6u);
    EXPECT_EQ(Plant.Connections(1), 2u);
    EXPECT_EQ(Plant.State(1), PlantModuleState(1)) << "the dropped write is not applied";
}

TEST(PlantSimulatorTest, NewConnectionReplacesTheOldAndDropNowClosesIt)
{
    TPlantSimulator Plant(WithoutLineTiming(1));
    TPtyHost First = ConnectTo(Plant, 1);
    First.Write("*02:0,0");
    TPtyHost Second = ConnectTo(Plant, 1);
    EXPECT_TRUE(First.WaitForHangUp());
    // The first connection's half frame is gone: this rest of it stays alone.
    Second.Write("0=00\r\n");
    EXPECT_EQ(Second.Exchange(ReadP0Direction), P0DirectionReply(PlantModuleState(1)));
    EXPECT_EQ(Plant.Requests(1), std::vector{ReadP0Direction});
    EXPECT_EQ(Plant.Connections(1), 2u);
    Plant.DropNow(1);
    EXPECT_TRUE(Second.WaitForHangUp());
}

TEST(PlantSimulatorTest, LineTimingTakesTheTimeOfRequestsAndRepliesOneAfterTheOther)
{
    TPlantOptions Options;
    Options.Count = 1;
    TPlantSimulator Plant(Options);
    TPtyHost Host = ConnectTo(Plant, 1);
    const std::string Replies = IdentityReplyLine(PlantModuleState(1)) + "\r" + P0DirectionReply(PlantModuleState(1));
    const auto Sent = TTestClock::now();
    Host.Write(ReadIdentity + ReadP0Direction);
    EXPECT_EQ(Host.ReadLines(2), Replies);
    const auto Characters = static_cast<long long>(ReadIdentity.size() + ReadP0Direction.size() + Replies.size());
    EXPECT_GE(TTestClock::now() - Sent, std::chrono::nanoseconds(Characters * 10'000'000'000LL / 9600));
}

TEST(PlantSimulatorTest, PortInUseIsAnErrorNamingIt)
{
    TPlantSimulator First(WithoutLineTiming(1));
    TPlantOptions Options = WithoutLineTiming(2);
    Options.FirstPort = First.Port(1);
    try {
        TPlantSimulator Second(Options);
        FAIL() << "a second plant listened on port " << First.Port(1);
    } catch (const std::system_error& Error) {
        EXPECT_EQ(Error.code(), std::errc::address_in_use);
        EXPECT_NE(std::string(Error.what()).find("127.0.0.1:" + std::to_string(First.Port(1))), std::string::npos)
            << Error.what();
    }
}

TEST(PlantSimulatorTest, InventoryListsEveryModuleWithItsPlannedConfiguration)
{
    TPlantOptions Options = WithoutLineTiming(9);
    Options.Differ = {2};
    TPlantSimulator Plant(Options);
    const test_support::TScratchFolder Folder;
    WritePlantInventory(Plant, Folder.Path("plant"));
    const std::string Csv = test_support::TScratchFolder::Read(Folder.Path("plant/plant.csv"));
    EXPECT_EQ(Csv.substr(0, Csv.find('\n', Csv.find('\n') + 1) + 1),
              "name,port,config,location\nmodule-001," + Plant.PortName(1) + ",module-001.ini,cabinet 1\n");
    EXPECT_NE(Csv.find("\nmodule-009," + Plant.PortName(9) + ",module-009.ini,cabinet 2\n"), std::string::npos);
    const std::string Ini = test_support::TScratchFolder::Read(Folder.Path("plant/module-002.ini"));
    EXPECT_EQ(Ini, PlantConfigText(PlantModuleState(2)));
    EXPECT_NE(Ini.find("[direction]\nP0 = " + HexByte(PlantModuleState(2).Directions[0]) + "\n"), std::string::npos);
}

}  // namespace
}  // namespace varnolink::sim::test
