// SPDX-License-Identifier: MIT
// readconfig_bench: READ CONFIG through the real window code against the
// module simulator on a pseudo-terminal.
//
//   BENCH exchange_overhead_vs_pty_rtt  the window's own cost per exchange
//       (READ CONFIG's time / 14 minus the bare round trip), as a multiple of
//       the bare round trip: a request written to the raw line and its reply
//       read back through the same simulator, measured in the same run in
//       blocks alternating with the READ CONFIG runs.
//   BENCH readconfig_vs_line_time  READ CONFIG against a simulator that takes
//       as long as a 9600-baud line (10 bits per character), as a multiple of
//       the pure line time of its 14 requests and 14 replies.

#include <QApplication>
#include <QLineEdit>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/median.h"
#include "cport/unique_fd.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "sim/module_simulator.h"

using namespace varnolink;

namespace {

using bench::Median;
using TClock = std::chrono::steady_clock;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TModuleState;
using varnolink::sim::TSimulatorOptions;

// The bare round trips and the READ CONFIG runs alternate in small blocks, so
// that a change in the machine's load touches both alike.
constexpr int Blocks = 40;
constexpr int ReadConfigsPerBlock = 2;
constexpr int ExchangesPerReadConfig = 14;
constexpr int LineRuns = 5;
constexpr double LineBaud = 9600.0;
constexpr double BitsPerCharacter = 10.0;

// Characters on the line for one READ CONFIG: 14 requests of 13 characters
// (CR LF included); the identity reply of 30 characters and 13 replies of 13
// characters, each with its CR.
constexpr int RequestCharacters = ExchangesPerReadConfig * 13;
constexpr int ReplyCharacters = (30 + 1) + (ExchangesPerReadConfig - 1) * (13 + 1);

void Check(bool Ok, const std::string& What)
{
    if (!Ok)
        throw std::runtime_error(What);
}

double Milliseconds(TClock::duration Duration)
{
    return std::chrono::duration<double, std::milli>(Duration).count();
}

// Bare round trips: one write of a request on the raw line, reads until the
// reply's CR. Appends one sample (ms) per round trip.
void MeasureBareRoundTrips(const std::string& DevicePath, int Count, std::vector<double>& Samples)
{
    const cport::TUniqueFd Line(::open(DevicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    Check(Line.get() >= 0, "open the raw line");
    termios Raw{};
    Check(::tcgetattr(Line.get(), &Raw) == 0, "tcgetattr");
    ::cfmakeraw(&Raw);
    Check(::tcsetattr(Line.get(), TCSANOW, &Raw) == 0, "tcsetattr");

    for (int Round = 0; Round < Count; ++Round) {
        // The same mix as READ CONFIG: codes 00 to 13 in turn.
        const int Code = Round % ExchangesPerReadConfig;
        char Request[16];
        std::snprintf(Request, sizeof Request, "*%02d:0,00=00\r\n", Code);
        const std::size_t Length = 13;
        const TClock::time_point Start = TClock::now();
        Check(::write(Line.get(), Request, Length) == static_cast<ssize_t>(Length), "write the request");
        std::string Reply;
        while (Reply.find('\r') == std::string::npos) {
            char Buffer[64];
            const ssize_t Got = ::read(Line.get(), Buffer, sizeof Buffer);
            Check(Got > 0, "read the reply");
            Reply.append(Buffer, static_cast<std::size_t>(Got));
        }
        Samples.push_back(Milliseconds(TClock::now() - Start));
    }
}

// Where the time of one READ CONFIG goes, as the simulator saw the requests:
// the mean time from a request's first to its last byte, and from a
// request's last byte to the next request's first (the reply, its way
// through the window and the next request's preparation).
struct TSpans {
    double FrameMs = 0;
    double TurnaroundMs = 0;
};

// One READ CONFIG through the window's handler; its time in ms.
double TimeReadConfig(TMainForm& Form, TModuleSimulator& Simulator, TSpans* Spans = nullptr)
{
    Simulator.ClearRequests();
    const TClock::time_point Start = TClock::now();
    Form.ReadConfigClick();
    const double Elapsed = Milliseconds(TClock::now() - Start);
    Check(Form.ReplyReceived() == 1, "READ CONFIG ran to its end");
    const auto Log = Simulator.RequestLog();
    Check(Log.size() == static_cast<std::size_t>(ExchangesPerReadConfig), "READ CONFIG sent 14 requests");
    Check(Form.ByteField(TPortGrid::Default, 4)->text() == QStringLiteral("A5"), "the window shows the module");
    if (Spans != nullptr) {
        TClock::duration Frames{};
        TClock::duration Turnarounds{};
        for (std::size_t Index = 0; Index < Log.size(); ++Index) {
            Frames += Log[Index].CompletedAt - Log[Index].FirstByteAt;
            if (Index + 1 < Log.size())
                Turnarounds += Log[Index + 1].FirstByteAt - Log[Index].CompletedAt;
        }
        Spans->FrameMs = Milliseconds(Frames) / static_cast<double>(Log.size());
        Spans->TurnaroundMs = Milliseconds(Turnarounds) / static_cast<double>(Log.size() - 1);
    }
    return Elapsed;
}

TModuleState BenchState()
{
    TModuleState State;
    State.Defaults[4] = 0xA5;
    return State;
}

}  // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication Application(argc, argv);
    SetErrorMessageDisplay([](const QString& Text) {
        std::fprintf(stderr, "readconfig_bench: %s\n", Text.toLocal8Bit().constData());
        std::exit(1);
    });

    try {
        TMainForm Form;

        // (a) An instantly answering module.
        TSimulatorOptions Instant;
        Instant.State = BenchState();
        TModuleSimulator Simulator(Instant);
        Simulator.Start();
        Form.ComPort1.SetPort(Simulator.DevicePath());

        std::vector<double> RoundTrips;
        std::vector<double> ReadConfigs;
        std::vector<double> FrameSpans;
        std::vector<double> Turnarounds;
        {
            std::vector<double> WarmUp;
            MeasureBareRoundTrips(Simulator.DevicePath(), ExchangesPerReadConfig, WarmUp);
            Form.ComPort1.Open();
            TimeReadConfig(Form, Simulator);
            Form.ComPort1.Close();
        }
        for (int Block = 0; Block < Blocks; ++Block) {
            MeasureBareRoundTrips(Simulator.DevicePath(), ReadConfigsPerBlock * ExchangesPerReadConfig, RoundTrips);
            Form.ComPort1.Open();
            for (int Run = 0; Run < ReadConfigsPerBlock; ++Run) {
                TSpans Spans;
                ReadConfigs.push_back(TimeReadConfig(Form, Simulator, &Spans));
                FrameSpans.push_back(Spans.FrameMs);
                Turnarounds.push_back(Spans.TurnaroundMs);
            }
            Form.ComPort1.Close();
        }
        Simulator.Stop();

        const double RoundTrip = Median(RoundTrips);
        const double ReadConfig = Median(ReadConfigs);
        const double PerExchange = ReadConfig / ExchangesPerReadConfig;
        const double Overhead = PerExchange - RoundTrip;

        // (b) A module behind a 9600-baud line.
        TSimulatorOptions Slow;
        Slow.State = BenchState();
        Slow.Faults.LineBaud = static_cast<unsigned>(LineBaud);
        TModuleSimulator SlowSimulator(Slow);
        SlowSimulator.Start();
        Form.ComPort1.SetPort(SlowSimulator.DevicePath());
        std::vector<double> LineRunTimes;
        std::vector<double> BareLineRunTimes;
        for (int Run = 0; Run < LineRuns; ++Run) {
            // The same fourteen exchanges on the raw line, for comparison:
            // the emulated line's own time, with the simulator's pacing.
            std::vector<double> Exchanges;
            MeasureBareRoundTrips(SlowSimulator.DevicePath(), ExchangesPerReadConfig, Exchanges);
            double Sum = 0;
            for (const double Exchange : Exchanges)
                Sum += Exchange;
            BareLineRunTimes.push_back(Sum);

            Form.ComPort1.Open();
            LineRunTimes.push_back(TimeReadConfig(Form, SlowSimulator));
            Form.ComPort1.Close();
        }
        SlowSimulator.Stop();

        const double LineTime = (RequestCharacters + ReplyCharacters) * BitsPerCharacter / LineBaud * 1000.0;
        const double LineReadConfig = Median(LineRunTimes);

        std::printf("READ CONFIG against the simulator (medians)\n");
        std::printf("  %-44s %10.3f ms  (%zu round trips)\n", "bare pty round trip", RoundTrip, RoundTrips.size());
        std::printf("  %-44s %10.3f ms  (%zu runs)\n", "READ CONFIG, instant module, 14 exchanges", ReadConfig,
                    ReadConfigs.size());
        std::printf("  %-44s %10.3f ms  (%.2f x the round trip)\n", "  per exchange", PerExchange,
                    PerExchange / RoundTrip);
        std::printf("  %-44s %10.3f ms  (%.2f x the round trip)\n", "  window's own overhead per exchange", Overhead,
                    Overhead / RoundTrip);
        std::printf("  %-44s %10.3f ms\n", "  request's first to last byte", Median(FrameSpans));
        std::printf("  %-44s %10.3f ms\n", "  request's last byte to the next request", Median(Turnarounds));
        std::printf("  %-44s %10.3f ms  (%d characters at 9600 baud)\n", "pure line time of 14 requests and replies",
                    LineTime, RequestCharacters + ReplyCharacters);
        std::printf("  %-44s %10.3f ms  (%zu runs)\n", "READ CONFIG, 9600-baud module", LineReadConfig,
                    LineRunTimes.size());
        std::printf("  %-44s %10.3f ms  (%zu runs)\n", "same 14 exchanges on the raw line", Median(BareLineRunTimes),
                    BareLineRunTimes.size());
        std::printf("BENCH exchange_overhead_vs_pty_rtt %.3f\n", Overhead / RoundTrip);
        std::printf("BENCH readconfig_vs_line_time %.4f\n", LineReadConfig / LineTime);
        std::printf("BENCH readconfig_vs_raw_line_exchanges %.4f\n", LineReadConfig / Median(BareLineRunTimes));
        // Table rows for bench/run: label|ours|baseline|ratio|goal.
        std::printf("BENCHROW READ CONFIG overhead per exchange, ms (vs pty round trip)|%.3f|%.3f|%.2f|<= 2\n",
                    Overhead, RoundTrip, Overhead / RoundTrip);
        std::printf("BENCHROW READ CONFIG at 9600 baud, ms (vs pure line time)|%.1f|%.1f|%.2f|<= 1.05\n",
                    LineReadConfig, LineTime, LineReadConfig / LineTime);
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "readconfig_bench: %s\n", Failure.what());
        return 1;
    }
    return 0;
}
