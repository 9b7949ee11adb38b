// SPDX-License-Identifier: MIT
// commission_bench: a commissioning run over the simulator standing for a
// series of modules behind a 9600-baud line (10 bits per character).
//
//   BENCH commission_per_module_vs_line_time  the time a module takes, from
//       its first identity reply to its logged row, as a multiple of the pure
//       line time of the frames exchanged with it in that time (its requests
//       and their replies, counted from the simulator's record); the median
//       over the modules of the run.
//   BENCH commission_per_module_vs_raw_line_exchanges  the same time as a
//       multiple of those same frames exchanged on the raw line, one write
//       and a read to the reply's CR each, through a simulator with the same
//       line emulation: what the emulated line itself takes on this machine.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/median.h"
#include "main/engine/commission_loop.h"
#include "main/engine/series_commissioning.h"
#include "main/files/id_list.h"
#include "sim/module_simulator.h"

using namespace varnolink;

namespace {

using bench::Median;
using namespace std::chrono_literals;
using varnolink::sim::TRequestOutcome;
using varnolink::sim::TRequestRecord;

constexpr int Modules = 8;
constexpr double LineBaud = 9600.0;
constexpr double BitsPerCharacter = 10.0;
// Reply lines with their CR: the identity's and every other.
constexpr std::size_t IdentityReplyCharacters = 30 + 1;
constexpr std::size_t ReplyCharacters = 13 + 1;

class TTimingObserver final : public TCommissionObserver {
public:
    void ModuleFinished(std::size_t, const TCommissionRow& Row, std::chrono::milliseconds Took) override
    {
        if (Row.Result != TCommissionResult::Ok)
            throw std::runtime_error("module " + Row.IdAfter + ": " + std::string(CommissionResultText(Row.Result)));
        TookMs.push_back(static_cast<double>(Took.count()));
    }
    std::vector<double> TookMs;
};

// The requests that module Number got after its first identity reply.
std::vector<TRequestRecord> ModuleRequests(const std::vector<TRequestRecord>& Log, std::size_t Number)
{
    std::vector<TRequestRecord> Mine;
    for (const auto& Request : Log)
        if (Request.Module == Number)
            Mine.push_back(Request);
    if (!Mine.empty())
        Mine.erase(Mine.begin());
    return Mine;
}

// Line time of the frames exchanged: the requests and their replies.
double LineTimeMs(const std::vector<TRequestRecord>& Requests)
{
    std::size_t Characters = 0;
    for (const auto& Request : Requests) {
        Characters += Request.Frame.size();
        if (Request.Outcome == TRequestOutcome::Answered)
            Characters += Request.Code == 0 ? IdentityReplyCharacters : ReplyCharacters;
    }
    return static_cast<double>(Characters) * BitsPerCharacter / LineBaud * 1000.0;
}

// The requests written to the raw line of a paced simulator one at a time,
// each followed by reading its reply through the CR; the time of it all, ms.
double RawLineExchangesMs(const std::vector<TRequestRecord>& Requests)
{
    varnolink::sim::TSimulatorOptions Options;
    Options.Faults.LineBaud = static_cast<unsigned>(LineBaud);
    varnolink::sim::TModuleSimulator Simulator(Options);
    Simulator.Start();
    const int Fd = ::open(Simulator.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Fd < 0)
        throw std::runtime_error("cannot open the raw line");
    termios Raw{};
    ::tcgetattr(Fd, &Raw);
    ::cfmakeraw(&Raw);
    ::tcsetattr(Fd, TCSANOW, &Raw);
    const auto Start = std::chrono::steady_clock::now();
    bool Ok = true;
    for (const auto& Request : Requests) {
        Ok =
            Ok && ::write(Fd, Request.Frame.data(), Request.Frame.size()) == static_cast<ssize_t>(Request.Frame.size());
        std::string Reply;
        while (Ok && Request.Outcome == TRequestOutcome::Answered && Reply.find('\r') == std::string::npos) {
            char Buffer[64];
            const ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
            Ok = Got > 0;
            if (Ok)
                Reply.append(Buffer, static_cast<std::size_t>(Got));
        }
    }
    const double Elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    ::close(Fd);
    if (!Ok)
        throw std::runtime_error("the raw line failed");
    return Elapsed;
}

// Where a module's time goes, as the simulator saw its requests: the mean
// time from a request's first to its last byte, and from one request's first
// byte to the next one's, less the line time of the request and its reply.
struct TSpans {
    double FrameMs = 0;
    double BeyondLineTimeMs = 0;
};

TSpans SpansOf(const std::vector<TRequestRecord>& Requests)
{
    TSpans Spans;
    for (std::size_t I = 0; I + 1 < Requests.size(); ++I) {
        const TRequestRecord& Request = Requests[I];
        Spans.FrameMs += std::chrono::duration<double, std::milli>(Request.CompletedAt - Request.FirstByteAt).count();
        Spans.BeyondLineTimeMs +=
            std::chrono::duration<double, std::milli>(Requests[I + 1].FirstByteAt - Request.FirstByteAt).count() -
            LineTimeMs({Request});
    }
    const double Count = static_cast<double>(Requests.size() - 1);
    return {Spans.FrameMs / Count, Spans.BeyondLineTimeMs / Count};
}

}  // namespace

int main()
{
    const std::filesystem::path Folder =
        std::filesystem::temp_directory_path() / ("commission_bench-" + std::to_string(::getpid()));
    try {
        std::filesystem::create_directories(Folder);
        varnolink::sim::TSimulatorOptions Options;
        Options.Faults.LineBaud = static_cast<unsigned>(LineBaud);
        Options.Series = {true, 1000ms, 0, 0};
        varnolink::sim::TModuleSimulator Simulator(Options);
        Simulator.Start();

        TModuleConnection Connection;
        Connection.Open(Simulator.DevicePath());
        TConnectionCommissionLine Line(Connection, Simulator.DevicePath());
        TCommissionLog Log((Folder / "log.csv").string());
        TModuleConfig Template = FactoryModuleConfig;
        Template.Direction = {0x12, 0x34, 0x56, 0x78, 0x9A};
        TCommissionPlan Plan{Template, ParseIDList("01-" + std::to_string(Modules)), Log.Done(), false, false, {}};
        TTimingObserver Observer;
        TSeriesCommissioning Series(Line, Plan, &Log, Observer);
        RunCommissionLoop(Series, -1, -1);
        Simulator.Stop();
        if (!Series.Summary().Complete || Observer.TookMs.size() != static_cast<std::size_t>(Modules))
            throw std::runtime_error("the run did not give every ID");

        const auto Requests = Simulator.RequestLog();
        std::vector<double> LineMs;
        std::vector<double> Ratios;
        std::vector<double> FrameMs;
        std::vector<double> TurnaroundMs;
        for (std::size_t Number = 1; Number <= static_cast<std::size_t>(Modules); ++Number) {
            const auto Mine = ModuleRequests(Requests, Number);
            const TSpans Spans = SpansOf(Mine);
            FrameMs.push_back(Spans.FrameMs);
            TurnaroundMs.push_back(Spans.BeyondLineTimeMs);
            LineMs.push_back(LineTimeMs(Mine));
            Ratios.push_back(Observer.TookMs[Number - 1] / LineMs.back());
        }
        const double Ratio = Median(Ratios);
        std::vector<double> RawMs;
        for (std::size_t Number = 1; Number <= 3; ++Number)
            RawMs.push_back(RawLineExchangesMs(ModuleRequests(Requests, Number)));
        const double RawRatio = Median(Observer.TookMs) / Median(RawMs);
        std::printf("Commissioning %d simulated modules on a 9600-baud line (medians)\n", Modules);
        std::printf("  %-44s %10.1f ms\n", "per module, identity reply to logged row", Median(Observer.TookMs));
        std::printf("  %-44s %10.1f ms\n", "pure line time of its frames", Median(LineMs));
        std::printf("  %-44s %10.1f ms\n", "same frames exchanged on the raw line", Median(RawMs));
        std::printf("  %-44s %10.3f ms\n", "request's first to last byte", Median(FrameMs));
        std::printf("  %-44s %10.3f ms\n", "per exchange beyond its line time", Median(TurnaroundMs));
        std::printf("BENCH commission_per_module_vs_line_time %.4f\n", Ratio);
        std::printf("BENCH commission_per_module_vs_raw_line_exchanges %.4f\n", RawRatio);
        std::printf("BENCHROW Commissioning at 9600 baud, ms per module (vs pure line time)|%.1f|%.1f|%.3f|<= 1.1\n",
                    Median(Observer.TookMs), Median(LineMs), Ratio);
        std::printf(
            "BENCHROW Commissioning at 9600 baud, ms per module (vs the same frames sent raw)|%.1f|%.1f|%.3f|\n",
            Median(Observer.TookMs), Median(RawMs), RawRatio);
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "commission_bench: %s\n", Failure.what());
        std::filesystem::remove_all(Folder);
        return 1;
    }
    std::filesystem::remove_all(Folder);
    return 0;
}
