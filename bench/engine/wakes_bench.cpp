// SPDX-License-Identifier: MIT
// Wakes per received byte of READ CONFIG:
//
//   BENCH wakes_per_reply_byte  "varnolink read" against a simulator that
//       paces its line at 9600 baud, run under strace -f: the returns from a
//       wait (epoll_wait, epoll_pwait, poll, ppoll, select, pselect6, a
//       futex wait) of every thread other than the main one, plus the
//       main thread's reads of an eventfd, over the reply bytes the module
//       sent (READ CONFIG: the identity line of 30 characters and 13 lines
//       of 13, each with its CR, 213 bytes; varnolink read identifies the
//       module first, 31 bytes more).
//   BENCH wakes_per_reply_byte_event_thread_port  the baseline, the same
//       count for the same read through a port opened with every line event
//       (event_thread_read: the port's event thread wakes on the input and
//       signals the main thread's eventfd).
//
// Each program's whole run is counted, its start and end included.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/module_simulator.h"

#include "bench/spawn_quiet.h"

namespace {

constexpr double LineBaud = 9600;
constexpr std::size_t ReadConfigReplies = 14;
constexpr const char* Traced = "read,write,close,eventfd2,epoll_wait,epoll_pwait,poll,ppoll,select,pselect6,futex";

struct TWakes {
    long OtherThreads = 0;  // returns from a wait in threads other than the main one
    long EventfdReads = 0;  // the main thread's reads of an eventfd
    double ReplyBytes = 0;  // what the module sent
    long Total() const { return OtherThreads + EventfdReads; }
    double PerByte() const { return static_cast<double>(Total()) / ReplyBytes; }
};

void RunTraced(const std::vector<std::string>& Program, const std::string& TraceFile)
{
    std::vector<std::string> Arguments{"strace", "-f", "-qq", "-o", TraceFile, "-e", std::string("trace=") + Traced,
                                       "--"};
    Arguments.insert(Arguments.end(), Program.begin(), Program.end());
    pid_t Pid = -1;
    try {
        Pid = SpawnQuiet(Arguments, TChildOutput::ErrorsOnly);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("cannot start strace (scripts/install-deps installs it)");
    }
    int Status = 0;
    ::waitpid(Pid, &Status, 0);
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
        throw std::runtime_error(Program.front() + " failed under strace");
}

// Reads an strace -f log. A call that blocked shows as "NAME(ARGS <unfinished ...>"
// and later "<... NAME resumed>REST"; the arguments of the first half are kept
// per thread so that the whole call can be judged when it returns.
TWakes CountWakes(const std::string& TraceFile)
{
    static const std::regex Whole(R"(^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+))");
    static const std::regex Begun(R"(^(\d+)\s+(\w+)\((.*)<unfinished \.\.\.>$)");
    static const std::regex Resumed(R"(^(\d+)\s+<\.\.\. (\w+) resumed>(.*)\)\s+=\s+(-?\d+))");
    static const std::set<std::string> Waits{"epoll_wait", "epoll_pwait", "poll", "ppoll", "select", "pselect6"};

    std::ifstream Trace(TraceFile);
    std::string MainThread;
    std::map<std::string, std::string> Pending;  // thread -> the arguments of its unfinished call
    std::set<long> Eventfds;
    TWakes Wakes;
    for (std::string Line; std::getline(Trace, Line);) {
        std::smatch Match;
        std::string Thread, Name, Arguments;
        long Result = 0;
        if (std::regex_search(Line, Match, Begun)) {
            Pending[Match[1]] = Match[3];
            if (MainThread.empty())
                MainThread = Match[1];
            continue;
        }
        if (std::regex_search(Line, Match, Resumed)) {
            Thread = Match[1];
            Name = Match[2];
            Arguments = Pending[Thread] + std::string(Match[3]);
            Result = std::stol(Match[4]);
        } else if (std::regex_search(Line, Match, Whole)) {
            Thread = Match[1];
            Name = Match[2];
            Arguments = Match[3];
            Result = std::stol(Match[4]);
        } else {
            continue;
        }
        if (MainThread.empty())
            MainThread = Thread;
        const long Fd =
            Arguments.empty() || !std::isdigit(static_cast<unsigned char>(Arguments[0])) ? -1 : std::stol(Arguments);
        if (Name == "eventfd2" && Result >= 0)
            Eventfds.insert(Result);
        else if (Name == "close")
            Eventfds.erase(Fd);
        else if (Thread != MainThread &&
                 (Waits.count(Name) != 0 || (Name == "futex" && Arguments.find("FUTEX_WAIT") != std::string::npos)))
            ++Wakes.OtherThreads;
        else if (Thread == MainThread && Name == "read" && Result > 0 && Eventfds.count(Fd) != 0)
            ++Wakes.EventfdReads;
    }
    if (MainThread.empty())
        throw std::runtime_error("nothing traced in " + TraceFile);
    return Wakes;
}

TWakes ReadConfigWakes(varnolink::sim::TModuleSimulator& Simulator, std::vector<std::string> Program,
                       const std::string& TraceFile)
{
    Simulator.ClearRequests();
    RunTraced(Program, TraceFile);
    // Each answered read: the identity line of 30 characters or a line of
    // 13, and its CR.
    std::size_t Answered = 0;
    std::size_t Bytes = 0;
    for (const varnolink::sim::TRequestRecord& Request : Simulator.RequestLog()) {
        if (Request.Outcome != varnolink::sim::TRequestOutcome::Answered)
            continue;
        ++Answered;
        Bytes += Request.Code == 0 ? 31 : 14;
    }
    if (Answered < ReadConfigReplies)
        throw std::runtime_error(Program.front() + ": the module answered " + std::to_string(Answered) +
                                 " requests, fewer than READ CONFIG's 14");
    TWakes Wakes = CountWakes(TraceFile);
    Wakes.ReplyBytes = static_cast<double>(Bytes);
    return Wakes;
}

}  // namespace

int main()
{
    varnolink::sim::TSimulatorOptions Paced;
    Paced.Faults.LineBaud = static_cast<unsigned>(LineBaud);
    varnolink::sim::TModuleSimulator Simulator(Paced);
    Simulator.Start();
    const std::string Device = Simulator.DevicePath();
    const std::string Trace = (std::filesystem::temp_directory_path() / "varnolink-wakes-bench.strace").string();

    const TWakes Ours = ReadConfigWakes(Simulator, {VARNOLINK_CLI_EXECUTABLE, "read", "-p", Device}, Trace);
    const TWakes Baseline = ReadConfigWakes(Simulator, {EVENT_THREAD_READ_EXECUTABLE, Device}, Trace);
    std::filesystem::remove(Trace);

    std::printf("READ CONFIG on a 9600-baud line under strace -f\n");
    std::printf("  %-40s %8s %8s %8s %8s\n", "", "thread", "eventfd", "bytes", "per byte");
    std::printf("  %-40s %8ld %8ld %8.0f %8.3f\n", "varnolink read", Ours.OtherThreads, Ours.EventfdReads,
                Ours.ReplyBytes, Ours.PerByte());
    std::printf("  %-40s %8ld %8ld %8.0f %8.3f\n", "port with every line event (baseline)", Baseline.OtherThreads,
                Baseline.EventfdReads, Baseline.ReplyBytes, Baseline.PerByte());
    std::printf("BENCH wakes_per_reply_byte %.3f\n", Ours.PerByte());
    std::printf("BENCH wakes_per_reply_byte_event_thread_port %.3f\n", Baseline.PerByte());
    std::printf("BENCHROW event-thread and eventfd wakes per reply byte, varnolink read (vs a port with every line "
                "event)|%.3f|%.3f|%.3f|0\n",
                Ours.PerByte(), Baseline.PerByte(), Ours.PerByte() / Baseline.PerByte());
    return 0;
}
