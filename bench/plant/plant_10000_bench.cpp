// SPDX-License-Identifier: MIT
// varnolink audit of a plant of 10,000 simulated modules at 9600 baud:
//   BENCH plant_audit_10000_vs_line_time  start to exit, against the pure
//     line time of one module's READ CONFIG (every line runs at once, so
//     the line time of one module is what the whole plant could take);
//   BENCH plant_audit_10000_threads  the most threads varnolink had;
//   BENCH plant_audit_10000_peak_rss_mib  its peak resident memory.
// The plant is two simulator processes of 5,000 modules each: one process
// holds a listening socket and a connection per module, and the open-file
// limit of one process does not fit 10,000 of each.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/plant/plant_measures.h"

using namespace plant_bench;

namespace {

constexpr std::size_t Modules = 10000;
constexpr std::size_t Simulators = 2;

// A simulator process serving its part of the plant; its first line on
// stdout says it is listening, and it prints one line per port. Stopped with
// SIGTERM when it goes, or when it fails to start (too few ports printed).
class TSimulatedPart {
public:
    TSimulatedPart(const std::string& Program, std::size_t Count, const std::filesystem::path& Folder)
    {
        int Pipe[2];
        if (::pipe2(Pipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t Actions;
        ::posix_spawn_file_actions_init(&Actions);
        ::posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
        const std::vector<std::string> Arguments{Program, "--plant", std::to_string(Count), "--plant-inventory",
                                                 Folder.string()};
        std::vector<char*> Argv;
        for (const std::string& Argument : Arguments)
            Argv.push_back(const_cast<char*>(Argument.c_str()));
        Argv.push_back(nullptr);
        const int Failed = ::posix_spawn(&Pid_, Program.c_str(), &Actions, nullptr, Argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&Actions);
        ::close(Pipe[1]);
        if (Failed != 0) {
            ::close(Pipe[0]);
            throw std::runtime_error("cannot start " + Program);
        }
        // Every port is read: a simulator blocked on a full pipe serves nothing.
        Out_ = ::fdopen(Pipe[0], "r");
        if (Out_ == nullptr)
            ::close(Pipe[0]);
        char Line[256];
        for (std::size_t Read = 0; Read < Count; ++Read)
            if (Out_ == nullptr || std::fgets(Line, sizeof Line, Out_) == nullptr) {
                Stop();  // no destructor runs for a constructor that throws
                throw std::runtime_error(Program + " printed too few ports");
            }
    }
    ~TSimulatedPart() { Stop(); }
    TSimulatedPart(const TSimulatedPart&) = delete;
    TSimulatedPart& operator=(const TSimulatedPart&) = delete;

private:
    void Stop()
    {
        ::kill(Pid_, SIGTERM);
        ::waitpid(Pid_, nullptr, 0);
        if (Out_ != nullptr)
            std::fclose(Out_);
    }

    pid_t Pid_ = -1;
    std::FILE* Out_ = nullptr;
};

// One inventory of every part's modules, each row's name and file made
// unique by its part's folder.
std::string JoinInventories(const std::filesystem::path& Folder)
{
    std::ofstream Csv(Folder / "plant.csv");
    Csv << "name,port,config,location\r\n";
    for (std::size_t Part = 0; Part < Simulators; ++Part) {
        const std::string Name = "part" + std::to_string(Part);
        std::ifstream In(Folder / Name / "plant.csv");
        std::string Line;
        std::getline(In, Line);  // the header
        while (std::getline(In, Line)) {
            if (!Line.empty() && Line.back() == '\r')
                Line.pop_back();
            // name,port,config,location: the config is relative to its inventory.
            const std::size_t PortAt = Line.find(',');
            const std::size_t ConfigAt = Line.find(',', PortAt + 1);
            Csv << Name << "-" << Line.substr(0, ConfigAt + 1) << Name << "/" << Line.substr(ConfigAt + 1) << "\r\n";
        }
    }
    return (Folder / "plant.csv").string();
}

// Starts the plant, measures the audits and prints the figures; the parts
// started are stopped on every way out.
void Measure()
{
    const std::filesystem::path Folder = std::filesystem::temp_directory_path() / "varnolink-plant-10000-bench";
    std::filesystem::remove_all(Folder);
    std::vector<std::unique_ptr<TSimulatedPart>> Parts;
    for (std::size_t Part = 0; Part < Simulators; ++Part)
        Parts.push_back(std::make_unique<TSimulatedPart>(VARNOLINK_SIM_EXECUTABLE, Modules / Simulators,
                                                         Folder / ("part" + std::to_string(Part))));
    const std::string Inventory = JoinInventories(Folder);
    const double Line = ReadConfigLineMs();

    std::vector<TRun> Runs;
    for (int Repeat = 0; Repeat < 3; ++Repeat) {
        Runs.push_back(RunProgram({VARNOLINK_CLI_EXECUTABLE, "audit", Inventory}));
        if (Runs.back().Status != 0)
            throw std::runtime_error("varnolink audit ended with " + std::to_string(Runs.back().Status));
    }
    std::sort(Runs.begin(), Runs.end(), [](const TRun& A, const TRun& B) { return A.Ms < B.Ms; });
    const TRun& Audit = Runs[Runs.size() / 2];
    long MostThreads = 0;
    double PeakRss = 0;
    for (const TRun& Run : Runs) {
        MostThreads = std::max(MostThreads, Run.MostThreads);
        PeakRss = std::max(PeakRss, Run.PeakRssMiB);
    }
    Parts.clear();
    std::filesystem::remove_all(Folder);

    std::printf("varnolink audit of 10,000 simulated modules (median of 3)\n");
    std::printf("  %-58s %10.1f ms\n", "audit of 10,000 modules, start to exit", Audit.Ms);
    std::printf("  %-58s %10.1f ms\n", "pure line time of one READ CONFIG", Line);
    std::printf("BENCH plant_audit_10000_vs_line_time %.4f\n", Audit.Ms / Line);
    std::printf("BENCH plant_audit_10000_threads %ld\n", MostThreads);
    std::printf("BENCH plant_audit_10000_peak_rss_mib %.1f\n", PeakRss);
    std::printf(
        "BENCHROW varnolink audit of 10,000 modules at 9600 baud, ms (vs one READ CONFIG's line time)|%.1f|%.1f|"
        "%.3f|<= 1.5\n",
        Audit.Ms, Line, Audit.Ms / Line);
    std::printf("BENCHROW most threads of varnolink auditing 10,000 modules|%ld|||<= 8\n", MostThreads);
    std::printf("BENCHROW peak memory of varnolink auditing 10,000 modules, MiB|%.1f|||<= 256\n", PeakRss);
}

}  // namespace

int main()
{
    // Caught here, a failure unwinds the stack: the simulator parts already
    // started are stopped by their destructors, none is left running.
    try {
        Measure();
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "plant_10000_bench: %s\n", Error.what());
        return 1;
    }
    return 0;
}
