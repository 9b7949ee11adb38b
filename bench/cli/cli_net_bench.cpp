// SPDX-License-Identifier: MIT
// varnolink read through ser2net's RFC 2217 port, against a bare client
// doing the same exchanges through the same ser2net, in the same run.
//
//   BENCH cli_read_rfc2217_vs_bare_client  "varnolink read -p rfc2217://..."
//       from process start to exit, median, over the median of a bare
//       telnet client (bench/bare_telnet_client.h) connecting to the same
//       accepter and making the same exchanges (the frames the simulator
//       received from varnolink read: the identity, then READ CONFIG's 14),
//       each request in one send, until the last reply. The module simulator behind ser2net
//       paces its line at 9600 baud, so both columns carry the line time
//       and ours also the program's start, the RFC 2217 negotiation and the
//       line settings.
//
// The two alternate so that a change in the machine's load touches both
// alike. ser2net lets one client at a time on a port and releases it a
// moment after the previous one has gone: a run of varnolink that finds the
// port still taken is started again, and only the run that got through
// counts.

#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bare_telnet_client.h"
#include "bench/median.h"
#include "bench/spawn_quiet.h"
#include "main/protocol/transaction_chains.h"
#include "sim/module_simulator.h"
#include "tests/cport/ser2net_server.h"

using namespace varnolink;

namespace {

using bench::Median;
using TClock = std::chrono::steady_clock;
using bare_client::TBareTelnetClient;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TSimulatorOptions;

constexpr int Runs = 7;
constexpr int Attempts = 200;

void Check(bool Ok, const std::string& What)
{
    if (!Ok)
        throw std::runtime_error(What);
}

double Ms(TClock::duration Span)
{
    return std::chrono::duration<double, std::milli>(Span).count();
}

// One varnolink read that got through, start to exit, in ms.
double TimeCliRead(const std::string& Url)
{
    for (int Attempt = 0; Attempt < Attempts; ++Attempt) {
        const auto Started = TClock::now();
        const pid_t Pid = SpawnQuiet({VARNOLINK_CLI_EXECUTABLE, "read", "-p", Url}, TChildOutput::Silent);
        int Status = 0;
        ::waitpid(Pid, &Status, 0);
        const double Elapsed = Ms(TClock::now() - Started);
        if (ExitCodeOf(Status) == 0)
            return Elapsed;
        ::poll(nullptr, 0, 5);  // ser2net has not let the last client go yet
    }
    throw std::runtime_error("varnolink read did not get through ser2net");
}

// The bare client's exchanges (after its untimed first one, which makes
// sure the port is its own), in ms.
double TimeBareRead(uint16_t Port, const std::vector<std::string>& Requests)
{
    std::string Reply;
    TBareTelnetClient Client(Port, Requests.front());
    const auto Started = TClock::now();
    for (const std::string& Request : Requests)
        Client.Exchange(Request, Reply, false);
    return Ms(TClock::now() - Started);
}

}  // namespace

int main()
{
    try {
        TSimulatorOptions Options;
        Options.Faults.LineBaud = 9600;
        TModuleSimulator Simulator(Options);
        Simulator.Start();
        const net_test::TSer2NetServer Server(Simulator.DevicePath());

        Simulator.ClearRequests();
        TimeCliRead(Server.Rfc2217Url());
        std::vector<std::string> Requests;
        for (const auto& Request : Simulator.RequestLog())
            Requests.push_back(Request.Frame);
        Check(Requests.size() >= ReadChain.size(), "varnolink read makes READ CONFIG's exchanges");
        TimeBareRead(Server.Rfc2217Port(), Requests);

        std::vector<double> Cli, Bare;
        for (int Run = 0; Run < Runs; ++Run) {
            Cli.push_back(TimeCliRead(Server.Rfc2217Url()));
            Bare.push_back(TimeBareRead(Server.Rfc2217Port(), Requests));
        }
        const double Ours = Median(Cli), Baseline = Median(Bare);
        std::printf("READ CONFIG through ser2net (rfc2217), module at 9600 baud, medians of %d runs\n", Runs);
        std::printf("  %-44s %10.2f ms\n", "varnolink read, start to exit", Ours);
        std::printf("  %-44s %10.2f ms\n", "bare client, the same exchanges", Baseline);
        std::printf("BENCH cli_read_rfc2217_vs_bare_client %.3f\n", Ours / Baseline);
        std::printf("BENCHROW varnolink read through ser2net rfc2217 at 9600 baud, ms (vs a bare telnet client "
                    "through the same ser2net)|%.1f|%.1f|%.3f|<= 1.1\n",
                    Ours, Baseline, Ours / Baseline);
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "cli_net_bench: %s\n", Failure.what());
        return 1;
    }
    return 0;
}
