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
//
// The four alternate in blocks (connect, three runs, disconnect) so that a
// change in the machine's load touches all of them alike.

#include <QApplication>
#include <QLineEdit>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "cport/unique_fd.h"
#include "main/protocol/frames.h"
#include "main/protocol/reply_decoder.h"
#include "main/protocol/transaction_chains.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "sim/module_simulator.h"
#include "tests/cport/ser2net_server.h"

using namespace varnolink;

namespace {

using TClock = std::chrono::steady_clock;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TModuleState;
using varnolink::sim::TSimulatorOptions;

constexpr int Blocks = 20;
constexpr int RunsPerBlock = 3;
constexpr std::chrono::milliseconds ReplyTimeout{2000};

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
                     TModuleSimulator* Simulator = nullptr, TSpans* Spans = nullptr)
{
    Form.ComPort1.SetPort(Port);
    Form.ComPort1.Open();
    for (int Run = 0; Run < RunsPerBlock; ++Run) {
        Form.ByteField(TPortGrid::Default, 4)->clear();
        if (Simulator != nullptr)
            Simulator->ClearRequests();
        const TClock::time_point Start = TClock::now();
        Form.ReadConfigClick();
        const double Elapsed = Ms(TClock::now() - Start);
        Check(Form.ReplyReceived() == 1, "READ CONFIG ran to its end on " + Port);
        Check(Form.ByteField(TPortGrid::Default, 4)->text() == QStringLiteral("A5"), "the window shows the module");
        if (Keep)
            Samples.push_back(Elapsed);
        if (Keep && Simulator != nullptr && Spans != nullptr)
            AddSpans(*Simulator, *Spans);
    }
    Form.ComPort1.Close();
}

// The telnet side of a bare client: takes the bytes ser2net sends, drops
// its command sequences (IAC WILL/WONT/DO/DONT x, IAC SB ... IAC SE, any
// other two-byte IAC command) and keeps the data, a doubled IAC as one
// 0xFF. The state survives across reads, so a sequence may be split.
class TTelnetReader {
public:
    // Feeds Count received bytes; data bytes are appended to Data.
    void Feed(const char* Bytes, std::size_t Count, std::string& Data)
    {
        for (std::size_t Index = 0; Index < Count; ++Index) {
            const auto Byte = static_cast<uint8_t>(Bytes[Index]);
            switch (State_) {
            case TState::Data:
                if (Byte == Iac)
                    State_ = TState::Command;
                else
                    Data.push_back(static_cast<char>(Byte));
                break;
            case TState::Command:
                if (Byte == Iac) {
                    Data.push_back(static_cast<char>(Byte));
                    State_ = TState::Data;
                } else if (Byte >= Will && Byte <= Dont) {
                    State_ = TState::Option;
                } else if (Byte == Sb) {
                    State_ = TState::Sub;
                } else {
                    State_ = TState::Data;
                }
                break;
            case TState::Option:
                State_ = TState::Data;
                break;
            case TState::Sub:
                if (Byte == Iac)
                    State_ = TState::SubIac;
                break;
            case TState::SubIac:
                State_ = Byte == Se ? TState::Data : TState::Sub;
                break;
            }
        }
    }

private:
    static constexpr uint8_t Iac = 255, Will = 251, Dont = 254, Sb = 250, Se = 240;
    enum class TState { Data, Command, Option, Sub, SubIac };
    TState State_ = TState::Data;
};

// A bare client of ser2net's telnet(rfc2217) accepter on loopback.
class TBareTelnetClient {
public:
    // Connects and makes sure the port is this client's. ser2net lets one
    // client at a time on a port and releases it a moment after the previous
    // client (the window) has gone; a connection made before that gets the
    // telnet greeting, then the text "Port already in use" and is closed.
    // So a first exchange, Probe, is made at once (untimed, as the window's
    // open negotiates before its runs), and the connection is made again 1 ms
    // later until Probe gets a reply that decodes, for at most ReplyTimeout.
    TBareTelnetClient(uint16_t Port, const std::string& Probe)
    {
        const auto Deadline = TClock::now() + ReplyTimeout;
        std::string Reply;
        for (;;) {
            Connect(Port);
            if (Send(Probe) && ReceiveLine(Reply) && DecodeReplyLine(Reply).has_value())
                return;
            Check(TClock::now() < Deadline, "ser2net takes a client");
            ::poll(nullptr, 0, 1);
        }
    }

    // Sends Request in one write (or, Bytewise, one send per byte) and reads
    // until the reply's CR; Reply gets the data received up to and without
    // that CR.
    void Exchange(const std::string& Request, std::string& Reply, bool Bytewise)
    {
        if (Bytewise) {
            for (const char& Byte : Request)
                Check(::send(Socket_.get(), &Byte, 1, MSG_NOSIGNAL) == 1, "send a byte of the request");
        } else {
            Check(Send(Request), "send the request");
        }
        Check(ReceiveLine(Reply), "a reply through ser2net in time");
    }

private:
    void Connect(uint16_t Port)
    {
        Socket_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        Check(Socket_.get() >= 0, "socket");
        Reader_ = {};
        Pending_.clear();
        const int On = 1;
        Check(::setsockopt(Socket_.get(), IPPROTO_TCP, TCP_NODELAY, &On, sizeof On) == 0, "TCP_NODELAY");
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Address.sin_port = htons(Port);
        Check(::connect(Socket_.get(), reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0,
              "connect to ser2net");
    }

    bool Send(const std::string& Request)
    {
        return ::send(Socket_.get(), Request.data(), Request.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(Request.size());
    }

    // Reads until a CR in the data; false if the connection ends or nothing
    // comes for ReplyTimeout.
    bool ReceiveLine(std::string& Line)
    {
        std::size_t Cr = std::string::npos;
        while ((Cr = Pending_.find('\r')) == std::string::npos) {
            if (!Receive())
                return false;
        }
        Line.assign(Pending_, 0, Cr);
        Pending_.erase(0, Cr + 1);
        return true;
    }

    // Waits up to ReplyTimeout for bytes and takes what came; false if none
    // came or the connection ended.
    bool Receive()
    {
        const auto Deadline = TClock::now() + ReplyTimeout;
        for (;;) {
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now());
            pollfd Wait{Socket_.get(), POLLIN, 0};
            const int Ready = Left.count() > 0 ? ::poll(&Wait, 1, static_cast<int>(Left.count())) : 0;
            if (Ready == 0)
                return false;
            if (Ready < 0) {
                Check(errno == EINTR, "poll");
                continue;
            }
            std::array<char, 256> Buffer;
            const ssize_t Got = ::recv(Socket_.get(), Buffer.data(), Buffer.size(), 0);
            if (Got <= 0)
                return false;
            Reader_.Feed(Buffer.data(), static_cast<std::size_t>(Got), Pending_);
            return true;
        }
    }

    cport::TUniqueFd Socket_;
    TTelnetReader Reader_;
    std::string Pending_;  // data received and not yet handed over
};

// Connects to ser2net's rfc2217 accepter, runs READ CONFIG's 14 exchanges
// RunsPerBlock times (each request in one send, or one send per byte),
// disconnects; appends each run's ms. The replies are checked after each
// run, outside its time.
void TimeBareReadConfigs(uint16_t Port, bool Bytewise, std::vector<double>& Samples, bool Keep = true,
                         TModuleSimulator* Simulator = nullptr, TSpans* Spans = nullptr)
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
        const TClock::time_point Start = TClock::now();
        for (std::size_t Index = 0; Index < Requests.size(); ++Index)
            Client.Exchange(Requests[Index], Replies[Index], Bytewise);
        const double Elapsed = Ms(TClock::now() - Start);
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

        std::vector<double> Pty, Rfc2217, Bare, Bytewise, WarmUp;
        TimeReadConfigs(Form, Direct.DevicePath(), WarmUp, false);
        TimeReadConfigs(Form, Server.Rfc2217Url(), WarmUp, false);
        TimeBareReadConfigs(Server.Rfc2217Port(), false, WarmUp, false);
        TimeBareReadConfigs(Server.Rfc2217Port(), true, WarmUp, false);
        TSpans PtySpans, NetSpans, BareSpans, BytewiseSpans;
        for (int Block = 0; Block < Blocks; ++Block) {
            TimeReadConfigs(Form, Direct.DevicePath(), Pty, true, &Direct, &PtySpans);
            TimeReadConfigs(Form, Server.Rfc2217Url(), Rfc2217, true, &Served, &NetSpans);
            TimeBareReadConfigs(Server.Rfc2217Port(), false, Bare, true, &Served, &BareSpans);
            TimeBareReadConfigs(Server.Rfc2217Port(), true, Bytewise, true, &Served, &BytewiseSpans);
        }
        const double PtyMs = Median(Pty);
        const double NetMs = Median(Rfc2217);
        const double BareMs = Median(Bare);
        const double BytewiseMs = Median(Bytewise);
        std::printf("READ CONFIG, instant module (medians of %zu runs each)\n", Pty.size());
        std::printf("  %-40s %10.3f ms\n", "pseudo-terminal directly", PtyMs);
        std::printf("  %-40s %10.3f ms\n", "rfc2217:// through ser2net on loopback", NetMs);
        std::printf("  %-40s %10.3f ms\n", "bare telnet client through ser2net", BareMs);
        std::printf("  %-40s %10.3f ms\n", "bare client, one byte per send", BytewiseMs);
        std::printf("  %-40s %10.3f ms  /  %.3f ms  /  %.3f ms\n", "request's first to last byte, pty/net/bare",
                    Median(PtySpans.Frame), Median(NetSpans.Frame), Median(BareSpans.Frame));
        std::printf("  %-40s %10.3f ms  /  %.3f ms  /  %.3f ms\n", "last byte to next request, pty/net/bare",
                    Median(PtySpans.Turnaround), Median(NetSpans.Turnaround), Median(BareSpans.Turnaround));
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
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "readconfig_net_bench: %s\n", Failure.what());
        return 1;
    }
    return 0;
}
