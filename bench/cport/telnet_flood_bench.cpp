// SPDX-License-Identifier: MIT
// telnet_flood_bench: the processor time of a read on an rfc2217:// port
// whose server floods telnet commands, against the same read with the server
// silent, in the same run.
//
//   BENCH telnet_flood_cpu_share  CPU seconds of this process per wall
//       second of a ReadBytes with a 2 s limit while the server sends
//       IAC NOP without end (as fast as TCP takes it) and no data. The
//       server is a child process, so that its own sending is not counted.
//       The port has its default events: the event thread reads as well.
//
// Runs alternate between the flood and the silence so that a change in the
// machine's load touches both alike.

#include "cport/comport.h"
#include "tests/cport/telnet_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

constexpr int Runs = 5;
constexpr int32_t ReadLimitMs = 2000;

void Check(bool Ok, const std::string& What)
{
    if (!Ok)
        throw std::runtime_error(What);
}

double ProcessCpuSeconds()
{
    timespec Used{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Used);
    return static_cast<double>(Used.tv_sec) + static_cast<double>(Used.tv_nsec) / 1e9;
}

double Median(std::vector<double> Samples)
{
    std::sort(Samples.begin(), Samples.end());
    return Samples[Samples.size() / 2];
}

// The server in a child process: it writes its port number to Out, then
// floods (or stays silent) once a byte arrives on In, and ends when In
// closes.
pid_t StartServer(bool Floods, int& Port, int& Go)
{
    int ToChild[2], FromChild[2];
    Check(::pipe2(ToChild, O_CLOEXEC) == 0 && ::pipe2(FromChild, O_CLOEXEC) == 0, "pipes to the server");
    const pid_t Pid = ::fork();
    Check(Pid >= 0, "fork");
    if (Pid == 0) {
        ::close(ToChild[1]);
        ::close(FromChild[0]);
        {
            net_test::TTelnetPeer Peer;
            const std::string Url = Peer.Url();
            const int Number = std::stoi(Url.substr(Url.rfind(':') + 1));
            [[maybe_unused]] ssize_t N = ::write(FromChild[1], &Number, sizeof Number);
            char Byte;
            if (::read(ToChild[0], &Byte, 1) == 1 && Floods)
                Peer.Flood({"", "\xff\xf1", true});
            while (::read(ToChild[0], &Byte, 1) > 0) {
            }
        }
        ::_exit(0);
    }
    ::close(ToChild[0]);
    ::close(FromChild[1]);
    Check(::read(FromChild[0], &Port, sizeof Port) == sizeof Port, "the server's port");
    ::close(FromChild[0]);
    Go = ToChild[1];
    return Pid;
}

// One read of at most ReadLimitMs against a fresh server; CPU seconds of
// this process per wall second of the read.
double CpuShareOfRead(bool Floods)
{
    int Port = 0, Go = -1;
    const pid_t Server = StartServer(Floods, Port, Go);
    double Share = 0;
    {
        cport::TComPort ComPort;
        ComPort.SetPort("rfc2217://127.0.0.1:" + std::to_string(Port));
        ComPort.Timeouts().SetReadInterval(0);
        ComPort.Timeouts().SetReadTotalMultiplier(0);
        ComPort.Timeouts().SetReadTotalConstant(ReadLimitMs);
        ComPort.Open();
        const char Byte = 1;
        Check(::write(Go, &Byte, 1) == 1, "start the server");
        char Buffer[64];
        const double CpuBefore = ProcessCpuSeconds();
        const auto Start = TClock::now();
        try {
            ComPort.ReadBytes(Buffer, sizeof Buffer);
        } catch (const cport::EComPort& Error) {
            throw std::runtime_error(std::string("the read failed: ") + Error.what());
        }
        const double Wall = std::chrono::duration<double>(TClock::now() - Start).count();
        Share = (ProcessCpuSeconds() - CpuBefore) / Wall;
        ComPort.Close();
    }
    ::close(Go);
    int Status = 0;
    ::waitpid(Server, &Status, 0);
    return Share;
}

}  // namespace

int main()
{
    try {
        std::vector<double> Flood, Silent;
        for (int Run = 0; Run < Runs; ++Run) {
            Flood.push_back(CpuShareOfRead(true));
            Silent.push_back(CpuShareOfRead(false));
        }
        const double Ours = Median(Flood), Baseline = Median(Silent);
        std::printf("A 2 s read on rfc2217://, CPU seconds per second (medians of %d runs)\n", Runs);
        std::printf("  %-40s %10.4f\n", "server flooding IAC NOP", Ours);
        std::printf("  %-40s %10.4f\n", "server silent", Baseline);
        std::printf("BENCH telnet_flood_cpu_share %.4f\n", Ours);
        std::printf("BENCHROW CPU of a 2 s read against a telnet command flood, s per s (vs the same read, server "
                    "silent)|%.4f|%.4f|%+.4f|<= 0.05\n",
                    Ours, Baseline, Ours - Baseline);
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "telnet_flood_bench: %s\n", Failure.what());
        return 1;
    }
    return 0;
}
