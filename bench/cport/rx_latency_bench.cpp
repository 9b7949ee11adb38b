// SPDX-License-Identifier: MIT
// Receive latency of the event thread and its hand-over, against a bare
// epoll loop on the same pseudo-terminal in the same run, and the CPU an
// open, idle port costs.
//
// A round trip: the far end (the pty master) writes one byte; the time until
// it is in hand is measured.
//   baseline  one thread sleeping in epoll_wait on the raw slave, then read();
//   relay     the least any design with a thread of its own can do: a
//             second thread sleeping in epoll_wait reads the byte and writes
//             an eventfd on which the owning thread sleeps (two wakes where
//             the bare loop has one); for reference;
//   port      the owning thread sleeping in its own loop on the component's
//             wait descriptor (MainThreadWaitDescriptor, as the window
//             does), then CheckSynchronize, until OnRxChar runs there and
//             has read the byte (smThreadSync);
//   hook      the same with a loop that sleeps on an eventfd written by the
//             wake hook (the event thread reads the byte and wakes the
//             owner: two wakes); for reference, on a thread of its own.
// They are measured in alternating blocks so that drift of the machine
// touches all alike.
#include "bench/cport/rx_round_trip.h"
#include "cport/comport.h"
#include "tests/support/process_cpu.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using test_support::ProcessCpuSeconds;
using namespace rx_bench;

constexpr int RoundTrips = 10'000;
constexpr int Blocks = 10;
constexpr int WarmUp = 200;

// The bare loop: epoll on the raw slave, one read per wake.
void MeasureEpoll(const Pty& Line, int Count, std::vector<double>& Out)
{
    const cport::TUniqueFd Slave = test_support::OpenRawSlave(Line.SlavePath());
    const cport::TUniqueFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    const int Fd = Slave.get(), Ep = Epoll.get();
    epoll_event Ev{};
    Ev.events = EPOLLIN;
    ::epoll_ctl(Ep, EPOLL_CTL_ADD, Fd, &Ev);
    char Buffer[64];
    for (int I = 0; I < WarmUp + Count; ++I) {
        const auto Start = Clock::now();
        Line.Write("r");
        epoll_event Ready{};
        while (::epoll_wait(Ep, &Ready, 1, -1) != 1) {
        }
        if (::read(Fd, Buffer, sizeof Buffer) != 1)
            throw std::runtime_error("bare read");
        if (I >= WarmUp)
            Out.push_back(Micros(Clock::now() - Start));
    }
}

// The relay: a reader thread hands each byte over through an eventfd.
void MeasureRelay(const Pty& Line, int Count, std::vector<double>& Out)
{
    const cport::TUniqueFd Slave = test_support::OpenRawSlave(Line.SlavePath());
    const cport::TUniqueFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    const int fd = Slave.get(), ep = Epoll.get();
    const cport::TUniqueFd Handed(::eventfd(0, EFD_CLOEXEC)), Stop(::eventfd(0, EFD_CLOEXEC));
    const int handed = Handed.get(), stop = Stop.get();
    epoll_event Ev{};
    Ev.events = EPOLLIN;
    Ev.data.fd = fd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &Ev);
    Ev.data.fd = stop;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, stop, &Ev);
    std::thread Reader([&] {
        char Buffer[64];
        for (;;) {
            epoll_event Ready{};
            if (::epoll_wait(ep, &Ready, 1, -1) != 1)
                continue;
            if (Ready.data.fd == stop)
                return;
            if (::read(fd, Buffer, sizeof Buffer) > 0) {
                const uint64_t One = 1;
                [[maybe_unused]] auto N = ::write(handed, &One, sizeof One);
            }
        }
    });
    for (int I = 0; I < WarmUp + Count; ++I) {
        const auto Start = Clock::now();
        Line.Write("r");
        uint64_t Counter;
        if (::read(handed, &Counter, sizeof Counter) != sizeof Counter)
            throw std::runtime_error("relay");
        if (I >= WarmUp)
            Out.push_back(Micros(Clock::now() - Start));
    }
    const uint64_t One = 1;
    [[maybe_unused]] auto N = ::write(stop, &One, sizeof One);
    Reader.join();
}

// CPU of the owner loop over 5 s, with an open idle port or (baseline) none.
double IdleCpuPercent(const Pty& Line, OwnerLoop& Loop, bool WithPort)
{
    cport::TComPort Port;
    Port.SetPort(Line.SlavePath());
    if (WithPort)
        Port.Open();
    const double CpuBefore = ProcessCpuSeconds();
    const auto WallBefore = Clock::now();
    const auto End = WallBefore + std::chrono::seconds(5);
    while (Clock::now() < End) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - Clock::now());
        Loop.ServeOnce(std::max(std::chrono::milliseconds(1), Left));
    }
    const double Cpu = ProcessCpuSeconds() - CpuBefore;
    const double Wall = std::chrono::duration<double>(Clock::now() - WallBefore).count();
    Port.Close();
    return 100.0 * Cpu / Wall;
}

}  // namespace

int main()
{
    Pty Line;
    OwnerLoop Loop(test_support::TWakeBy::WaitDescriptor);
    std::vector<double> Bare, Relay, Port, Hook;
    Bare.reserve(RoundTrips);
    Relay.reserve(RoundTrips);
    Port.reserve(RoundTrips);
    Hook.reserve(RoundTrips);
    for (int Block = 0; Block < Blocks; ++Block) {
        MeasureEpoll(Line, RoundTrips / Blocks, Bare);
        MeasureRelay(Line, RoundTrips / Blocks, Relay);
        MeasurePortRoundTrips(Line, Line.SlavePath(), Loop, WarmUp, RoundTrips / Blocks, std::chrono::milliseconds(-1),
                              Port);
        std::thread([&] {
            OwnerLoop HookLoop;
            MeasurePortRoundTrips(Line, Line.SlavePath(), HookLoop, WarmUp, RoundTrips / Blocks,
                                  std::chrono::milliseconds(-1), Hook);
        }).join();
    }
    const double IdleLoop = IdleCpuPercent(Line, Loop, false);
    const double Idle = IdleCpuPercent(Line, Loop, true);

    const double BareMedian = Percentile(Bare, 0.5), PortMedian = Percentile(Port, 0.5);
    std::printf("receive latency over %d round trips on a pseudo-terminal (microseconds)\n", RoundTrips);
    std::printf("  %-28s %10s %10s %10s\n", "", "median", "p90", "p99");
    std::printf("  %-28s %10.1f %10.1f %10.1f\n", "bare epoll loop", BareMedian, Percentile(Bare, 0.9),
                Percentile(Bare, 0.99));
    std::printf("  %-28s %10.1f %10.1f %10.1f\n", "relay thread + eventfd", Percentile(Relay, 0.5),
                Percentile(Relay, 0.9), Percentile(Relay, 0.99));
    std::printf("  %-28s %10.1f %10.1f %10.1f\n", "port OnRxChar (owner thread)", PortMedian, Percentile(Port, 0.9),
                Percentile(Port, 0.99));
    std::printf("  %-28s %10.1f %10.1f %10.1f\n", "port OnRxChar, wake hook loop", Percentile(Hook, 0.5),
                Percentile(Hook, 0.9), Percentile(Hook, 0.99));
    std::printf("idle open port: %.3f %% of a core over 5 s\n", Idle);
    std::printf("BENCH rx_latency_vs_epoll %.3f\n", PortMedian / BareMedian);
    std::printf("BENCH rx_latency_p99_us %.1f\n", Percentile(Port, 0.99));
    std::printf("BENCH idle_port_cpu_percent %.3f\n", Idle);
    std::printf("BENCH rx_latency_vs_relay %.3f\n", PortMedian / Percentile(Relay, 0.5));
    std::printf("BENCH rx_latency_hook_vs_epoll %.3f\n", Percentile(Hook, 0.5) / BareMedian);
    // Table rows for bench/run: label|ours|baseline|ratio|goal.
    std::printf("BENCHROW receive latency to the owning thread, median us (vs bare epoll)|%.1f|%.1f|%.2f|<= 1.5\n",
                PortMedian, BareMedian, PortMedian / BareMedian);
    std::printf(
        "BENCHROW idle CPU of an open port, %% of a core (vs loop without port)|%.3f|%.3f|%+.3f pp|ours <= 0.1 %%\n",
        Idle, IdleLoop, Idle - IdleLoop);
    // Every sample, for the distribution plot: "<bare> <port>" per line.
    if (const char* Path = std::getenv("VARNOLINK_RX_LATENCY_SAMPLES")) {
        if (FILE* F = std::fopen(Path, "w")) {
            for (size_t I = 0; I < Bare.size() && I < Port.size(); ++I)
                std::fprintf(F, "%.2f %.2f\n", Bare[I], Port[I]);
            std::fclose(F);
        }
    }
    return 0;
}
