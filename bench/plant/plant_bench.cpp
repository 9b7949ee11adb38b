// SPDX-License-Identifier: MIT
// varnolink's plant commands against the simulated plant (one raw TCP port
// per module, each module's 9600-baud line time emulated):
//
//   BENCH plant_audit_1000_vs_line_time  "varnolink audit" of 1,000 modules,
//       process start to exit, over the pure line time of one module's READ
//       CONFIG (its 14 requests and replies at 10 bits per character): the
//       lines run side by side, so the goal is near 1.
//   BENCH plant_audit_1000_threads  the most threads varnolink had during
//       that run (sampled every 2 ms).
//   BENCH plant_audit_1000_peak_rss_mib  its peak resident memory.
//   BENCH plant_audit_1_vs_line_time  the same audit of one module: what
//       starting the program and reading the inventory cost on their own.
//   BENCH find_256_ports_s  "varnolink find" over 256 ports, 32 of them
//       silent, with the default wait, start to exit in seconds.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/plant/plant_measures.h"
#include "main/files/config_file.h"
#include "sim/plant_simulator.h"

using namespace varnolink;
using namespace plant_bench;

namespace {

// An inventory of the plant's modules 1..Count with their planned files.
std::string WriteInventory(const sim::TPlantSimulator& Plant, std::size_t Count, const std::filesystem::path& Folder)
{
    std::filesystem::create_directories(Folder);
    std::ofstream Csv(Folder / "plant.csv");
    Csv << "name,port,config,location\r\n";
    for (std::size_t Number = 1; Number <= Count; ++Number) {
        const sim::TModuleState State = sim::PlantModuleState(Number);
        TModuleConfig Config{State.RemoteId, State.BaudIndex, {}, {}};
        std::copy(State.Directions.begin(), State.Directions.end(), Config.Direction.begin());
        std::copy(State.Defaults.begin(), State.Defaults.end(), Config.PowerOnDefault.begin());
        const std::string Name = "m" + std::to_string(Number);
        std::ofstream(Folder / (Name + ".ini")) << ConfigFileText(Config);
        Csv << Name << "," << Plant.PortName(Number) << "," << Name << ".ini,cabinet " << (Number - 1) / 8 + 1
            << "\r\n";
    }
    return (Folder / "plant.csv").string();
}

}  // namespace

int main()
{
    const std::string Program = VARNOLINK_CLI_EXECUTABLE;
    const std::filesystem::path Folder = std::filesystem::temp_directory_path() / "varnolink-plant-bench";
    std::filesystem::remove_all(Folder);
    sim::RaiseDescriptorLimit(4096);

    sim::TPlantOptions Options;
    Options.Count = 1000;
    sim::TPlantSimulator Plant(Options);
    const std::string Inventory = WriteInventory(Plant, 1000, Folder / "all");
    const std::string One = WriteInventory(Plant, 1, Folder / "one");
    const double Line = ReadConfigLineMs();

    std::vector<TRun> Runs, OneRuns;
    for (int Repeat = 0; Repeat < 3; ++Repeat) {
        OneRuns.push_back(RunProgram({Program, "audit", One}));
        Runs.push_back(RunProgram({Program, "audit", Inventory}));
        if (Runs.back().Status != 0 || OneRuns.back().Status != 0)
            throw std::runtime_error("varnolink audit ended with " + std::to_string(Runs.back().Status));
    }
    const auto ByTime = [](const TRun& A, const TRun& B) { return A.Ms < B.Ms; };
    std::sort(Runs.begin(), Runs.end(), ByTime);
    std::sort(OneRuns.begin(), OneRuns.end(), ByTime);
    const TRun& Audit = Runs[Runs.size() / 2];
    const TRun& AuditOne = OneRuns[OneRuns.size() / 2];
    long MostThreads = 0;
    double PeakRss = 0;
    for (const TRun& Run : Runs) {
        MostThreads = std::max(MostThreads, Run.MostThreads);
        PeakRss = std::max(PeakRss, Run.PeakRssMiB);
    }

    // find: 256 ports of a plant whose last 32 modules are silent.
    sim::TPlantOptions FindOptions;
    FindOptions.Count = 256;
    for (std::size_t Number = 225; Number <= 256; ++Number)
        FindOptions.Silent.insert(Number);
    sim::TPlantSimulator FindPlant(FindOptions);
    std::vector<std::string> Find{Program, "find"};
    for (std::size_t Number = 1; Number <= 256; ++Number)
        Find.push_back(FindPlant.PortName(Number));
    std::vector<double> FindSeconds;
    for (int Repeat = 0; Repeat < 3; ++Repeat) {
        const TRun Run = RunProgram(Find);
        if (Run.Status != 0)
            throw std::runtime_error("varnolink find ended with " + std::to_string(Run.Status));
        FindSeconds.push_back(Run.Ms / 1000.0);
    }
    std::sort(FindSeconds.begin(), FindSeconds.end());
    const double FindS = FindSeconds[1];
    std::filesystem::remove_all(Folder);

    std::printf("varnolink against the simulated plant (medians of 3)\n");
    std::printf("  %-58s %10.1f ms\n", "audit of 1,000 modules, start to exit", Audit.Ms);
    std::printf("  %-58s %10.1f ms\n", "audit of 1 module, start to exit", AuditOne.Ms);
    std::printf("  %-58s %10.1f ms\n", "pure line time of one READ CONFIG", Line);
    std::printf("  %-58s %10ld\n", "most threads during the audit of 1,000", MostThreads);
    std::printf("  %-58s %10.1f MiB\n", "peak resident memory of the audit of 1,000", PeakRss);
    std::printf("  %-58s %10.2f s\n", "find over 256 ports, 32 silent, default wait", FindS);
    std::printf("BENCH plant_audit_1000_vs_line_time %.4f\n", Audit.Ms / Line);
    std::printf("BENCH plant_audit_1000_threads %ld\n", MostThreads);
    std::printf("BENCH plant_audit_1000_peak_rss_mib %.1f\n", PeakRss);
    std::printf("BENCH plant_audit_1_vs_line_time %.4f\n", AuditOne.Ms / Line);
    std::printf("BENCH find_256_ports_s %.3f\n", FindS);
    std::printf(
        "BENCHROW varnolink audit of 1,000 modules at 9600 baud, ms (vs one READ CONFIG's line time)|%.1f|%.1f|%.3f|"
        "<= 1.5\n",
        Audit.Ms, Line, Audit.Ms / Line);
    std::printf(
        "BENCHROW varnolink audit of 1 module at 9600 baud, ms (vs one READ CONFIG's line time)|%.1f|%.1f|%.3f|\n",
        AuditOne.Ms, Line, AuditOne.Ms / Line);
    std::printf("BENCHROW most threads of varnolink auditing 1,000 modules|%ld|||<= 8\n", MostThreads);
    std::printf("BENCHROW peak memory of varnolink auditing 1,000 modules, MiB|%.1f|||<= 128\n", PeakRss);
    std::printf("BENCHROW varnolink find over 256 ports (32 silent), s|%.3f|||<= 1.5\n", FindS);
    return 0;
}
