// SPDX-License-Identifier: MIT
// readconfig_net_bench: READ CONFIG through the real window code, over
// rfc2217:// through ser2net on loopback, against READ CONFIG on the
// module simulator's pseudo-terminal directly, in the same run.
//
//   BENCH readconfig_rfc2217_vs_pty  median time of READ CONFIG through
//       ser2net (telnet(rfc2217) accepter, no chardelay) over the median on
//       the pty directly; both simulators answer at once (unpaced). The two
//       alternate in blocks so that a change in the machine's load touches
//       both alike.

#include <QApplication>
#include <QLineEdit>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

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

        std::vector<double> Pty, Rfc2217, WarmUp;
        TimeReadConfigs(Form, Direct.DevicePath(), WarmUp, false);
        TimeReadConfigs(Form, Server.Rfc2217Url(), WarmUp, false);
        TSpans PtySpans, NetSpans;
        for (int Block = 0; Block < Blocks; ++Block) {
            TimeReadConfigs(Form, Direct.DevicePath(), Pty, true, &Direct, &PtySpans);
            TimeReadConfigs(Form, Server.Rfc2217Url(), Rfc2217, true, &Served, &NetSpans);
        }
        const double PtyMs = Median(Pty);
        const double NetMs = Median(Rfc2217);
        std::printf("READ CONFIG, instant module (medians of %zu runs each)\n", Pty.size());
        std::printf("  %-40s %10.3f ms\n", "pseudo-terminal directly", PtyMs);
        std::printf("  %-40s %10.3f ms\n", "rfc2217:// through ser2net on loopback", NetMs);
        std::printf("  %-40s %10.3f ms  /  %.3f ms\n", "request's first to last byte, pty / net",
                    Median(PtySpans.Frame), Median(NetSpans.Frame));
        std::printf("  %-40s %10.3f ms  /  %.3f ms\n", "last byte to the next request, pty / net",
                    Median(PtySpans.Turnaround), Median(NetSpans.Turnaround));
        std::printf("BENCH readconfig_rfc2217_vs_pty %.3f\n", NetMs / PtyMs);
        std::printf("BENCHROW READ CONFIG through ser2net (rfc2217), ms (vs the pty directly)|%.2f|%.2f|%.2f|<= 1.5\n",
                    NetMs, PtyMs, NetMs / PtyMs);
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "readconfig_net_bench: %s\n", Failure.what());
        return 1;
    }
    return 0;
}
