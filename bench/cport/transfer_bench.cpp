// SPDX-License-Identifier: MIT
// Cost of the transfer operations of TComPort against bare write()/read()
// and against Boost.Asio's serial_port, all on one pseudo-terminal in one
// run. The bench holds the master as the far end; the contenders use the
// slave:
//   bare   a raw non-blocking descriptor of its own, write()/read(), poll()
//          when the line is full or empty;
//   asio   boost::asio::serial_port (synchronous write_some/read_some);
//   port   a TComPort with Events empty (no event thread);
//   bare*  bare syscalls on the line exactly as the port configures it: the
//          port has the kernel mark received errors (INPCK|PARMRK), which
//          takes the kernel off its fast raw input path; this baseline shows
//          the component's own cost apart from that.
// Rows:
//   write1  one one-byte write (WriteBytes(&c, 1) as the program sends its
//           frames; batches of 256 between drains of the far end, only the
//           writes timed);
//   readw   reading what is waiting after 8 bytes have arrived, in one
//           call (port: ReadText with the default time-outs, which return at
//           once with what has arrived; bare: read; asio: read_some);
//   countr  counting what is waiting, then reading that many, as the
//           program's OnRxChar does (port: InputQueueCount then ReadText;
//           bare: FIONREAD then read; Asio offers no count);
//   bulk    throughput of 1 MiB written to the far end (a thread drains it)
//           and 1 MiB read from it (a thread feeds it), all byte values.
// The contenders run in many short blocks in a rotating order so that drift
// of the machine touches all alike. The table shows sums over all blocks;
// each BENCH ratio is the median of the ratios within the blocks: cost
// ratios for write1, readwaiting and countread (port/other, lower is
// better), throughput ratios for bulk (port/other, higher is better).
#include "cport/comport.h"
#include "tests/support/pty_pair.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Many short blocks, each contender once per block in a rotating order, so
// that the load of a shared machine falls on all of them alike.
constexpr int kBlocks = 40;
constexpr int kWrites = 2'048;         // per block and contender
constexpr int kWriteBatch = 256;
constexpr int kReads = 500;
constexpr size_t kReadSize = 8;
constexpr size_t kBulk = 1u << 20;
constexpr size_t kChunk = 64u << 10;   // bulk calls move up to this much each

double Nanos(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

void Check(bool Ok, const char* What) {
    if (!Ok) throw std::runtime_error(std::string(What) + ": " + std::strerror(errno));
}

void WaitFor(int Fd, short Events) {
    pollfd p{Fd, Events, 0};
    Check(::poll(&p, 1, 5000) == 1, "poll");
}

// The far end.
using Master = test_support::TPtyPair;

// Takes Count bytes off the far end.
void DrainExactly(const Master& M, size_t Count) {
    Check(M.Read(Count, std::chrono::seconds(30)).size() == Count, "master read");
}

void WriteAll(const Master& M, const unsigned char* Bytes, size_t Count) {
    M.Write(std::string_view(reinterpret_cast<const char*>(Bytes), Count));
}

// Raw mode as Asio sets it (cfmakeraw, IGNPAR, CREAD, CLOCAL), for the bare
// descriptor and Asio after the port has put back the original settings.
void MakeRaw(int Fd) {
    termios t{};
    Check(::tcgetattr(Fd, &t) == 0, "tcgetattr");
    ::cfmakeraw(&t);
    t.c_iflag |= IGNPAR;
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    Check(::tcsetattr(Fd, TCSANOW, &t) == 0, "tcsetattr");
}

// One contender: how it writes one byte, reads what is waiting, and moves
// bulk data in each direction.
struct Contender {
    virtual ~Contender() = default;
    virtual void WriteOne(const unsigned char* Byte) = 0;
    virtual size_t ReadWaiting(unsigned char* Buffer, size_t Size) = 0;
    virtual bool CanCount() const { return true; }
    virtual size_t CountThenRead(unsigned char* Buffer, size_t Size) = 0;
    virtual void WriteAll(const unsigned char* Bytes, size_t Count) = 0;
    virtual void ReadAll(unsigned char* Bytes, size_t Count) = 0;
};

struct Bare : Contender {
    explicit Bare(int Fd) : fd(Fd) {}
    // On the line as the port sets it (PARMRK), the kernel doubles each 0xFF
    // it delivers: a bulk read then takes that many more bytes.
    size_t doubled = 0;
    void WriteOne(const unsigned char* Byte) override { Check(::write(fd, Byte, 1) == 1, "write"); }
    size_t ReadWaiting(unsigned char* Buffer, size_t Size) override {
        const ssize_t n = ::read(fd, Buffer, Size);
        Check(n >= 0, "read");
        return static_cast<size_t>(n);
    }
    size_t CountThenRead(unsigned char* Buffer, size_t Size) override {
        int waiting = 0;
        Check(::ioctl(fd, FIONREAD, &waiting) == 0, "FIONREAD");
        const ssize_t n = ::read(fd, Buffer, std::min(Size, static_cast<size_t>(waiting)));
        Check(n >= 0, "read");
        return static_cast<size_t>(n);
    }
    void WriteAll(const unsigned char* Bytes, size_t Count) override {
        while (Count > 0) {
            const ssize_t n = ::write(fd, Bytes, std::min(Count, kChunk));
            if (n > 0) {
                Bytes += n;
                Count -= static_cast<size_t>(n);
            } else {
                Check(n < 0 && errno == EAGAIN, "write");
                WaitFor(fd, POLLOUT);
            }
        }
    }
    void ReadAll(unsigned char* Bytes, size_t Count) override {
        std::vector<unsigned char> spill;
        Count += doubled;
        while (Count > 0) {
            unsigned char* into = Bytes;
            if (doubled > 0) {   // the raw stream is longer than the buffer: only its length matters
                spill.resize(std::min(Count, kChunk));
                into = spill.data();
            }
            const ssize_t n = ::read(fd, into, std::min(Count, kChunk));
            if (n > 0) {
                if (doubled == 0) Bytes += n;
                Count -= static_cast<size_t>(n);
            } else {
                Check(n < 0 && errno == EAGAIN, "read");
                WaitFor(fd, POLLIN);
            }
        }
    }
    int fd;
};

struct Asio : Contender {
    explicit Asio(const std::string& Path) : port(io, Path) {}
    void WriteOne(const unsigned char* Byte) override { port.write_some(boost::asio::buffer(Byte, 1)); }
    size_t ReadWaiting(unsigned char* Buffer, size_t Size) override {
        return port.read_some(boost::asio::buffer(Buffer, Size));
    }
    bool CanCount() const override { return false; }
    size_t CountThenRead(unsigned char*, size_t) override { return 0; }
    void WriteAll(const unsigned char* Bytes, size_t Count) override {
        while (Count > 0) {
            const size_t n = port.write_some(boost::asio::buffer(Bytes, std::min(Count, kChunk)));
            Bytes += n;
            Count -= n;
        }
    }
    void ReadAll(unsigned char* Bytes, size_t Count) override {
        while (Count > 0) {
            const size_t n = port.read_some(boost::asio::buffer(Bytes, std::min(Count, kChunk)));
            Bytes += n;
            Count -= n;
        }
    }
    boost::asio::io_context io;
    boost::asio::serial_port port;
};

struct Port : Contender {
    explicit Port(cport::TComPort& P) : port(P) {}
    void WriteOne(const unsigned char* Byte) override { port.WriteBytes(Byte, 1); }
    size_t ReadWaiting(unsigned char* Buffer, size_t Size) override {
        const int32_t n = port.ReadText(text, static_cast<int32_t>(Size));
        std::memcpy(Buffer, text.data(), static_cast<size_t>(n));
        return static_cast<size_t>(n);
    }
    size_t CountThenRead(unsigned char* Buffer, size_t Size) override {
        const int32_t count = std::min(port.InputQueueCount(), static_cast<int32_t>(Size));
        const int32_t n = port.ReadText(text, count);
        std::memcpy(Buffer, text.data(), static_cast<size_t>(n));
        return static_cast<size_t>(n);
    }
    void WriteAll(const unsigned char* Bytes, size_t Count) override {
        while (Count > 0) {
            const int32_t n = port.WriteBytes(Bytes, static_cast<int32_t>(std::min(Count, kChunk)));
            Bytes += n;
            Count -= static_cast<size_t>(n);
        }
    }
    // Time-outs that make ReadBytes return with what has come, or wait for
    // the first byte when nothing has: the read_some of the others.
    void ReadAll(unsigned char* Bytes, size_t Count) override {
        port.Timeouts().SetReadInterval(-1);
        port.Timeouts().SetReadTotalMultiplier(-1);
        port.Timeouts().SetReadTotalConstant(5000);
        while (Count > 0) {
            const int32_t n = port.ReadBytes(Bytes, static_cast<int32_t>(std::min(Count, kChunk)));
            if (n == 0) throw std::runtime_error("bulk read timed out");
            Bytes += n;
            Count -= static_cast<size_t>(n);
        }
        port.Timeouts().SetReadTotalMultiplier(0);
        port.Timeouts().SetReadTotalConstant(0);
    }
    cport::TComPort& port;
    std::string text;
};

struct Totals {
    double write1_ns = 0;     // summed over every one-byte write
    double readw_ns = 0;      // summed over every read of what waits
    double countr_ns = 0;     // summed over every count-then-read
    double bulk_ns = 0;       // both directions
    size_t bulk_bytes = 0;
    double bulk_write_ns = 0, bulk_read_ns = 0;
};

void MeasureWrites(Contender& C, const Master& M, Totals& T) {
    const unsigned char byte = 'w';
    for (int done = 0; done < kWrites; done += kWriteBatch) {
        const auto start = Clock::now();
        for (int i = 0; i < kWriteBatch; ++i) C.WriteOne(&byte);
        T.write1_ns += Nanos(Clock::now() - start);
        DrainExactly(M, kWriteBatch);
    }
}

void MeasureReads(Contender& C, const Master& M, int Watch, Totals& T) {
    const unsigned char reply[kReadSize] = {'*', '0', '0', 'R', 'A', '5', '\r', '\n'};
    unsigned char buffer[64];
    for (int i = 0; i < 2 * kReads; ++i) {
        const bool counting = i % 2 == 1;
        if (counting && !C.CanCount()) continue;
        WriteAll(M, reply, kReadSize);
        // Until all of it is in the line discipline (the pty hands it over
        // from a work queue), not timed.
        for (;;) {
            int waiting = 0;
            Check(::ioctl(Watch, FIONREAD, &waiting) == 0, "FIONREAD");
            if (static_cast<size_t>(waiting) >= kReadSize) break;
            WaitFor(Watch, POLLIN);
        }
        const auto start = Clock::now();
        const size_t n = counting ? C.CountThenRead(buffer, sizeof buffer) : C.ReadWaiting(buffer, sizeof buffer);
        (counting ? T.countr_ns : T.readw_ns) += Nanos(Clock::now() - start);
        if (n != kReadSize || std::memcmp(buffer, reply, kReadSize) != 0)
            throw std::runtime_error("read of what waits lost bytes");
    }
}

void MeasureBulk(Contender& C, const Master& M, const std::vector<unsigned char>& Data, Totals& T,
                 bool Marked) {
    std::vector<unsigned char> got(Data.size());
    // Out: a thread drains the far end while the contender writes.
    std::thread drain([&] { DrainExactly(M, Data.size()); });
    auto start = Clock::now();
    C.WriteAll(Data.data(), Data.size());
    drain.join();
    const double out_ns = Nanos(Clock::now() - start);

    // In: a thread feeds the far end while the contender reads.
    std::thread feed([&] { WriteAll(M, Data.data(), Data.size()); });
    start = Clock::now();
    C.ReadAll(got.data(), got.size());
    const double in_ns = Nanos(Clock::now() - start);
    feed.join();
    if (!Marked && got != Data) throw std::runtime_error("bulk data corrupted");
    T.bulk_write_ns += out_ns;
    T.bulk_read_ns += in_ns;
    T.bulk_ns += out_ns + in_ns;
    T.bulk_bytes += 2 * Data.size();
}

void MeasureAll(Contender& C, const Master& M, int Watch, const std::vector<unsigned char>& Data, Totals& T,
                bool Marked = false) {
    MeasureWrites(C, M, T);
    MeasureReads(C, M, Watch, T);
    MeasureBulk(C, M, Data, T, Marked);
}

Totals Minus(const Totals& A, const Totals& B) {
    Totals d;
    d.write1_ns = A.write1_ns - B.write1_ns;
    d.readw_ns = A.readw_ns - B.readw_ns;
    d.countr_ns = A.countr_ns - B.countr_ns;
    d.bulk_ns = A.bulk_ns - B.bulk_ns;
    d.bulk_bytes = A.bulk_bytes - B.bulk_bytes;
    d.bulk_write_ns = A.bulk_write_ns - B.bulk_write_ns;
    d.bulk_read_ns = A.bulk_read_ns - B.bulk_read_ns;
    return d;
}

// Ours/theirs of a cost (Speed false) or of a speed (Speed true: the inverse
// ratio of the times), per block.
double MedianRatio(const std::vector<Totals>& Ours, const std::vector<Totals>& Theirs, double Totals::*Field,
                   bool Speed = false) {
    std::vector<double> ratios;
    for (size_t i = 0; i < Ours.size(); ++i)
        ratios.push_back(Speed ? Theirs[i].*Field / (Ours[i].*Field) : Ours[i].*Field / (Theirs[i].*Field));
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    return n % 2 == 1 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
}

double MiBs(size_t Bytes, double Ns) { return (static_cast<double>(Bytes) / (1 << 20)) / (Ns / 1e9); }

}  // namespace

int main() {
    try {
        Master master;
        // The bare descriptor and Asio stay open for the whole run; the port
        // opens for its blocks only (it puts the original settings back at
        // close, and it takes the line exclusively while open).
        const int bare_fd = ::open(master.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        Check(bare_fd >= 0, "open slave");
        MakeRaw(bare_fd);
        Bare bare(bare_fd);
        Asio asio(master.SlavePath());

        cport::TComPort port;
        port.SetPort(master.SlavePath());
        port.SetEvents({});
        port.SetBaudRate(cport::br115200);
        Port ours(port);

        std::vector<unsigned char> data(kBulk);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>((i * 131 + i / 7) & 0xFF);

        // The line exactly as the port configures it, for a bare baseline
        // that pays what the kernel's marking of received errors costs.
        port.Open();
        termios port_line{};
        Check(::tcgetattr(bare_fd, &port_line) == 0, "tcgetattr");
        port.Close();
        MakeRaw(bare_fd);
        Bare marked(bare_fd);
        // Only a line that marks errors (PARMRK) doubles the 0xFF bytes it
        // delivers; the port marks them only when a setting needs it.
        if ((port_line.c_iflag & PARMRK) != 0 && (port_line.c_iflag & IGNPAR) == 0)
            marked.doubled = static_cast<size_t>(std::count(data.begin(), data.end(), 0xFF));

        Totals t_bare, t_asio, t_port, t_marked;
        std::vector<Totals> b_bare(kBlocks), b_asio(kBlocks), b_port(kBlocks), b_marked(kBlocks);
        for (int block = 0; block < kBlocks; ++block) {
            const Totals before_bare = t_bare, before_asio = t_asio, before_port = t_port,
                         before_marked = t_marked;
            for (int turn = 0; turn < 4; ++turn) {
                switch ((block + turn) % 4) {
                case 0:
                    port.Open();
                    MeasureAll(ours, master, bare_fd, data, t_port);
                    port.Close();
                    MakeRaw(bare_fd);   // the port has put the original settings back
                    break;
                case 1: MeasureAll(bare, master, bare_fd, data, t_bare); break;
                case 2: MeasureAll(asio, master, bare_fd, data, t_asio); break;
                case 3:
                    Check(::tcsetattr(bare_fd, TCSANOW, &port_line) == 0, "tcsetattr");
                    MeasureAll(marked, master, bare_fd, data, t_marked, true);
                    MakeRaw(bare_fd);
                    break;
                }
            }
            b_bare[block] = Minus(t_bare, before_bare);
            b_asio[block] = Minus(t_asio, before_asio);
            b_port[block] = Minus(t_port, before_port);
            b_marked[block] = Minus(t_marked, before_marked);
        }

        const double writes = static_cast<double>(kBlocks) * kWrites;
        const double reads = static_cast<double>(kBlocks) * kReads;
        std::printf("bare* = bare syscalls on the line exactly as the port sets it\n");
        std::printf("%-8s %12s %12s %12s %16s %16s %12s\n", "", "write1 ns", "readw ns", "countr ns",
                    "bulk out MiB/s", "bulk in MiB/s", "bulk MiB/s");
        const size_t one_way = static_cast<size_t>(kBlocks) * kBulk;
        for (const auto& [name, t] : {std::pair<const char*, const Totals*>{"bare", &t_bare},
                                      {"asio", &t_asio},
                                      {"port", &t_port},
                                      {"bare*", &t_marked}}) {
            char counted[32] = "-";
            if (t->countr_ns > 0) std::snprintf(counted, sizeof counted, "%.0f", t->countr_ns / reads);
            std::printf("%-8s %12.0f %12.0f %12s %16.1f %16.1f %12.1f\n", name, t->write1_ns / writes,
                        t->readw_ns / reads, counted, MiBs(one_way, t->bulk_write_ns),
                        MiBs(one_way, t->bulk_read_ns), MiBs(t->bulk_bytes, t->bulk_ns));
        }
        // Each ratio is the median over the blocks of the ratio within a
        // block: a burst of other work on the machine spoils one block of
        // one contender, not the figure.
        // (Every block moves the same number of bulk bytes, so a ratio of
        // times is the inverse ratio of throughputs.)
        std::printf("BENCH write1_vs_syscall %.3f\n", MedianRatio(b_port, b_bare, &Totals::write1_ns));
        std::printf("BENCH write1_vs_asio %.3f\n", MedianRatio(b_port, b_asio, &Totals::write1_ns));
        std::printf("BENCH readwaiting_vs_syscall %.3f\n", MedianRatio(b_port, b_bare, &Totals::readw_ns));
        std::printf("BENCH readwaiting_vs_asio %.3f\n", MedianRatio(b_port, b_asio, &Totals::readw_ns));
        std::printf("BENCH countread_vs_syscall %.3f\n", MedianRatio(b_port, b_bare, &Totals::countr_ns));
        std::printf("BENCH bulk_vs_syscall %.3f\n", MedianRatio(b_port, b_bare, &Totals::bulk_ns, true));
        std::printf("BENCH bulk_vs_asio %.3f\n", MedianRatio(b_port, b_asio, &Totals::bulk_ns, true));
        std::printf("BENCH bulk_write_vs_syscall %.3f\n",
                    MedianRatio(b_port, b_bare, &Totals::bulk_write_ns, true));
        std::printf("BENCH bulk_read_vs_syscall %.3f\n", MedianRatio(b_port, b_bare, &Totals::bulk_read_ns, true));
        std::printf("BENCH bulk_read_vs_syscall_same_line %.3f\n",
                    MedianRatio(b_port, b_marked, &Totals::bulk_read_ns, true));
        std::printf("BENCH bulk_vs_syscall_same_line %.3f\n", MedianRatio(b_port, b_marked, &Totals::bulk_ns, true));
        // Table rows for bench/run: label|ours|baseline|ratio|goal.
        std::printf("BENCHROW one-byte write, ns (vs bare write(2))|%.0f|%.0f|%.2f|<= 1.5\n", t_port.write1_ns / writes,
                    t_bare.write1_ns / writes, MedianRatio(b_port, b_bare, &Totals::write1_ns));
        std::printf("BENCHROW bulk throughput, MiB/s (vs bare syscalls)|%.1f|%.1f|%.2f|>= 0.9\n",
                    MiBs(t_port.bulk_bytes, t_port.bulk_ns), MiBs(t_bare.bulk_bytes, t_bare.bulk_ns),
                    MedianRatio(b_port, b_bare, &Totals::bulk_ns, true));
        std::printf("BENCHROW bulk throughput, MiB/s (vs bare syscalls, same line settings)|%.1f|%.1f|%.2f|>= 0.9\n",
                    MiBs(t_port.bulk_bytes, t_port.bulk_ns), MiBs(t_marked.bulk_bytes, t_marked.bulk_ns),
                    MedianRatio(b_port, b_marked, &Totals::bulk_ns, true));
        ::close(bare_fd);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "transfer_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
