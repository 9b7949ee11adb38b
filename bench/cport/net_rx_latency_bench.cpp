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

constexpr int RoundTrips = 3000;
constexpr int Blocks = 10;
constexpr int WarmUp = 50;

// The same round trip without the component: one thread sleeping in epoll
// on Fd (the raw slave, or a TCP connection to ser2net's raw accepter),
// then one read. The ratio of the two shows what the server's hop costs by
// itself on this machine.
void MeasureBare(const Pty& Line, int Fd, int Count, std::vector<double>& Out)
{
    const cport::TUniqueFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    const int Ep = Epoll.get();
    epoll_event Ev{};
    Ev.events = EPOLLIN;
    ::epoll_ctl(Ep, EPOLL_CTL_ADD, Fd, &Ev);
    for (int I = 0; I < WarmUp + Count; ++I) {
        const auto Start = Clock::now();
        Line.Write("r");
        epoll_event Ready{};
        char C;
        for (;;) {
            const int N = ::epoll_wait(Ep, &Ready, 1, 5000);
            if (N == 0)
                throw std::runtime_error("no byte within 5 s");
            if (N > 0 && ::read(Fd, &C, 1) == 1)
                break;
        }
        if (I >= WarmUp)
            Out.push_back(Micros(Clock::now() - Start));
    }
}

cport::TUniqueFd ConnectLoopback(uint16_t Port)
{
    cport::TUniqueFd Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int Fd = Socket.get();
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(Port);
    if (::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
        throw std::runtime_error("cannot connect to ser2net");
    const int on = 1;
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(Fd, F_SETFL, O_NONBLOCK);
    return Socket;
}

}  // namespace

int main()
{
    return ReportingFailure("net_rx_latency_bench", [] {
        Pty Direct, Served, RawServed, BareLine, BareServed;
        // A slave held open keeps each line up while ports come and go.
        for (Pty* Line : {&Direct, &Served, &RawServed, &BareLine, &BareServed})
            Line->HoldSlave();
        net_test::TSer2NetServer Server(Served.SlavePath());
        net_test::TSer2NetServer RawServer(RawServed.SlavePath());
        net_test::TSer2NetServer BareServer(BareServed.SlavePath());
        const cport::TUniqueFd BarePty = test_support::OpenRawSlave(BareLine.SlavePath());
        const cport::TUniqueFd BareTcp = ConnectLoopback(BareServer.RawPort());
        OwnerLoop Loop;
        std::vector<double> Pty, Rfc2217, Raw, BarePtyTimes, BareTcpTimes;
        for (int Block = 0; Block < Blocks; ++Block) {
            // Each kind in turn; a line's far end is emptied after its block.
            for (auto [line, url, samples] :
                 {std::tuple{&Direct, Direct.SlavePath(), &Pty}, std::tuple{&Served, Server.Rfc2217Url(), &Rfc2217},
                  std::tuple{&RawServed, RawServer.RawUrl(), &Raw}}) {
                MeasurePortRoundTrips(*line, url, Loop, WarmUp, RoundTrips / Blocks, std::chrono::milliseconds(5000),
                                      *samples);
                line->Drain();
            }
            MeasureBare(BareLine, BarePty.get(), RoundTrips / Blocks, BarePtyTimes);
            MeasureBare(BareServed, BareTcp.get(), RoundTrips / Blocks, BareTcpTimes);
        }
        const double PtyMedian = Percentile(Pty, 0.5), NetMedian = Percentile(Rfc2217, 0.5);
        std::printf("receive latency to OnRxChar over %d round trips each (microseconds)\n", RoundTrips);
        std::printf("  %-34s %10s %10s %10s\n", "", "median", "p90", "p99");
        const std::pair<const char*, const std::vector<double>*> Rows[] = {
            {"pseudo-terminal directly", &Pty},
            {"rfc2217:// through ser2net", &Rfc2217},
            {"socket:// through ser2net", &Raw},
            {"bare epoll on the pty (no port)", &BarePtyTimes},
            {"bare epoll on ser2net raw TCP", &BareTcpTimes}};
        for (const auto& [label, samples] : Rows)
            std::printf("  %-34s %10.1f %10.1f %10.1f\n", label, Percentile(*samples, 0.5), Percentile(*samples, 0.9),
                        Percentile(*samples, 0.99));
        std::printf("BENCH net_rx_latency_vs_pty %.3f\n", NetMedian / PtyMedian);
        std::printf("BENCH net_bare_hop_vs_pty_bare %.3f\n",
                    Percentile(BareTcpTimes, 0.5) / Percentile(BarePtyTimes, 0.5));
        std::printf("BENCH net_raw_rx_latency_vs_pty %.3f\n", Percentile(Raw, 0.5) / PtyMedian);
        std::printf(
            "BENCHROW receive latency through ser2net (rfc2217), median us (vs the pty directly)|%.1f|%.1f|%.2f|<= 2\n",
            NetMedian, PtyMedian, NetMedian / PtyMedian);
    });
}
