// SPDX-License-Identifier: MIT
// varnolink audit of 100 simulated modules at 9600 baud, 10 of them behind
// servers that are off the network (a listening socket whose backlog is
// full: the handshake never completes):
//   BENCH plant_10_dead_of_100_s  start to exit in seconds. Every open runs
//     in the engine's loop, so the dead servers' connect time-outs run side
//     by side with each other and with the live lines: the goal is the
//     connect time-out and a second, not ten time-outs one after another.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/plant/plant_measures.h"
#include "cport/net_device.h"
#include "main/files/config_file.h"
#include "sim/plant_simulator.h"
#include "tests/support/unanswered_servers.h"

using namespace varnolink;
using namespace plant_bench;

namespace {

constexpr std::size_t Modules = 100;
constexpr std::size_t Dead = 10;

// Every tenth row is behind a dead server, the others are the live plant's
// modules with their planned files.
std::string WriteInventory(const sim::TPlantSimulator& Plant,
                           const std::vector<std::unique_ptr<test_support::TDeadServer>>& DeadServers,
                           const std::filesystem::path& Folder)
{
    std::filesystem::create_directories(Folder);
    std::ofstream Csv(Folder / "plant.csv");
    Csv << "name,port,config,location\r\n";
    std::size_t Live = 0;
    for (std::size_t Row = 0; Row < Modules; ++Row) {
        const bool IsDead = Row % (Modules / Dead) == 0;
        const std::size_t Number = IsDead ? 1 : ++Live;
        const sim::TModuleState State = sim::PlantModuleState(Number);
        TModuleConfig Config{State.RemoteId, State.BaudIndex, {}, {}};
        std::copy(State.Directions.begin(), State.Directions.end(), Config.Direction.begin());
        std::copy(State.Defaults.begin(), State.Defaults.end(), Config.PowerOnDefault.begin());
        const std::string Name = "m" + std::to_string(Row + 1);
        std::ofstream(Folder / (Name + ".ini")) << ConfigFileText(Config);
        const std::string Port =
            IsDead ? "socket://" + DeadServers[Row / (Modules / Dead)]->Endpoint() : Plant.PortName(Number);
        Csv << Name << "," << Port << "," << Name << ".ini,cabinet\r\n";
    }
    return (Folder / "plant.csv").string();
}

}  // namespace

int main()
{
    const std::string Program = VARNOLINK_CLI_EXECUTABLE;
    const std::filesystem::path Folder = std::filesystem::temp_directory_path() / "varnolink-dead-servers-bench";
    std::filesystem::remove_all(Folder);

    sim::TPlantOptions Options;
    Options.Count = Modules - Dead;
    sim::TPlantSimulator Plant(Options);
    std::vector<std::unique_ptr<test_support::TDeadServer>> DeadServers;
    for (std::size_t Index = 0; Index < Dead; ++Index) {
        DeadServers.push_back(std::make_unique<test_support::TDeadServer>());
        if (!DeadServers.back()->Dead())
            throw std::runtime_error("this kernel completes connections beyond a full backlog");
    }
    const std::string Inventory = WriteInventory(Plant, DeadServers, Folder);

    // Exit status 3: modules unreachable, none differing, no file errors.
    std::vector<double> Seconds;
    for (int Repeat = 0; Repeat < 3; ++Repeat) {
        const TRun Run = RunProgram({Program, "audit", Inventory});
        if (Run.Status != 3)
            throw std::runtime_error("varnolink audit ended with " + std::to_string(Run.Status));
        Seconds.push_back(Run.Ms / 1000.0);
    }
    std::sort(Seconds.begin(), Seconds.end());
    const double Audit = Seconds[1];
    const double Timeout = std::chrono::duration<double>(cport::TNetTimeouts::Connect).count();
    std::filesystem::remove_all(Folder);

    std::printf("varnolink audit of 100 modules, 10 behind dead servers (median of 3)\n");
    std::printf("  %-58s %10.2f s\n", "audit, start to exit", Audit);
    std::printf("  %-58s %10.2f s\n", "connect time-out of a network port", Timeout);
    std::printf("BENCH plant_10_dead_of_100_s %.3f\n", Audit);
    std::printf(
        "BENCHROW varnolink audit of 100 modules at 9600 baud, 10 servers dead, s (vs the connect time-out)|%.2f|"
        "%.2f|%.3f|<= %.0f s\n",
        Audit, Timeout, Audit / Timeout, Timeout + 1);
    return 0;
}
