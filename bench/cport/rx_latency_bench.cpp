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

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 10'000;
constexpr int kBlocks = 10;
constexpr int kWarmUp = 200;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

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
    }
    ~Pty() { ::close(master_); }
    const std::string& Path() const { return path_; }
    void WriteByte() const {
        const char c = 'r';
        if (::write(master_, &c, 1) != 1) throw std::runtime_error("write failed");
    }

private:
    int master_ = -1;
    std::string path_;
};

// The bare loop: epoll on the raw slave, one read per wake.
void MeasureEpoll(const Pty& Line, int Count, std::vector<double>& Out) {
    const int fd = ::open(Line.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open the slave");
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    char buffer[64];
    for (int i = 0; i < kWarmUp + Count; ++i) {
        const auto start = Clock::now();
        Line.WriteByte();
        epoll_event ready{};
        while (::epoll_wait(ep, &ready, 1, -1) != 1) {
        }
        if (::read(fd, buffer, sizeof buffer) != 1) throw std::runtime_error("bare read");
        if (i >= kWarmUp) Out.push_back(Micros(Clock::now() - start));
    }
    ::close(ep);
    ::close(fd);
}

// The relay: a reader thread hands each byte over through an eventfd.
void MeasureRelay(const Pty& Line, int Count, std::vector<double>& Out) {
    const int fd = ::open(Line.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open the slave");
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    const int handed = ::eventfd(0, EFD_CLOEXEC);
    const int stop = ::eventfd(0, EFD_CLOEXEC);
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
        Line.WriteByte();
        uint64_t counter;
        if (::read(handed, &counter, sizeof counter) != sizeof counter) throw std::runtime_error("relay");
        if (i >= kWarmUp) Out.push_back(Micros(Clock::now() - start));
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stop, &one, sizeof one);
    reader.join();
    ::close(stop);
    ::close(handed);
    ::close(ep);
    ::close(fd);
}

// The owning thread's loop.
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
    // Sleeps until woken (or Timeout ms), then serves the queue.
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

void MeasurePort(const Pty& Line, OwnerLoop& Loop, int Count, std::vector<double>& Out) {
    cport::TComPort port;
    port.SetPort(Line.Path());
    Clock::time_point received;
    int32_t got = 0;
    port.OnRxChar = [&](cport::TComponent*, int32_t Count) {
        char buffer[64];
        got += port.ReadBytes(buffer, std::min<int32_t>(Count, sizeof buffer));
        received = Clock::now();
    };
    port.Open();
    for (int i = 0; i < kWarmUp + Count; ++i) {
        got = 0;
        const auto start = Clock::now();
        Line.WriteByte();
        while (got == 0) Loop.ServeOnce(-1);
        if (i >= kWarmUp) Out.push_back(Micros(received - start));
    }
    port.Close();
}

// CPU of the owner loop over 5 s, with an open idle port or (baseline) none.
double IdleCpuPercent(const Pty& Line, OwnerLoop& Loop, bool WithPort) {
    cport::TComPort port;
    port.SetPort(Line.Path());
    if (WithPort) port.Open();
    const double cpu_before = ProcessCpuSeconds();
    const auto wall_before = Clock::now();
    const auto end = wall_before + std::chrono::seconds(5);
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        Loop.ServeOnce(static_cast<int>(std::max<int64_t>(1, left.count())));
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
        MeasurePort(line, loop, kRoundTrips / kBlocks, port);
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
