// SPDX-License-Identifier: MIT
// varnolink as a program against the module simulator:
//
//   BENCH cli_write_verify_vs_line_time  "varnolink write --no-backup" of a whole
//       configuration with its read-back, process start to exit, against a
//       simulator that paces its line at 9600 baud, over the pure line time
//       of every request and reply of the run (10 bits per character).
//   BENCH cli_write_verify_vs_raw_line_exchanges  the same, over the time
//       the bench itself takes to send the same frames one by one on the
//       same line and read each reply: a baseline that feels the machine's
//       load as the program does.
//   BENCH cli_write_verify_with_backup_vs_line_time  the same write with the
//       read that keeps the module's configuration first, over the pure line
//       time of all its requests and replies.
//   BENCH cli_start_to_first_request_ms  process start to the first request
//       byte at the simulator, median; next to it, as the baseline, the time
//       to start and end a program that does nothing (/bin/true).

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/median.h"
#include "bench/spawn_quiet.h"
#include "main/files/config_file.h"
#include "sim/module_simulator.h"

using namespace varnolink;

namespace {

using bench::Median;
using TClock = std::chrono::steady_clock;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TRequestOutcome;
using varnolink::sim::TSimulatorOptions;

constexpr double LineBaud = 9600;
constexpr double BitsPerCharacter = 10;
constexpr int WriteRuns = 5;
constexpr int StartRuns = 21;

const TModuleConfig Wanted{0xA7, 6, {0x5A, 0x01, 0x02, 0x04, 0x08}, {0xFE, 0x10, 0x20, 0x40, 0x80}};

double Ms(TClock::duration Span)
{
    return std::chrono::duration<double, std::milli>(Span).count();
}

// Runs Program to its end; returns the exit status and the moment it was started.
int RunProgram(const std::vector<std::string>& Arguments, TClock::time_point& Started)
{
    Started = TClock::now();
    const pid_t Pid = SpawnQuiet(Arguments, TChildOutput::ErrorsOnly);
    int Status = 0;
    waitpid(Pid, &Status, 0);
    return ExitCodeOf(Status);
}

// Characters on the line: every request frame as sent, and its reply with
// its CR (the identity reply 30 characters, every other 13).
std::size_t LineCharacters(const TModuleSimulator& Simulator)
{
    std::size_t Characters = 0;
    for (const varnolink::sim::TRequestRecord& Request : Simulator.RequestLog()) {
        Characters += Request.Frame.size();
        if (Request.Outcome == TRequestOutcome::Answered)
            Characters += (Request.Code == 0 ? 30 : 13) + 1;
    }
    return Characters;
}

// Sends each frame on the raw line and reads its reply through its CR;
// returns the time of the whole run.
double RawExchanges(const std::string& Device, const std::vector<std::string>& Frames)
{
    const int Fd = ::open(Device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Fd < 0)
        throw std::runtime_error("cannot open " + Device);
    termios Raw{};
    ::tcgetattr(Fd, &Raw);
    ::cfmakeraw(&Raw);
    ::tcsetattr(Fd, TCSANOW, &Raw);
    const TClock::time_point Start = TClock::now();
    for (const std::string& Frame : Frames) {
        if (::write(Fd, Frame.data(), Frame.size()) != static_cast<ssize_t>(Frame.size()))
            throw std::runtime_error("raw write failed");
        for (bool Done = false; !Done;) {
            pollfd Watched{Fd, POLLIN, 0};
            if (::poll(&Watched, 1, 5000) <= 0)
                throw std::runtime_error("no reply on the raw line");
            char Buffer[64];
            const ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
            Done = Got > 0 && std::string(Buffer, static_cast<std::size_t>(Got)).find('\r') != std::string::npos;
        }
    }
    const double Elapsed = Ms(TClock::now() - Start);
    ::close(Fd);
    return Elapsed;
}

}  // namespace

int main()
{
    const std::string Program = VARNOLINK_CLI_EXECUTABLE;
    const std::filesystem::path File = std::filesystem::temp_directory_path() / "varnolink-cli-bench.ini";
    std::ofstream(File) << ConfigFileText(Wanted);

    // (a) write with read-back on a 9600-baud line.
    TSimulatorOptions Paced;
    Paced.Faults.LineBaud = static_cast<unsigned>(LineBaud);
    TModuleSimulator Slow(Paced);
    Slow.Start();
    std::vector<double> WriteTimes;
    std::vector<double> LineTimes;
    std::vector<double> RawTimes;
    std::vector<double> BackupRatios;
    const std::string States = (std::filesystem::temp_directory_path() / "varnolink-cli-bench-state").string();
    ::setenv("XDG_STATE_HOME", States.c_str(), 1);
    for (int Run = 0; Run < WriteRuns; ++Run) {
        Slow.SetState({});
        Slow.ClearRequests();
        TClock::time_point Started;
        if (RunProgram({Program, "write", "-p", Slow.DevicePath(), File.string(), "--no-backup"}, Started) != 0)
            throw std::runtime_error("varnolink write failed");
        WriteTimes.push_back(Ms(TClock::now() - Started));
        LineTimes.push_back(static_cast<double>(LineCharacters(Slow)) * BitsPerCharacter / LineBaud * 1000.0);
        RawTimes.push_back(RawExchanges(Slow.DevicePath(), Slow.Requests()));
        // The same write with the backup read before it, over its own line time.
        Slow.SetState({});
        Slow.ClearRequests();
        if (RunProgram({Program, "write", "-p", Slow.DevicePath(), File.string()}, Started) != 0)
            throw std::runtime_error("varnolink write with its backup failed");
        BackupRatios.push_back(Ms(TClock::now() - Started) /
                               (static_cast<double>(LineCharacters(Slow)) * BitsPerCharacter / LineBaud * 1000.0));
    }
    std::filesystem::remove_all(States);
    Slow.Stop();

    // (b) start to the first request byte, instant module.
    TModuleSimulator Instant;
    Instant.Start();
    std::vector<double> FirstRequest;
    std::vector<double> TrueRuns;
    for (int Run = 0; Run < StartRuns; ++Run) {
        Instant.ClearRequests();
        TClock::time_point Started;
        RunProgram({Program, "identify", "-p", Instant.DevicePath()}, Started);
        const std::vector<varnolink::sim::TRequestRecord> Log = Instant.RequestLog();
        if (Log.empty())
            throw std::runtime_error("no request reached the simulator");
        FirstRequest.push_back(Ms(Log.front().FirstByteAt - Started));
        RunProgram({"/bin/true"}, Started);
        TrueRuns.push_back(Ms(TClock::now() - Started));
    }
    Instant.Stop();
    std::filesystem::remove(File);

    const double Write = Median(WriteTimes);
    const double Line = Median(LineTimes);
    const double Raw = Median(RawTimes);
    const double Start = Median(FirstRequest);
    const double True = Median(TrueRuns);
    std::printf("varnolink against the simulator (medians)\n");
    std::printf("  %-52s %10.1f ms  (%d runs)\n", "write + read-back, 9600-baud line, start to exit", Write, WriteRuns);
    std::printf("  %-52s %10.1f ms\n", "pure line time of its requests and replies", Line);
    std::printf("  %-52s %10.1f ms\n", "the same frames sent raw by the bench, one by one", Raw);
    std::printf("  %-52s %10.2f ms  (%d runs)\n", "process start to the first request byte", Start, StartRuns);
    std::printf("  %-52s %10.2f ms\n", "start and end of /bin/true", True);
    std::printf("BENCH cli_write_verify_vs_line_time %.4f\n", Write / Line);
    std::printf("BENCH cli_write_verify_vs_raw_line_exchanges %.4f\n", Write / Raw);
    std::printf("BENCH cli_start_to_first_request_ms %.2f\n", Start);
    std::printf("BENCH cli_write_verify_with_backup_vs_line_time %.4f\n", Median(BackupRatios));
    std::printf("BENCHROW varnolink write with read-back at 9600 baud, ms (vs pure line time)|%.1f|%.1f|%.3f|<= 1.05\n",
                Write, Line, Write / Line);
    std::printf(
        "BENCHROW varnolink write with read-back at 9600 baud, ms (vs the same frames sent raw)|%.1f|%.1f|%.3f|\n",
        Write, Raw, Write / Raw);
    std::printf(
        "BENCHROW varnolink start to first request byte, ms (vs /bin/true start to end)|%.2f|%.2f|%.2f|<= 50 ms\n",
        Start, True, Start / True);
    return 0;
}
