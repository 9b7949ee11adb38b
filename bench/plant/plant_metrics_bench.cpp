// SPDX-License-Identifier: MIT
// What --metrics adds to an audit of the simulated plant (one raw TCP port
// per module, each module's 9600-baud line time emulated):
//
//   BENCH audit_metrics_1000_overhead  "varnolink audit --metrics" of 1,000
//       modules, process start to exit, over the same audit without
//       metrics run next to it: the median of the pairs' ratios. The
//       metrics file is replaced every run, its previous text read back.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/median.h"
#include "bench/plant/plant_measures.h"
#include "sim/plant_simulator.h"

using namespace varnolink;
using namespace plant_bench;

namespace {

using bench::Median;

}  // namespace

int main()
{
    const std::string Program = VARNOLINK_CLI_EXECUTABLE;
    const std::filesystem::path Folder = std::filesystem::temp_directory_path() / "varnolink-plant-metrics-bench";
    std::filesystem::remove_all(Folder);
    sim::RaiseDescriptorLimit(4096);

    sim::TPlantOptions Options;
    Options.Count = 1000;
    sim::TPlantSimulator Plant(Options);
    sim::WritePlantInventory(Plant, Folder.string());
    const std::string Inventory = (Folder / "plant.csv").string();
    const std::string Metrics = (Folder / "varnolink-plant.prom").string();

    // Pairs run back to back, in turns which goes first; the ratio of each
    // pair is taken, so a load that changes during the run (the machine is
    // shared) weighs on both sides of a pair alike.
    constexpr int Repeats = 11;
    std::vector<double> Plain, WithMetrics, Ratios;
    for (int Repeat = 0; Repeat < Repeats; ++Repeat) {
        TRun Without, With;
        const auto RunWithout = [&] { Without = RunProgram({Program, "audit", Inventory}); };
        const auto RunWith = [&] { With = RunProgram({Program, "audit", Inventory, "--metrics", Metrics}); };
        if (Repeat % 2 == 0) {
            RunWithout();
            RunWith();
        } else {
            RunWith();
            RunWithout();
        }
        if (Without.Status != 0 || With.Status != 0)
            throw std::runtime_error("varnolink audit ended with " +
                                     std::to_string(std::max(Without.Status, With.Status)));
        Plain.push_back(Without.Ms);
        WithMetrics.push_back(With.Ms);
        Ratios.push_back(With.Ms / Without.Ms);
    }
    const double MetricsBytes = static_cast<double>(std::filesystem::file_size(Metrics));
    std::filesystem::remove_all(Folder);

    const double PlainMs = Median(Plain), MetricsMs = Median(WithMetrics), Ratio = Median(Ratios);
    std::printf("varnolink audit of 1,000 modules with and without --metrics (medians of %d)\n", Repeats);
    std::printf("  %-58s %10.1f ms\n", "audit, start to exit", PlainMs);
    std::printf("  %-58s %10.1f ms\n", "audit --metrics, start to exit", MetricsMs);
    std::printf("  %-58s %10.1f KiB\n", "metrics file", MetricsBytes / 1024);
    std::printf("  %-58s %10.4f\n", "median of the pairs' ratios", Ratio);
    std::printf("BENCH audit_metrics_1000_overhead %.4f\n", Ratio);
    std::printf(
        "BENCHROW varnolink audit --metrics of 1,000 modules, ms (vs the audit without)|%.1f|%.1f|%.3f|<= 1.02\n",
        MetricsMs, PlainMs, Ratio);
    return 0;
}
