// SPDX-License-Identifier: MIT
// readconfig_net_bench: READ CONFIG through the real window code, over
// rfc2217:// through ser2net on loopback, against two baselines measured in
// the same run: READ CONFIG on the module simulator's pseudo-terminal
// directly, and the same 14 exchanges by a bare telnet client through the
// same ser2net accepter.
//
//   BENCH readconfig_rfc2217_vs_pty  median time of READ CONFIG through
//       ser2net (telnet(rfc2217) accepter, no chardelay) over the median on
//       the pty directly; both simulators answer at once (unpaced). This
//       figure includes ser2net's own hops (socket to ser2net, ser2net to
//       the pty and back) in our column.
//   BENCH readconfig_rfc2217_vs_bare_client  the same READ CONFIG through
//       ser2net over the median of a bare client doing READ CONFIG's 14
//       exchanges through the same accepter and simulator: a plain TCP
//       socket with TCP_NODELAY, one send per request frame, poll and read
//       until the reply's CR, telnet commands from ser2net skipped and never
//       answered (ser2net passes data without answers to its negotiation).
//       ser2net's hops are in both columns, so the ratio is the cost of our
//       rfc2217 client and window code alone.
//   BENCH readconfig_rfc2217_window_vs_bytewise_client  the same READ CONFIG
//       over the median of the bare client sending each request one byte
//       per send, as the window writes it (one WriteBytes per byte): the
//       cost of our client per byte written against a bare send(2) per byte.
//   BENCH readconfig_rfc2217_component_vs_bytewise_client  the same
//       exchanges by a plain TComPort on the rfc2217 port (default events,
//       one WriteBytes per byte, reads until the CR) over the same bytewise
//       client: the serial component's share without the window's own.
// It also times the window's READ CONFIG chain with its fields quiet (the
// same frames, waits and reading, nothing shown): the window's own cost
// apart from its display.
//
// Beside the times it prints, per READ CONFIG for each way, the context
// switches of this process (the simulators run in it, ser2net does not), the
// exchanging thread's own waits and preemptions, and its CPU time: figures
// that load on the machine blurs far less than the times.
//
// The six alternate in blocks (connect, three runs, disconnect) so that a
// change in the machine's load touches all of them alike.

#include <QApplication>
#include <QLineEdit>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "cport/comport.h"
#include "cport/unique_fd.h"
#include "main/protocol/frames.h"
#include "main/protocol/reply_decoder.h"
#include "main/protocol/transaction_chains.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "sim/module_simulator.h"
#include "tests/cport/ser2net_server.h"
#include "bench/bare_telnet_client.h"

using namespace varnolink;

namespace {

using TClock = std::chrono::steady_clock;
using bare_client::TBareTelnetClient;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TModuleState;
using varnolink::sim::TSimulatorOptions;

constexpr int Blocks = 20;
constexpr int RunsPerBlock = 3;

void Check(bool Ok, const std::string& What)
{
    if (!Ok)
        throw std::runtime_error(What);
}

double Median(std::vector<double> Samples)
{
    std::sort(Samples.begin(), Samples.end());
    return Samples[Samples.size() / 2];
}

TModuleState BenchState()
{
    TModuleState State;
    State.Defaults[4] = 0xA5;
    return State;
}

double Ms(TClock::duration Duration)
{
    return std::chrono::duration<double, std::milli>(Duration).count();
}

// What a run cost in the scheduler: the context switches of the whole
// process (the simulators run in it, ser2net does not), and those and the
// CPU time of the thread that runs the exchanges (the window's or the
// client's), its switches split into waits of its own (voluntary) and
// preemptions (involuntary: another task woken on its CPU took it over).
struct TUsage {
    long Process = 0;
    long Voluntary = 0;
    long Involuntary = 0;
    double CpuUs = 0.0;

    static TUsage Now()
    {
        rusage Self{};
        rusage Thread{};
        ::getrusage(RUSAGE_SELF, &Self);
        ::getrusage(RUSAGE_THREAD, &Thread);
        const auto Us = [](const timeval& Time) { return static_cast<double>(Time.tv_sec) * 1e6 + Time.tv_usec; };
        return {Self.ru_nvcsw + Self.ru_nivcsw, Thread.ru_nvcsw, Thread.ru_nivcsw,
                Us(Thread.ru_utime) + Us(Thread.ru_stime)};
    }
};

// The usage of the runs of one way, for their means per run.
struct TSwitches {
    TUsage Sum;
    int Runs = 0;
    TUsage Before;

    void Start() { Before = TUsage::Now(); }
    void Stop()
    {
        const TUsage After = TUsage::Now();
        Sum.Process += After.Process - Before.Process;
        Sum.Voluntary += After.Voluntary - Before.Voluntary;
        Sum.Involuntary += After.Involuntary - Before.Involuntary;
        Sum.CpuUs += After.CpuUs - Before.CpuUs;
        ++Runs;
    }
    double PerRun(double Total) const { return Runs > 0 ? Total / Runs : 0.0; }
};

// Where the time goes, as the simulator saw the requests: a request's first
// to its last byte, and its last byte to the next request's first.
struct TSpans {
    std::vector<double> Frame, Turnaround;
};

void AddSpans(const TModuleSimulator& Simulator, TSpans& Spans)
{
    const auto Log = Simulator.RequestLog();
    for (std::size_t Index = 0; Index < Log.size(); ++Index) {
        Spans.Frame.push_back(Ms(Log[Index].CompletedAt - Log[Index].FirstByteAt));
        if (Index + 1 < Log.size())
            Spans.Turnaround.push_back(Ms(Log[Index + 1].FirstByteAt - Log[Index].CompletedAt));
    }
}

// Opens Port, runs READ CONFIG RunsPerBlock times, closes; appends each run's ms.
void TimeReadConfigs(TMainForm& Form, const std::string& Port, std::vector<double>& Samples, bool Keep = true,
                     TModuleSimulator* Simulator = nullptr, TSpans* Spans = nullptr, TSwitches* Switches = nullptr)
{
    Form.ComPort1.SetPort(Port);
    Form.ComPort1.Open();
    for (int Run = 0; Run < RunsPerBlock; ++Run) {
        Form.ByteField(TPortGrid::Default, 4)->clear();
        if (Simulator != nullptr)
            Simulator->ClearRequests();
        if (Switches != nullptr)
            Switches->Start();
        const TClock::time_point Start = TClock::now();
        Form.ReadConfigClick();
        const double Elapsed = Ms(TClock::now() - Start);
        if (Keep && Switches != nullptr)
            Switches->Stop();
        Check(Form.ReplyReceived() == 1, "READ CONFIG ran to its end on " + Port);
        Check(Form.ByteField(TPortGrid::Default, 4)->text() == QStringLiteral("A5"), "the window shows the module");
        if (Keep)
            Samples.push_back(Elapsed);
        if (Keep && Simulator != nullptr && Spans != nullptr)
            AddSpans(*Simulator, *Spans);
    }
    Form.ComPort1.Close();
}

// Connects to ser2net's rfc2217 accepter, runs READ CONFIG's 14 exchanges
// RunsPerBlock times (each request in one send, or one send per byte),
// disconnects; appends each run's ms. The replies are checked after each
// run, outside its time.
void TimeBareReadConfigs(uint16_t Port, bool Bytewise, std::vector<double>& Samples, bool Keep = true,
                         TModuleSimulator* Simulator = nullptr, TSpans* Spans = nullptr, TSwitches* Switches = nullptr)
{
    std::array<std::string, ReadChain.size()> Requests;
    for (std::size_t Index = 0; Index < ReadChain.size(); ++Index)
        Requests[Index] = BuildReadFrame(ReadChain[Index].Code);
    std::array<std::string, ReadChain.size()> Replies;
    for (std::string& Reply : Replies)
        Reply.reserve(64);

    TBareTelnetClient Client(Port, Requests.front());
    for (int Run = 0; Run < RunsPerBlock; ++Run) {
        if (Simulator != nullptr)
            Simulator->ClearRequests();
        if (Switches != nullptr)
            Switches->Start();
        const TClock::time_point Start = TClock::now();
        for (std::size_t Index = 0; Index < Requests.size(); ++Index)
            Client.Exchange(Requests[Index], Replies[Index], Bytewise);
        const double Elapsed = Ms(TClock::now() - Start);
        if (Keep && Switches != nullptr)
            Switches->Stop();
        for (std::size_t Index = 0; Index < Replies.size(); ++Index) {
            const auto Reply = DecodeReplyLine(Replies[Index]);
            Check(Reply.has_value() && ReplyCode(*Reply) == ReadChain[Index].Code,
                  "the bare client got the reply to code " + std::to_string(ReadChain[Index].Code));
        }
        const auto Last = DecodeReplyLine(Replies.back());
        const auto* Default4 = Last.has_value() ? std::get_if<TPortReply>(&*Last) : nullptr;
        Check(Default4 != nullptr && Default4->Value == 0xA5, "the bare client reads the module");
        if (Keep)
            Samples.push_back(Elapsed);
        if (Keep && Simulator != nullptr && Spans != nullptr)
            AddSpans(*Simulator, *Spans);
    }
}

// The window's READ CONFIG chain with its fields quiet (ReadModule: the same
// requests, written byte by byte, the same reply wait and reading on the
// owning thread, but no marks and no values shown): the window's cost
// without its display. Appends each run's ms.
void TimeQuietReadConfigs(TMainForm& Form, const std::string& Url, std::vector<double>& Samples, TSwitches& Switches)
{
    Form.ComPort1.SetPort(Url);
    Form.ComPort1.Open();
    for (int Run = 0; Run < RunsPerBlock; ++Run) {
        Switches.Start();
        const TClock::time_point Start = TClock::now();
        const std::optional<TModuleReading> Reading = Form.ReadModule();
        const double Elapsed = Ms(TClock::now() - Start);
        Switches.Stop();
        Check(Reading.has_value() && Reading->Config.PowerOnDefault[4] == 0xA5, "the quiet chain reads the module");
        Samples.push_back(Elapsed);
    }
    Form.ComPort1.Close();
}

// READ CONFIG's exchanges by a plain TComPort on the rfc2217 port, with its
// default events as the window's port has them: one WriteBytes per byte, as
// the window writes, and reads until the reply's CR. Appends each run's ms.
void TimeComponentReadConfigs(const std::string& Url, std::vector<double>& Samples, bool Keep = true,
                              TSwitches* Switches = nullptr)
{
    std::array<std::string, ReadChain.size()> Requests;
    for (std::size_t Index = 0; Index < ReadChain.size(); ++Index)
        Requests[Index] = BuildReadFrame(ReadChain[Index].Code);
    cport::TComPort Port;
    Port.SetPort(Url);
    // Each read returns what has come, or the first bytes to come.
    Port.Timeouts().SetReadInterval(UINT32_MAX);
    Port.Timeouts().SetReadTotalMultiplier(UINT32_MAX);
    Port.Timeouts().SetReadTotalConstant(static_cast<uint32_t>(bare_client::BareReplyTimeout.count()));
    Port.Open();
    std::string Reply;
    for (int Run = 0; Run < RunsPerBlock; ++Run) {
        if (Switches != nullptr)
            Switches->Start();
        const TClock::time_point Start = TClock::now();
        for (const std::string& Request : Requests) {
            for (const char& Byte : Request)
                Check(Port.WriteBytes(&Byte, 1) == 1, "a byte of the request through the component");
            Reply.clear();
            while (Reply.find('\r') == std::string::npos) {
                char Buffer[64];
                const int32_t Got = Port.ReadBytes(Buffer, sizeof Buffer);
                Check(Got > 0, "a reply through the component in time");
                Reply.append(Buffer, static_cast<std::size_t>(Got));
            }
        }
        if (Keep)
            Samples.push_back(Ms(TClock::now() - Start));
        if (Keep && Switches != nullptr)
            Switches->Stop();
    }
    Port.Close();
}

}  // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication Application(argc, argv);
    SetErrorMessageDisplay([](const QString& Text) {
        std::fprintf(stderr, "readconfig_net_bench: %s\n", Text.toLocal8Bit().constData());
        std::exit(1);
    });

    try {
        TMainForm Form;
        TSimulatorOptions Options;
        Options.State = BenchState();
        TModuleSimulator Direct(Options);
        TModuleSimulator Served(Options);
        Direct.Start();
        Served.Start();
        const net_test::TSer2NetServer Server(Served.DevicePath());

        std::vector<double> Pty, Rfc2217, Bare, Bytewise, Component, Quiet, WarmUp;
        TimeReadConfigs(Form, Direct.DevicePath(), WarmUp, false);
        TimeReadConfigs(Form, Server.Rfc2217Url(), WarmUp, false);
        TimeBareReadConfigs(Server.Rfc2217Port(), false, WarmUp, false);
        TimeBareReadConfigs(Server.Rfc2217Port(), true, WarmUp, false);
        TimeComponentReadConfigs(Server.Rfc2217Url(), WarmUp, false);
        TSpans PtySpans, NetSpans, BareSpans, BytewiseSpans;
        TSwitches NetSwitches, BareSwitches, BytewiseSwitches, ComponentSwitches, QuietSwitches;
        for (int Block = 0; Block < Blocks; ++Block) {
            TimeReadConfigs(Form, Direct.DevicePath(), Pty, true, &Direct, &PtySpans);
            TimeReadConfigs(Form, Server.Rfc2217Url(), Rfc2217, true, &Served, &NetSpans, &NetSwitches);
            TimeQuietReadConfigs(Form, Server.Rfc2217Url(), Quiet, QuietSwitches);
            TimeBareReadConfigs(Server.Rfc2217Port(), false, Bare, true, &Served, &BareSpans, &BareSwitches);
            TimeBareReadConfigs(Server.Rfc2217Port(), true, Bytewise, true, &Served, &BytewiseSpans, &BytewiseSwitches);
            TimeComponentReadConfigs(Server.Rfc2217Url(), Component, true, &ComponentSwitches);
        }
        const double PtyMs = Median(Pty);
        const double NetMs = Median(Rfc2217);
        const double BareMs = Median(Bare);
        const double BytewiseMs = Median(Bytewise);
        const double ComponentMs = Median(Component);
        const double QuietMs = Median(Quiet);
        std::printf("READ CONFIG, instant module (medians of %zu runs each)\n", Pty.size());
        std::printf("  %-40s %10.3f ms\n", "pseudo-terminal directly", PtyMs);
        std::printf("  %-40s %10.3f ms\n", "rfc2217:// through ser2net on loopback", NetMs);
        std::printf("  %-40s %10.3f ms\n", "bare telnet client through ser2net", BareMs);
        std::printf("  %-40s %10.3f ms\n", "bare client, one byte per send", BytewiseMs);
        std::printf("  %-40s %10.3f ms\n", "TComPort alone, one WriteBytes per byte", ComponentMs);
        std::printf("  %-40s %10.3f ms\n", "the window's chain, its fields quiet", QuietMs);
        std::printf("  %-40s %10.3f ms  /  %.3f ms  /  %.3f ms\n", "request's first to last byte, pty/net/bare",
                    Median(PtySpans.Frame), Median(NetSpans.Frame), Median(BareSpans.Frame));
        std::printf("  %-40s %10.3f ms  /  %.3f ms  /  %.3f ms\n", "last byte to next request, pty/net/bare",
                    Median(PtySpans.Turnaround), Median(NetSpans.Turnaround), Median(BareSpans.Turnaround));
        const std::array<const TSwitches*, 5> Ways{&NetSwitches, &BareSwitches, &BytewiseSwitches, &ComponentSwitches,
                                                   &QuietSwitches};
        const auto PrintUsage = [&](const char* What, auto Field) {
            std::printf("  %-40s", What);
            for (std::size_t Way = 0; Way < Ways.size(); ++Way)
                std::printf("%s%.1f", Way == 0 ? " " : "  /  ",
                            Ways[Way]->PerRun(static_cast<double>(Field(Ways[Way]->Sum))));
            std::printf("\n");
        };
        std::printf("  per READ CONFIG, window/bare/bytewise/TComPort/window quiet:\n");
        PrintUsage("context switches of the process", [](const TUsage& U) { return U.Process; });
        PrintUsage("  the exchanging thread's waits", [](const TUsage& U) { return U.Voluntary; });
        PrintUsage("  the exchanging thread's preemptions", [](const TUsage& U) { return U.Involuntary; });
        PrintUsage("CPU time of the exchanging thread, us", [](const TUsage& U) { return U.CpuUs; });
        std::printf("BENCH readconfig_rfc2217_vs_pty %.3f\n", NetMs / PtyMs);
        std::printf("BENCHROW READ CONFIG through ser2net (rfc2217), ms (vs the pty directly)|%.2f|%.2f|%.2f|<= 1.5\n",
                    NetMs, PtyMs, NetMs / PtyMs);
        std::printf("BENCH readconfig_rfc2217_vs_bare_client %.3f\n", NetMs / BareMs);
        std::printf("BENCHROW READ CONFIG through ser2net rfc2217, ms (vs a bare telnet client through the same "
                    "ser2net)|%.2f|%.2f|%.2f|<= 1.1\n",
                    NetMs, BareMs, NetMs / BareMs);
        std::printf("BENCH readconfig_rfc2217_window_vs_bytewise_client %.3f\n", NetMs / BytewiseMs);
        std::printf("BENCHROW READ CONFIG through ser2net rfc2217, ms (vs a bare client sending one byte per "
                    "send)|%.2f|%.2f|%.2f|<= 1.2\n",
                    NetMs, BytewiseMs, NetMs / BytewiseMs);
        std::printf("BENCH readconfig_rfc2217_component_vs_bytewise_client %.3f\n", ComponentMs / BytewiseMs);
        std::printf("BENCHROW READ CONFIG's exchanges by TComPort alone on rfc2217, one WriteBytes per byte, ms (vs "
                    "a bare client sending one byte per send)|%.2f|%.2f|%.2f|<= 1.2\n",
                    ComponentMs, BytewiseMs, ComponentMs / BytewiseMs);
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "readconfig_net_bench: %s\n", Failure.what());
        return 1;
    }
    return 0;
}
