// SPDX-License-Identifier: MIT
// What the plant benchmarks measure: a program run to its end (its wall
// time, the most threads it had, its peak memory) and the line time it is
// set against.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "bench/spawn_quiet.h"

namespace plant_bench {

struct TRun {
    int Status = 0;
    double Ms = 0;
    long MostThreads = 0;
    double PeakRssMiB = 0;
};

inline long ThreadsOf(pid_t Pid)
{
    std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.rfind("Threads:", 0) == 0)
            return std::stol(Line.substr(8));
    return 0;
}

// Runs the program to its end with stdout and stderr on /dev/null, sampling
// its threads until it exits (the pidfd wakes the wait when it does).
inline TRun RunProgram(const std::vector<std::string>& Arguments)
{
    const auto Started = std::chrono::steady_clock::now();
    const pid_t Pid = SpawnQuiet(Arguments, TChildOutput::Silent);
    TRun Run;
    const int PidFd = static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
    for (;;) {
        Run.MostThreads = std::max(Run.MostThreads, ThreadsOf(Pid));
        pollfd Exit{PidFd, POLLIN, 0};
        if (PidFd < 0 || ::poll(&Exit, 1, 2) != 0)
            break;
    }
    rusage Usage{};
    int Status = 0;
    ::wait4(Pid, &Status, 0, &Usage);
    Run.Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Started).count();
    if (PidFd >= 0)
        ::close(PidFd);
    Run.Status = ExitCodeOf(Status);
    Run.PeakRssMiB = static_cast<double>(Usage.ru_maxrss) / 1024.0;
    return Run;
}

constexpr double LineBaud = 9600;
constexpr double BitsPerCharacter = 10;

// One module's READ CONFIG on the line: 14 requests of 13 characters, the
// identity reply of 30 and 13 replies of 13, each reply with its CR.
inline double ReadConfigLineMs()
{
    const double Characters = 14 * 13 + (30 + 1) + 13 * (13 + 1);
    return Characters * BitsPerCharacter / LineBaud * 1000.0;
}

}  // namespace plant_bench
