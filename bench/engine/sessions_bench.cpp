// SPDX-License-Identifier: MIT
// A hundred modules read at once by one process:
//
//   BENCH sessions_100_threads  the threads of the process (Threads: in
//       /proc/self/status, the most seen) while a hundred session ports on
//       one epoll loop read a hundred simulated modules at once.
//   BENCH sessions_100_threads_event_thread_ports  the baseline, the same
//       hundred reads on ports opened with every line event (a
//       cport::TComPort with its default events, an event thread each).
//
// The simulators run in a child process forked before any thread exists,
// so the figures count only the reading process's own threads.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/engine/event_thread_ports.h"
#include "main/engine/epoll_loop.h"
#include "main/engine/session_port.h"
#include "sim/module_simulator.h"

using namespace varnolink;

namespace {

constexpr int ModuleCount = 100;

using TClock = std::chrono::steady_clock;

long ThreadsOfProcess()
{
    std::ifstream Status("/proc/self/status");
    for (std::string Line; std::getline(Status, Line);)
        if (Line.rfind("Threads:", 0) == 0)
            return std::stol(Line.substr(8));
    throw std::runtime_error("no Threads: in /proc/self/status");
}

// The child: a hundred simulators, module N with Remote ID N; their device
// paths go to Paths, one a line; it serves until Hold reaches its end.
[[noreturn]] void HostSimulators(int Paths, int Hold)
{
    std::vector<std::unique_ptr<varnolink::sim::TModuleSimulator>> Simulators;
    std::string Lines;
    for (int Index = 0; Index < ModuleCount; ++Index) {
        varnolink::sim::TSimulatorOptions Options;
        Options.State.RemoteId = static_cast<uint8_t>(Index);
        Simulators.push_back(std::make_unique<varnolink::sim::TModuleSimulator>(std::move(Options)));
        Simulators.back()->Start();
        Lines += Simulators.back()->DevicePath() + "\n";
    }
    for (std::size_t Done = 0; Done < Lines.size();) {
        const ssize_t Wrote = ::write(Paths, Lines.data() + Done, Lines.size() - Done);
        if (Wrote <= 0)
            ::_exit(2);
        Done += static_cast<std::size_t>(Wrote);
    }
    ::close(Paths);
    char Byte;
    while (::read(Hold, &Byte, 1) > 0) {
    }
    Simulators.clear();
    ::_exit(0);
}

std::vector<std::string> ReadPaths(int Fd)
{
    std::string Text;
    char Buffer[4096];
    for (ssize_t Got; (Got = ::read(Fd, Buffer, sizeof Buffer)) > 0;)
        Text.append(Buffer, static_cast<std::size_t>(Got));
    std::vector<std::string> Paths;
    for (std::size_t From = 0, To; (To = Text.find('\n', From)) != std::string::npos; From = To + 1)
        Paths.push_back(Text.substr(From, To - From));
    if (Paths.size() != ModuleCount)
        throw std::runtime_error("the simulators did not start");
    return Paths;
}

void Check(const std::optional<TChainResult>& Result, const TModuleRecord& Record, int Index)
{
    if (!Result || Result->End != TChainEnd::Completed || Record.Config().RemoteId != Index)
        throw std::runtime_error("module " + std::to_string(Index) + " was not read");
}

struct TRun {
    long Threads = 0;
    double Ms = 0;
};

TRun SessionPorts(const std::vector<std::string>& Paths)
{
    TEpollLoop Loop;
    std::vector<std::unique_ptr<TSessionPort>> Ports;
    std::vector<std::optional<TChainResult>> Results(Paths.size());
    for (std::size_t Index = 0; Index < Paths.size(); ++Index) {
        Ports.push_back(std::make_unique<TSessionPort>());
        Ports.back()->OnEvent = [&Results, Index](const TSessionEvent& Event) {
            if (const auto* Ended = std::get_if<TChainEnded>(&Event))
                Results[Index] = Ended->Result;
        };
        Ports.back()->Open(Paths[Index]);
        Loop.Add(*Ports.back());
    }
    TRun Run;
    const TClock::time_point Start = TClock::now();
    for (auto& Port : Ports)
        Port->Start(TChainPlan::Read(), TSessionClock::now());
    Loop.RunUntil([&] {
        Run.Threads = std::max(Run.Threads, ThreadsOfProcess());
        return std::all_of(Results.begin(), Results.end(), [](const auto& Result) { return Result.has_value(); });
    });
    Run.Ms = std::chrono::duration<double, std::milli>(TClock::now() - Start).count();
    for (std::size_t Index = 0; Index < Paths.size(); ++Index) {
        Check(Results[Index], Ports[Index]->Session().Record(), static_cast<int>(Index));
        Loop.Remove(*Ports[Index]);
    }
    return Run;
}

TRun EventThreadPorts(const std::vector<std::string>& Paths)
{
    bench::TEventThreadPorts Ports;
    for (const std::string& Path : Paths)
        Ports.Open(Path);
    TRun Run;
    const TClock::time_point Start = TClock::now();
    Ports.StartAll(TChainPlan::Read());
    Ports.RunUntilAllEnded([&] { Run.Threads = std::max(Run.Threads, ThreadsOfProcess()); });
    Run.Ms = std::chrono::duration<double, std::milli>(TClock::now() - Start).count();
    for (std::size_t Index = 0; Index < Paths.size(); ++Index)
        Check(Ports.Lines()[Index]->Result, Ports.Lines()[Index]->Session.Record(), static_cast<int>(Index));
    return Run;
}

}  // namespace

int main()
{
    // A hundred ptys with their masters, the ports and the event threads'
    // descriptors: more than the usual soft limit of 1024.
    rlimit Files{};
    ::getrlimit(RLIMIT_NOFILE, &Files);
    Files.rlim_cur = Files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &Files);

    int Paths[2];
    int Hold[2];
    if (::pipe2(Paths, O_CLOEXEC) != 0 || ::pipe2(Hold, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t Child = ::fork();
    if (Child < 0)
        throw std::runtime_error("fork failed");
    if (Child == 0) {
        ::close(Paths[0]);
        ::close(Hold[1]);
        HostSimulators(Paths[1], Hold[0]);
    }
    ::close(Paths[1]);
    ::close(Hold[0]);

    const std::vector<std::string> Devices = ReadPaths(Paths[0]);
    ::close(Paths[0]);
    const long ThreadsIdle = ThreadsOfProcess();
    const TRun Ours = SessionPorts(Devices);
    const TRun Baseline = EventThreadPorts(Devices);

    ::close(Hold[1]);
    int Status = 0;
    ::waitpid(Child, &Status, 0);

    std::printf("%d modules read at once (READ CONFIG), simulators in a child process\n", ModuleCount);
    std::printf("  %-58s %6ld\n", "threads before the ports were opened", ThreadsIdle);
    std::printf("  %-58s %6ld  (%.0f ms)\n", "threads while reading: session ports on one epoll loop", Ours.Threads,
                Ours.Ms);
    std::printf("  %-58s %6ld  (%.0f ms)\n", "threads while reading: ports with every line event", Baseline.Threads,
                Baseline.Ms);
    std::printf("BENCH sessions_100_threads %ld\n", Ours.Threads);
    std::printf("BENCH sessions_100_threads_event_thread_ports %ld\n", Baseline.Threads);
    std::printf("BENCHROW threads of the process while 100 sessions read at once (vs ports with an event thread "
                "each)|%ld|%ld|%.3f|<= 8\n",
                Ours.Threads, Baseline.Threads,
                static_cast<double>(Ours.Threads) / static_cast<double>(Baseline.Threads));
    return 0;
}
