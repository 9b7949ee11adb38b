// SPDX-License-Identifier: MIT
// varnolink given a configuration file of 100 MB:
//
//   BENCH big_file_peak_rss_mib  the peak resident memory of "varnolink
//       write" refusing a 100 MB configuration file, in MiB (the goal: under
//       32). The port named does not exist: the file is refused before any
//       port is touched. Next to it, as the baseline, the peak of a program
//       that does nothing (/bin/true).

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/spawn_quiet.h"

namespace {

constexpr std::size_t FileBytes = 100u << 20;
constexpr double GoalMiB = 32;

struct TRun {
    int ExitCode = -1;
    double PeakMiB = 0;
};

// Runs a program with its output to /dev/null; its exit code and peak RSS.
TRun Run(const std::vector<std::string>& Arguments)
{
    const pid_t Child = SpawnQuiet(Arguments, TChildOutput::Silent);
    TRun Result;
    int Status = 0;
    rusage Usage{};
    if (wait4(Child, &Status, 0, &Usage) == Child) {
        Result.ExitCode = ExitCodeOf(Status);
        Result.PeakMiB = static_cast<double>(Usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
    }
    return Result;
}

}  // namespace

int main()
{
    const std::filesystem::path Folder =
        std::filesystem::temp_directory_path() / ("big_file_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(Folder);
    const std::string BigFile = (Folder / "big.ini").string();
    {
        // Text as a configuration file holds it: a section, then comment lines.
        std::ofstream Out(BigFile, std::ios::binary);
        Out << "[module]\nformat = 1\n";
        const std::string Line(79, '#');
        for (std::size_t Written = 0; Written < FileBytes; Written += Line.size() + 1)
            Out << Line << '\n';
    }
    const TRun Ours = Run({VARNOLINK_CLI_EXECUTABLE, "write", "-p", (Folder / "no-such-pty").string(), BigFile});
    const TRun Baseline = Run({"/bin/true"});
    std::filesystem::remove_all(Folder);

    std::printf("BENCH big_file_peak_rss_mib %.1f\n", Ours.PeakMiB);
    std::printf("BENCHROW varnolink write, 100 MB file refused: peak RSS (MiB)|%.1f|%.1f|%.2f|< %.0f MiB\n",
                Ours.PeakMiB, Baseline.PeakMiB, Baseline.PeakMiB > 0 ? Ours.PeakMiB / Baseline.PeakMiB : 0.0, GoalMiB);
    if (Ours.ExitCode != 1) {
        std::fprintf(stderr, "big_file_bench: varnolink exited with %d, not 1 (the file refused)\n", Ours.ExitCode);
        return 1;
    }
    return Ours.PeakMiB < GoalMiB ? 0 : 1;
}
