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
constexpr int Blocks = 40;
constexpr int WritesPerBlock = 2'048;  // per block and contender
constexpr int WriteBatch = 256;
constexpr int ReadsPerBlock = 500;
constexpr size_t ReadSize = 8;
constexpr size_t Bulk = 1u << 20;
constexpr size_t Chunk = 64u << 10;  // bulk calls move up to this much each

double Nanos(Clock::duration D)
{
    return std::chrono::duration<double, std::nano>(D).count();
}

void Check(bool Ok, const char* What)
{
    if (!Ok)
        throw std::runtime_error(std::string(What) + ": " + std::strerror(errno));
}

void WaitFor(int Fd, short Events)
{
    pollfd P{Fd, Events, 0};
    Check(::poll(&P, 1, 5000) == 1, "poll");
}

// The far end.
using Master = test_support::TPtyPair;

// Takes Count bytes off the far end.
void DrainExactly(const Master& M, size_t Count)
{
    Check(M.Read(Count, std::chrono::seconds(30)).size() == Count, "master read");
}

void WriteAll(const Master& M, const unsigned char* Bytes, size_t Count)
{
    M.Write(std::string_view(reinterpret_cast<const char*>(Bytes), Count));
}

// Raw mode as Asio sets it (cfmakeraw, IGNPAR, CREAD, CLOCAL), for the bare
// descriptor and Asio after the port has put back the original settings.
void MakeRaw(int Fd)
{
    termios T{};
    Check(::tcgetattr(Fd, &T) == 0, "tcgetattr");
    ::cfmakeraw(&T);
    T.c_iflag |= IGNPAR;
    T.c_cflag |= CREAD | CLOCAL;
    T.c_cc[VMIN] = 1;
    T.c_cc[VTIME] = 0;
    Check(::tcsetattr(Fd, TCSANOW, &T) == 0, "tcsetattr");
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
    explicit Bare(int Fd) : Fd(Fd) {}
    // On the line as the port sets it (PARMRK), the kernel doubles each 0xFF
    // it delivers: a bulk read then takes that many more bytes.
    size_t Doubled = 0;
    void WriteOne(const unsigned char* Byte) override { Check(::write(Fd, Byte, 1) == 1, "write"); }
    size_t ReadWaiting(unsigned char* Buffer, size_t Size) override
    {
        const ssize_t N = ::read(Fd, Buffer, Size);
        Check(N >= 0, "read");
        return static_cast<size_t>(N);
    }
    size_t CountThenRead(unsigned char* Buffer, size_t Size) override
    {
        int Waiting = 0;
        Check(::ioctl(Fd, FIONREAD, &Waiting) == 0, "FIONREAD");
        const ssize_t N = ::read(Fd, Buffer, std::min(Size, static_cast<size_t>(Waiting)));
        Check(N >= 0, "read");
        return static_cast<size_t>(N);
    }
    void WriteAll(const unsigned char* Bytes, size_t Count) override
    {
        while (Count > 0) {
            const ssize_t N = ::write(Fd, Bytes, std::min(Count, Chunk));
            if (N > 0) {
                Bytes += N;
                Count -= static_cast<size_t>(N);
            } else {
                Check(N < 0 && errno == EAGAIN, "write");
                WaitFor(Fd, POLLOUT);
            }
        }
    }
    void ReadAll(unsigned char* Bytes, size_t Count) override
    {
        std::vector<unsigned char> Spill;
        Count += Doubled;
        while (Count > 0) {
            unsigned char* Into = Bytes;
            if (Doubled > 0) {  // the raw stream is longer than the buffer: only its length matters
                Spill.resize(std::min(Count, Chunk));
                Into = Spill.data();
            }
            const ssize_t N = ::read(Fd, Into, std::min(Count, Chunk));
            if (N > 0) {
                if (Doubled == 0)
                    Bytes += N;
                Count -= static_cast<size_t>(N);
            } else {
                Check(N < 0 && errno == EAGAIN, "read");
                WaitFor(Fd, POLLIN);
            }
        }
    }
    int Fd;
};

struct Asio : Contender {
    explicit Asio(const std::string& Path) : port(Io, Path) {}
    void WriteOne(const unsigned char* Byte) override { port.write_some(boost::asio::buffer(Byte, 1)); }
    size_t ReadWaiting(unsigned char* Buffer, size_t Size) override
    {
        return port.read_some(boost::asio::buffer(Buffer, Size));
    }
    bool CanCount() const override { return false; }
    size_t CountThenRead(unsigned char*, size_t) override { return 0; }
    void WriteAll(const unsigned char* Bytes, size_t Count) override
    {
        while (Count > 0) {
            const size_t N = port.write_some(boost::asio::buffer(Bytes, std::min(Count, Chunk)));
            Bytes += N;
            Count -= N;
        }
    }
    void ReadAll(unsigned char* Bytes, size_t Count) override
    {
        while (Count > 0) {
            const size_t N = port.read_some(boost::asio::buffer(Bytes, std::min(Count, Chunk)));
            Bytes += N;
            Count -= N;
        }
    }
    boost::asio::io_context Io;
    boost::asio::serial_port port;
};

struct Port : Contender {
    explicit Port(cport::TComPort& P) : port(P) {}
    void WriteOne(const unsigned char* Byte) override { port.WriteBytes(Byte, 1); }
    size_t ReadWaiting(unsigned char* Buffer, size_t Size) override
    {
        const int32_t N = port.ReadText(Text, static_cast<int32_t>(Size));
        std::memcpy(Buffer, Text.data(), static_cast<size_t>(N));
        return static_cast<size_t>(N);
    }
    size_t CountThenRead(unsigned char* Buffer, size_t Size) override
    {
        const int32_t Count = std::min(port.InputQueueCount(), static_cast<int32_t>(Size));
        const int32_t N = port.ReadText(Text, Count);
        std::memcpy(Buffer, Text.data(), static_cast<size_t>(N));
        return static_cast<size_t>(N);
    }
    void WriteAll(const unsigned char* Bytes, size_t Count) override
    {
        while (Count > 0) {
            const int32_t N = port.WriteBytes(Bytes, static_cast<int32_t>(std::min(Count, Chunk)));
            Bytes += N;
            Count -= static_cast<size_t>(N);
        }
    }
    // Time-outs that make ReadBytes return with what has come, or wait for
    // the first byte when nothing has: the read_some of the others.
    void ReadAll(unsigned char* Bytes, size_t Count) override
    {
        port.Timeouts().SetReadInterval(-1);
        port.Timeouts().SetReadTotalMultiplier(-1);
        port.Timeouts().SetReadTotalConstant(5000);
        while (Count > 0) {
            const int32_t N = port.ReadBytes(Bytes, static_cast<int32_t>(std::min(Count, Chunk)));
            if (N == 0)
                throw std::runtime_error("bulk read timed out");
            Bytes += N;
            Count -= static_cast<size_t>(N);
        }
        port.Timeouts().SetReadTotalMultiplier(0);
        port.Timeouts().SetReadTotalConstant(0);
    }
    cport::TComPort& port;
    std::string Text;
};

struct Totals {
    double Write1Ns = 0;  // summed over every one-byte write
    double ReadwNs = 0;   // summed over every read of what waits
    double CountrNs = 0;  // summed over every count-then-read
    double BulkNs = 0;    // both directions
    size_t BulkBytes = 0;
    double BulkWriteNs = 0, BulkReadNs = 0;
};

void MeasureWrites(Contender& C, const Master& M, Totals& T)
{
    const unsigned char Byte = 'w';
    for (int Done = 0; Done < WritesPerBlock; Done += WriteBatch) {
        const auto Start = Clock::now();
        for (int I = 0; I < WriteBatch; ++I)
            C.WriteOne(&Byte);
        T.Write1Ns += Nanos(Clock::now() - Start);
        DrainExactly(M, WriteBatch);
    }
}

void MeasureReads(Contender& C, const Master& M, int Watch, Totals& T)
{
    const unsigned char Reply[ReadSize] = {'*', '0', '0', 'R', 'A', '5', '\r', '\n'};
    unsigned char Buffer[64];
    for (int I = 0; I < 2 * ReadsPerBlock; ++I) {
        const bool Counting = I % 2 == 1;
        if (Counting && !C.CanCount())
            continue;
        WriteAll(M, Reply, ReadSize);
        // Until all of it is in the line discipline (the pty hands it over
        // from a work queue), not timed.
        for (;;) {
            int Waiting = 0;
            Check(::ioctl(Watch, FIONREAD, &Waiting) == 0, "FIONREAD");
            if (static_cast<size_t>(Waiting) >= ReadSize)
                break;
            WaitFor(Watch, POLLIN);
        }
        const auto Start = Clock::now();
        const size_t N = Counting ? C.CountThenRead(Buffer, sizeof Buffer) : C.ReadWaiting(Buffer, sizeof Buffer);
        (Counting ? T.CountrNs : T.ReadwNs) += Nanos(Clock::now() - Start);
        if (N != ReadSize || std::memcmp(Buffer, Reply, ReadSize) != 0)
            throw std::runtime_error("read of what waits lost bytes");
    }
}

void MeasureBulk(Contender& C, const Master& M, const std::vector<unsigned char>& Data, Totals& T, bool Marked)
{
    std::vector<unsigned char> Got(Data.size());
    // Out: a thread drains the far end while the contender writes. (jthread:
    // joined on the way out too, so a failure ends with its message.)
    std::jthread Drain([&] { DrainExactly(M, Data.size()); });
    auto Start = Clock::now();
    C.WriteAll(Data.data(), Data.size());
    Drain.join();
    const double OutNs = Nanos(Clock::now() - Start);

    // In: a thread feeds the far end while the contender reads.
    std::jthread Feed([&] { WriteAll(M, Data.data(), Data.size()); });
    Start = Clock::now();
    C.ReadAll(Got.data(), Got.size());
    const double InNs = Nanos(Clock::now() - Start);
    Feed.join();
    if (!Marked && Got != Data)
        throw std::runtime_error("bulk data corrupted");
    T.BulkWriteNs += OutNs;
    T.BulkReadNs += InNs;
    T.BulkNs += OutNs + InNs;
    T.BulkBytes += 2 * Data.size();
}

void MeasureAll(Contender& C, const Master& M, int Watch, const std::vector<unsigned char>& Data, Totals& T,
                bool Marked = false)
{
    MeasureWrites(C, M, T);
    MeasureReads(C, M, Watch, T);
    MeasureBulk(C, M, Data, T, Marked);
}

Totals Minus(const Totals& A, const Totals& B)
{
    Totals D;
    D.Write1Ns = A.Write1Ns - B.Write1Ns;
    D.ReadwNs = A.ReadwNs - B.ReadwNs;
    D.CountrNs = A.CountrNs - B.CountrNs;
    D.BulkNs = A.BulkNs - B.BulkNs;
    D.BulkBytes = A.BulkBytes - B.BulkBytes;
    D.BulkWriteNs = A.BulkWriteNs - B.BulkWriteNs;
    D.BulkReadNs = A.BulkReadNs - B.BulkReadNs;
    return D;
}

// Ours/theirs of a cost (Speed false) or of a speed (Speed true: the inverse
// ratio of the times), per block.
double MedianRatio(const std::vector<Totals>& Ours, const std::vector<Totals>& Theirs, double Totals::*Field,
                   bool Speed = false)
{
    std::vector<double> Ratios;
    for (size_t I = 0; I < Ours.size(); ++I)
        Ratios.push_back(Speed ? Theirs[I].*Field / (Ours[I].*Field) : Ours[I].*Field / (Theirs[I].*Field));
    std::sort(Ratios.begin(), Ratios.end());
    const size_t N = Ratios.size();
    return N % 2 == 1 ? Ratios[N / 2] : (Ratios[N / 2 - 1] + Ratios[N / 2]) / 2;
}

double MiBs(size_t Bytes, double Ns)
{
    return (static_cast<double>(Bytes) / (1 << 20)) / (Ns / 1e9);
}

}  // namespace

int main()
{
    try {
        Master Master;
        // The bare descriptor and Asio stay open for the whole run; the port
        // opens for its blocks only (it puts the original settings back at
        // close, and it takes the line exclusively while open).
        const int BareFd = ::open(Master.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        Check(BareFd >= 0, "open slave");
        MakeRaw(BareFd);
        Bare bare(BareFd);
        Asio Asio(Master.SlavePath());

        cport::TComPort port;
        port.SetPort(Master.SlavePath());
        port.SetEvents({});
        port.SetBaudRate(cport::br115200);
        Port Ours(port);

        std::vector<unsigned char> Data(Bulk);
        for (size_t I = 0; I < Data.size(); ++I)
            Data[I] = static_cast<unsigned char>((I * 131 + I / 7) & 0xFF);

        // The line exactly as the port configures it, for a bare baseline
        // that pays what the kernel's marking of received errors costs.
        port.Open();
        termios PortLine{};
        Check(::tcgetattr(BareFd, &PortLine) == 0, "tcgetattr");
        port.Close();
        MakeRaw(BareFd);
        Bare Marked(BareFd);
        // Only a line that marks errors (PARMRK) doubles the 0xFF bytes it
        // delivers; the port marks them only when a setting needs it.
        if ((PortLine.c_iflag & PARMRK) != 0 && (PortLine.c_iflag & IGNPAR) == 0)
            Marked.Doubled = static_cast<size_t>(std::count(Data.begin(), Data.end(), 0xFF));

        Totals TBare, TAsio, TPort, TMarked;
        std::vector<Totals> BBare(Blocks), BAsio(Blocks), BPort(Blocks), BMarked(Blocks);
        for (int Block = 0; Block < Blocks; ++Block) {
            const Totals BeforeBare = TBare, BeforeAsio = TAsio, BeforePort = TPort, BeforeMarked = TMarked;
            for (int Turn = 0; Turn < 4; ++Turn) {
                switch ((Block + Turn) % 4) {
                case 0:
                    port.Open();
                    MeasureAll(Ours, Master, BareFd, Data, TPort);
                    port.Close();
                    MakeRaw(BareFd);  // the port has put the original settings back
                    break;
                case 1:
                    MeasureAll(bare, Master, BareFd, Data, TBare);
                    break;
                case 2:
                    MeasureAll(Asio, Master, BareFd, Data, TAsio);
                    break;
                case 3:
                    Check(::tcsetattr(BareFd, TCSANOW, &PortLine) == 0, "tcsetattr");
                    MeasureAll(Marked, Master, BareFd, Data, TMarked, true);
                    MakeRaw(BareFd);
                    break;
                }
            }
            BBare[Block] = Minus(TBare, BeforeBare);
            BAsio[Block] = Minus(TAsio, BeforeAsio);
            BPort[Block] = Minus(TPort, BeforePort);
            BMarked[Block] = Minus(TMarked, BeforeMarked);
        }

        const double Writes = static_cast<double>(Blocks) * WritesPerBlock;
        const double Reads = static_cast<double>(Blocks) * ReadsPerBlock;
        std::printf("bare* = bare syscalls on the line exactly as the port sets it\n");
        std::printf("%-8s %12s %12s %12s %16s %16s %12s\n", "", "write1 ns", "readw ns", "countr ns", "bulk out MiB/s",
                    "bulk in MiB/s", "bulk MiB/s");
        const size_t OneWay = static_cast<size_t>(Blocks) * Bulk;
        for (const auto& [name, t] : {std::pair<const char*, const Totals*>{"bare", &TBare},
                                      {"asio", &TAsio},
                                      {"port", &TPort},
                                      {"bare*", &TMarked}}) {
            char Counted[32] = "-";
            if (t->CountrNs > 0)
                std::snprintf(Counted, sizeof Counted, "%.0f", t->CountrNs / Reads);
            std::printf("%-8s %12.0f %12.0f %12s %16.1f %16.1f %12.1f\n", name, t->Write1Ns / Writes,
                        t->ReadwNs / Reads, Counted, MiBs(OneWay, t->BulkWriteNs), MiBs(OneWay, t->BulkReadNs),
                        MiBs(t->BulkBytes, t->BulkNs));
        }
        // Each ratio is the median over the blocks of the ratio within a
        // block: a burst of other work on the machine spoils one block of
        // one contender, not the figure.
        // (Every block moves the same number of bulk bytes, so a ratio of
        // times is the inverse ratio of throughputs.)
        std::printf("BENCH write1_vs_syscall %.3f\n", MedianRatio(BPort, BBare, &Totals::Write1Ns));
        std::printf("BENCH write1_vs_asio %.3f\n", MedianRatio(BPort, BAsio, &Totals::Write1Ns));
        std::printf("BENCH readwaiting_vs_syscall %.3f\n", MedianRatio(BPort, BBare, &Totals::ReadwNs));
        std::printf("BENCH readwaiting_vs_asio %.3f\n", MedianRatio(BPort, BAsio, &Totals::ReadwNs));
        std::printf("BENCH countread_vs_syscall %.3f\n", MedianRatio(BPort, BBare, &Totals::CountrNs));
        std::printf("BENCH bulk_vs_syscall %.3f\n", MedianRatio(BPort, BBare, &Totals::BulkNs, true));
        std::printf("BENCH bulk_vs_asio %.3f\n", MedianRatio(BPort, BAsio, &Totals::BulkNs, true));
        std::printf("BENCH bulk_write_vs_syscall %.3f\n", MedianRatio(BPort, BBare, &Totals::BulkWriteNs, true));
        std::printf("BENCH bulk_read_vs_syscall %.3f\n", MedianRatio(BPort, BBare, &Totals::BulkReadNs, true));
        std::printf("BENCH bulk_read_vs_syscall_same_line %.3f\n",
                    MedianRatio(BPort, BMarked, &Totals::BulkReadNs, true));
        std::printf("BENCH bulk_vs_syscall_same_line %.3f\n", MedianRatio(BPort, BMarked, &Totals::BulkNs, true));
        // Table rows for bench/run: label|ours|baseline|ratio|goal.
        std::printf("BENCHROW one-byte write, ns (vs bare write(2))|%.0f|%.0f|%.2f|<= 1.5\n", TPort.Write1Ns / Writes,
                    TBare.Write1Ns / Writes, MedianRatio(BPort, BBare, &Totals::Write1Ns));
        std::printf("BENCHROW bulk throughput, MiB/s (vs bare syscalls)|%.1f|%.1f|%.2f|>= 0.95\n",
                    MiBs(TPort.BulkBytes, TPort.BulkNs), MiBs(TBare.BulkBytes, TBare.BulkNs),
                    MedianRatio(BPort, BBare, &Totals::BulkNs, true));
        std::printf("BENCHROW bulk read throughput, MiB/s (vs bare syscalls)|%.1f|%.1f|%.2f|>= 0.95\n",
                    MiBs(TPort.BulkBytes / 2, TPort.BulkReadNs), MiBs(TBare.BulkBytes / 2, TBare.BulkReadNs),
                    MedianRatio(BPort, BBare, &Totals::BulkReadNs, true));
        std::printf("BENCHROW bulk throughput, MiB/s (vs bare syscalls, same line settings)|%.1f|%.1f|%.2f|>= 0.95\n",
                    MiBs(TPort.BulkBytes, TPort.BulkNs), MiBs(TMarked.BulkBytes, TMarked.BulkNs),
                    MedianRatio(BPort, BMarked, &Totals::BulkNs, true));
        ::close(BareFd);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "transfer_bench: %s\n", E.what());
        return 1;
    }
    return 0;
}
