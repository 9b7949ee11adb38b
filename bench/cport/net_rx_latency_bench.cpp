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
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 3000;
constexpr int kBlocks = 10;
constexpr int kWarmUp = 50;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no pty name");
        path_ = name;
        // A slave held open here keeps the line up while ports come and go.
        held_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        ::close(held_);
        ::close(master_);
    }
    const std::string& Path() const { return path_; }
    void WriteByte() const {
        const char c = 'r';
        if (::write(master_, &c, 1) != 1) throw std::runtime_error("write failed");
    }
    void Drain() const {
        char buffer[256];
        while (true) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1 || ::read(master_, buffer, sizeof buffer) <= 0) return;
        }
    }

private:
    int master_ = -1;
    int held_ = -1;
    std::string path_;
};

class OwnerLoop {
public:
    OwnerLoop() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        cport::SetMainThreadWakeHook([this] {
            const uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
        });
    }
    ~OwnerLoop() {
        cport::SetMainThreadWakeHook(nullptr);
        ::close(wake_);
    }
    void ServeOnce(int TimeoutMs) {
        pollfd p{wake_, POLLIN, 0};
        if (::poll(&p, 1, TimeoutMs) == 1) {
            uint64_t counter;
            [[maybe_unused]] auto n = ::read(wake_, &counter, sizeof counter);
        }
        cport::CheckSynchronize();
    }

private:
    int wake_;
};

void Measure(const Pty& Line, const std::string& Port, OwnerLoop& Loop, int Count, std::vector<double>& Out) {
    cport::TComPort port;
    port.SetPort(Port);
    Clock::time_point received;
    int32_t got = 0;
    port.OnRxChar = [&](cport::TComponent*, int32_t Waiting) {
        char buffer[64];
        got += port.ReadBytes(buffer, std::min<int32_t>(Waiting, sizeof buffer));
        received = Clock::now();
    };
    port.Open();
    for (int i = 0; i < kWarmUp + Count; ++i) {
        got = 0;
        const auto start = Clock::now();
        Line.WriteByte();
        while (got == 0) Loop.ServeOnce(5000);
        if (i >= kWarmUp) Out.push_back(Micros(received - start));
    }
    port.Close();
    Line.Drain();
}

// The same round trip without the component: one thread sleeping in epoll
// on Fd (the raw slave, or a TCP connection to ser2net's raw accepter),
// then one read. The ratio of the two shows what the server's hop costs by
// itself on this machine.
void MeasureBare(const Pty& Line, int Fd, int Count, std::vector<double>& Out) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, Fd, &ev);
    for (int i = 0; i < kWarmUp + Count; ++i) {
        const auto start = Clock::now();
        Line.WriteByte();
        epoll_event ready{};
        char c;
        for (;;) {
            const int n = ::epoll_wait(ep, &ready, 1, 5000);
            if (n == 0) throw std::runtime_error("no byte within 5 s");
            if (n > 0 && ::read(Fd, &c, 1) == 1) break;
        }
        if (i >= kWarmUp) Out.push_back(Micros(Clock::now() - start));
    }
    ::close(ep);
}

int OpenRawSlave(const std::string& Path) {
    const int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd, TCSANOW, &raw);
    return fd;
}

int ConnectLoopback(uint16_t Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(Port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to ser2net");
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

}  // namespace

int main() {
    try {
        Pty direct, served, raw_served;
        net_test::TSer2NetServer server(served.Path());
        net_test::TSer2NetServer raw_server(raw_served.Path());
        Pty bare_line, bare_served;
        net_test::TSer2NetServer bare_server(bare_served.Path());
        const int bare_pty = OpenRawSlave(bare_line.Path());
        const int bare_tcp = ConnectLoopback(bare_server.RawPort());
        OwnerLoop loop;
        std::vector<double> pty, rfc2217, raw, bare_pty_times, bare_tcp_times;
        for (int block = 0; block < kBlocks; ++block) {
            Measure(direct, direct.Path(), loop, kRoundTrips / kBlocks, pty);
            Measure(served, server.Rfc2217Url(), loop, kRoundTrips / kBlocks, rfc2217);
            Measure(raw_served, raw_server.RawUrl(), loop, kRoundTrips / kBlocks, raw);
            MeasureBare(bare_line, bare_pty, kRoundTrips / kBlocks, bare_pty_times);
            MeasureBare(bare_served, bare_tcp, kRoundTrips / kBlocks, bare_tcp_times);
        }
        ::close(bare_tcp);
        ::close(bare_pty);
        const double pty_median = Percentile(pty, 0.5), net_median = Percentile(rfc2217, 0.5);
        std::printf("receive latency to OnRxChar over %d round trips each (microseconds)\n", kRoundTrips);
        std::printf("  %-34s %10s %10s %10s\n", "", "median", "p90", "p99");
        std::printf("  %-34s %10.1f %10.1f %10.1f\n", "pseudo-terminal directly", pty_median, Percentile(pty, 0.9),
                    Percentile(pty, 0.99));
        std::printf("  %-34s %10.1f %10.1f %10.1f\n", "rfc2217:// through ser2net", net_median,
                    Percentile(rfc2217, 0.9), Percentile(rfc2217, 0.99));
        std::printf("  %-34s %10.1f %10.1f %10.1f\n", "socket:// through ser2net", Percentile(raw, 0.5),
                    Percentile(raw, 0.9), Percentile(raw, 0.99));
        std::printf("  %-34s %10.1f %10.1f %10.1f\n", "bare epoll on the pty (no port)", Percentile(bare_pty_times, 0.5),
                    Percentile(bare_pty_times, 0.9), Percentile(bare_pty_times, 0.99));
        std::printf("  %-34s %10.1f %10.1f %10.1f\n", "bare epoll on ser2net raw TCP", Percentile(bare_tcp_times, 0.5),
                    Percentile(bare_tcp_times, 0.9), Percentile(bare_tcp_times, 0.99));
        std::printf("BENCH net_rx_latency_vs_pty %.3f\n", net_median / pty_median);
        std::printf("BENCH net_bare_hop_vs_pty_bare %.3f\n",
                    Percentile(bare_tcp_times, 0.5) / Percentile(bare_pty_times, 0.5));
        std::printf("BENCH net_raw_rx_latency_vs_pty %.3f\n", Percentile(raw, 0.5) / pty_median);
        std::printf("BENCHROW receive latency through ser2net (rfc2217), median us (vs the pty directly)|%.1f|%.1f|%.2f|<= 2\n",
                    net_median, pty_median, net_median / pty_median);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "net_rx_latency_bench: %s\n", failure.what());
        return 1;
    }
    return 0;
}
