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
//   port      the owning thread sleeping in its own loop (poll on an eventfd
//             that the wake hook writes, then CheckSynchronize), until
//             OnRxChar runs there and has read the byte (smThreadSync).
// They are measured in alternating blocks so that drift of the machine
// touches all alike.
#include "cport/comport.h"
#include "bench/cport/rx_round_trip.h"

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

using namespace rx_bench;

constexpr int kRoundTrips = 10'000;
constexpr int kBlocks = 10;
constexpr int kWarmUp = 200;

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The bare loop: epoll on the raw slave, one read per wake.
void MeasureEpoll(const Pty& Line, int Count, std::vector<double>& Out) {
    const test_support::TOwnedFd Slave = test_support::OpenRawSlave(Line.SlavePath());
    const test_support::TOwnedFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    const int fd = Slave.Get(), ep = Epoll.Get();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    char buffer[64];
    for (int i = 0; i < kWarmUp + Count; ++i) {
        const auto start = Clock::now();
        Line.Write("r");
        epoll_event ready{};
        while (::epoll_wait(ep, &ready, 1, -1) != 1) {
        }
        if (::read(fd, buffer, sizeof buffer) != 1) throw std::runtime_error("bare read");
        if (i >= kWarmUp) Out.push_back(Micros(Clock::now() - start));
    }
}

// The relay: a reader thread hands each byte over through an eventfd.
void MeasureRelay(const Pty& Line, int Count, std::vector<double>& Out) {
    const test_support::TOwnedFd Slave = test_support::OpenRawSlave(Line.SlavePath());
    const test_support::TOwnedFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    const int fd = Slave.Get(), ep = Epoll.Get();
    const test_support::TOwnedFd Handed(::eventfd(0, EFD_CLOEXEC)), Stop(::eventfd(0, EFD_CLOEXEC));
    const int handed = Handed.Get(), stop = Stop.Get();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    ev.data.fd = stop;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, stop, &ev);
    std::thread reader([&] {
        char buffer[64];
        for (;;) {
            epoll_event ready{};
            if (::epoll_wait(ep, &ready, 1, -1) != 1) continue;
            if (ready.data.fd == stop) return;
            if (::read(fd, buffer, sizeof buffer) > 0) {
                const uint64_t one = 1;
                [[maybe_unused]] auto n = ::write(handed, &one, sizeof one);
            }
        }
    });
    for (int i = 0; i < kWarmUp + Count; ++i) {
        const auto start = Clock::now();
        Line.Write("r");
        uint64_t counter;
        if (::read(handed, &counter, sizeof counter) != sizeof counter) throw std::runtime_error("relay");
        if (i >= kWarmUp) Out.push_back(Micros(Clock::now() - start));
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stop, &one, sizeof one);
    reader.join();
}

// CPU of the owner loop over 5 s, with an open idle port or (baseline) none.
double IdleCpuPercent(const Pty& Line, OwnerLoop& Loop, bool WithPort) {
    cport::TComPort port;
    port.SetPort(Line.SlavePath());
    if (WithPort) port.Open();
    const double cpu_before = ProcessCpuSeconds();
    const auto wall_before = Clock::now();
    const auto end = wall_before + std::chrono::seconds(5);
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        Loop.ServeOnce(std::max(std::chrono::milliseconds(1), left));
    }
    const double cpu = ProcessCpuSeconds() - cpu_before;
    const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
    port.Close();
    return 100.0 * cpu / wall;
}

}  // namespace

int main() {
    Pty line;
    OwnerLoop loop;
    std::vector<double> bare, relay, port;
    bare.reserve(kRoundTrips);
    relay.reserve(kRoundTrips);
    port.reserve(kRoundTrips);
    for (int block = 0; block < kBlocks; ++block) {
        MeasureEpoll(line, kRoundTrips / kBlocks, bare);
        MeasureRelay(line, kRoundTrips / kBlocks, relay);
        MeasurePortRoundTrips(line, line.SlavePath(), loop, kWarmUp, kRoundTrips / kBlocks,
                              std::chrono::milliseconds(-1), port);
    }
    const double idle_loop = IdleCpuPercent(line, loop, false);
    const double idle = IdleCpuPercent(line, loop, true);

    const double bare_median = Percentile(bare, 0.5), port_median = Percentile(port, 0.5);
    std::printf("receive latency over %d round trips on a pseudo-terminal (microseconds)\n", kRoundTrips);
    std::printf("  %-28s %10s %10s %10s\n", "", "median", "p90", "p99");
    std::printf("  %-28s %10.1f %10.1f %10.1f\n", "bare epoll loop", bare_median, Percentile(bare, 0.9),
                Percentile(bare, 0.99));
    std::printf("  %-28s %10.1f %10.1f %10.1f\n", "relay thread + eventfd", Percentile(relay, 0.5),
                Percentile(relay, 0.9), Percentile(relay, 0.99));
    std::printf("  %-28s %10.1f %10.1f %10.1f\n", "port OnRxChar (owner thread)", port_median,
                Percentile(port, 0.9), Percentile(port, 0.99));
    std::printf("idle open port: %.3f %% of a core over 5 s\n", idle);
    std::printf("BENCH rx_latency_vs_epoll %.3f\n", port_median / bare_median);
    std::printf("BENCH rx_latency_p99_us %.1f\n", Percentile(port, 0.99));
    std::printf("BENCH idle_port_cpu_percent %.3f\n", idle);
    std::printf("BENCH rx_latency_vs_relay %.3f\n", port_median / Percentile(relay, 0.5));
    // Table rows for bench/run: label|ours|baseline|ratio|goal.
    std::printf("BENCHROW receive latency to the owning thread, median us (vs bare epoll)|%.1f|%.1f|%.2f|<= 2\n",
                port_median, bare_median, port_median / bare_median);
    std::printf("BENCHROW idle CPU of an open port, %% of a core (vs loop without port)|%.3f|%.3f|%+.3f pp|ours <= 0.1 %%\n",
                idle, idle_loop, idle - idle_loop);
    // Every sample, for the distribution plot: "<bare> <port>" per line.
    if (const char* path = std::getenv("VARNOLINK_RX_LATENCY_SAMPLES")) {
        if (FILE* f = std::fopen(path, "w")) {
            for (size_t i = 0; i < bare.size() && i < port.size(); ++i) std::fprintf(f, "%.2f %.2f\n", bare[i], port[i]);
            std::fclose(f);
        }
    }
    return 0;
}
