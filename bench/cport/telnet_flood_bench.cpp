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

#include "bench/cport/forked_peer.h"
#include "bench/median.h"
#include "cport/comport.h"
#include "tests/support/process_cpu.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bench::Median;
using test_support::ProcessCpuSeconds;
using TClock = std::chrono::steady_clock;

constexpr int Runs = 5;
constexpr int32_t ReadLimitMs = 2000;

// One read of at most ReadLimitMs against a fresh server; CPU seconds of
// this process per wall second of the read.
double CpuShareOfRead(bool Floods)
{
    forked_peer::TForkedPeer Server(Floods ? net_test::TFlood{"", "\xff\xf1", true} : net_test::TFlood{});
    cport::TComPort ComPort;
    ComPort.SetPort(Server.Url());
    ComPort.Timeouts().SetReadInterval(0);
    ComPort.Timeouts().SetReadTotalMultiplier(0);
    ComPort.Timeouts().SetReadTotalConstant(ReadLimitMs);
    ComPort.Open();
    Server.Start();
    char Buffer[64];
    const double CpuBefore = ProcessCpuSeconds();
    const auto Start = TClock::now();
    try {
        ComPort.ReadBytes(Buffer, sizeof Buffer);
    } catch (const cport::EComPort& Error) {
        throw std::runtime_error(std::string("the read failed: ") + Error.what());
    }
    const double Wall = std::chrono::duration<double>(TClock::now() - Start).count();
    const double Share = (ProcessCpuSeconds() - CpuBefore) / Wall;
    ComPort.Close();
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
