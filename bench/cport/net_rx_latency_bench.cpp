// SPDX-License-Identifier: MIT
// Receive latency of a network port through ser2net, against the same port
// on a pseudo-terminal directly, in the same run.
//
// A round trip: the far end (a pty master) writes one byte; the time until
// OnRxChar has read it on the owning thread is measured.
//   baseline  TComPort on the pty's slave;
//   rfc2217   TComPort on rfc2217://127.0.0.1:PORT, ser2net's telnet(rfc2217)
//             accepter whose connector is the slave of a second pty;
//   socket    the same through ser2net's raw accepter (for reference);
//   bare      an epoll loop on the raw slave and one on a TCP connection to
//             ser2net's raw accepter, without the component: the server's
//             hop by itself (for reference).
// The kinds alternate in blocks so that drift of the machine touches all
// alike. ser2net runs without chardelay, as the README recommends.
#include "cport/comport.h"
#include "bench/cport/rx_round_trip.h"
#include "tests/cport/ser2net_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace rx_bench;

constexpr int kRoundTrips = 3000;
constexpr int kBlocks = 10;
constexpr int kWarmUp = 50;

// The same round trip without the component: one thread sleeping in epoll
// on Fd (the raw slave, or a TCP connection to ser2net's raw accepter),
// then one read. The ratio of the two shows what the server's hop costs by
// itself on this machine.
void MeasureBare(const Pty& Line, int Fd, int Count, std::vector<double>& Out) {
    const test_support::TOwnedFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    const int ep = Epoll.Get();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, Fd, &ev);
    for (int i = 0; i < kWarmUp + Count; ++i) {
        const auto start = Clock::now();
        Line.Write("r");
        epoll_event ready{};
        char c;
        for (;;) {
            const int n = ::epoll_wait(ep, &ready, 1, 5000);
            if (n == 0) throw std::runtime_error("no byte within 5 s");
            if (n > 0 && ::read(Fd, &c, 1) == 1) break;
        }
        if (i >= kWarmUp) Out.push_back(Micros(Clock::now() - start));
    }
}

test_support::TOwnedFd ConnectLoopback(uint16_t Port) {
    test_support::TOwnedFd Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = Socket.Get();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(Port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to ser2net");
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return Socket;
}

}  // namespace

int main() {
    return ReportingFailure("net_rx_latency_bench", [] {
        Pty direct, served, raw_served, bare_line, bare_served;
        // A slave held open keeps each line up while ports come and go.
        for (Pty* Line : {&direct, &served, &raw_served, &bare_line, &bare_served}) Line->HoldSlave();
        net_test::TSer2NetServer server(served.SlavePath());
        net_test::TSer2NetServer raw_server(raw_served.SlavePath());
        net_test::TSer2NetServer bare_server(bare_served.SlavePath());
        const test_support::TOwnedFd bare_pty = test_support::OpenRawSlave(bare_line.SlavePath());
        const test_support::TOwnedFd bare_tcp = ConnectLoopback(bare_server.RawPort());
        OwnerLoop loop;
        std::vector<double> pty, rfc2217, raw, bare_pty_times, bare_tcp_times;
        for (int block = 0; block < kBlocks; ++block) {
            // Each kind in turn; a line's far end is emptied after its block.
            for (auto [line, url, samples] : {std::tuple{&direct, direct.SlavePath(), &pty},
                                              std::tuple{&served, server.Rfc2217Url(), &rfc2217},
                                              std::tuple{&raw_served, raw_server.RawUrl(), &raw}}) {
                MeasurePortRoundTrips(*line, url, loop, kWarmUp, kRoundTrips / kBlocks, std::chrono::milliseconds(5000),
                                      *samples);
                line->Drain();
            }
            MeasureBare(bare_line, bare_pty.Get(), kRoundTrips / kBlocks, bare_pty_times);
            MeasureBare(bare_served, bare_tcp.Get(), kRoundTrips / kBlocks, bare_tcp_times);
        }
        const double pty_median = Percentile(pty, 0.5), net_median = Percentile(rfc2217, 0.5);
        std::printf("receive latency to OnRxChar over %d round trips each (microseconds)\n", kRoundTrips);
        std::printf("  %-34s %10s %10s %10s\n", "", "median", "p90", "p99");
        const std::pair<const char*, const std::vector<double>*> rows[] = {
            {"pseudo-terminal directly", &pty},          {"rfc2217:// through ser2net", &rfc2217},
            {"socket:// through ser2net", &raw},         {"bare epoll on the pty (no port)", &bare_pty_times},
            {"bare epoll on ser2net raw TCP", &bare_tcp_times}};
        for (const auto& [label, samples] : rows)
            std::printf("  %-34s %10.1f %10.1f %10.1f\n", label, Percentile(*samples, 0.5), Percentile(*samples, 0.9),
                        Percentile(*samples, 0.99));
        std::printf("BENCH net_rx_latency_vs_pty %.3f\n", net_median / pty_median);
        std::printf("BENCH net_bare_hop_vs_pty_bare %.3f\n",
                    Percentile(bare_tcp_times, 0.5) / Percentile(bare_pty_times, 0.5));
        std::printf("BENCH net_raw_rx_latency_vs_pty %.3f\n", Percentile(raw, 0.5) / pty_median);
        std::printf("BENCHROW receive latency through ser2net (rfc2217), median us (vs the pty directly)|%.1f|%.1f|%.2f|<= 2\n",
                    net_median, pty_median, net_median / pty_median);
    });
}
