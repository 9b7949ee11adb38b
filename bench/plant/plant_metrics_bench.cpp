// SPDX-License-Identifier: MIT
// What --metrics adds to an audit of the simulated plant (one raw TCP port
// per module, each module's 9600-baud line time emulated):
//
//   BENCH audit_metrics_1000_overhead  "varnolink audit --metrics" of 1,000
//       modules, process start to exit, over the same audit without
//       metrics: the two alternate, so both see the same machine; the
//       metrics file is replaced every run, its previous text read back.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/plant/plant_measures.h"
#include "sim/plant_simulator.h"

using namespace varnolink;

namespace {

double Median(std::vector<double> Values)
{
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

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

    constexpr int Repeats = 9;
    std::vector<double> Plain, WithMetrics;
    for (int Repeat = 0; Repeat < Repeats; ++Repeat) {
        const TRun Without = RunProgram({Program, "audit", Inventory});
        const TRun With = RunProgram({Program, "audit", Inventory, "--metrics", Metrics});
        if (Without.Status != 0 || With.Status != 0)
            throw std::runtime_error("varnolink audit ended with " +
                                     std::to_string(std::max(Without.Status, With.Status)));
        Plain.push_back(Without.Ms);
        WithMetrics.push_back(With.Ms);
    }
    const double MetricsBytes = static_cast<double>(std::filesystem::file_size(Metrics));
    std::filesystem::remove_all(Folder);

    const double PlainMs = Median(Plain), MetricsMs = Median(WithMetrics);
    std::printf("varnolink audit of 1,000 modules with and without --metrics (medians of %d)\n", Repeats);
    std::printf("  %-58s %10.1f ms\n", "audit, start to exit", PlainMs);
    std::printf("  %-58s %10.1f ms\n", "audit --metrics, start to exit", MetricsMs);
    std::printf("  %-58s %10.1f KiB\n", "metrics file", MetricsBytes / 1024);
    std::printf("BENCH audit_metrics_1000_overhead %.4f\n", MetricsMs / PlainMs);
    std::printf(
        "BENCHROW varnolink audit --metrics of 1,000 modules, ms (vs the audit without)|%.1f|%.1f|%.3f|<= 1.02\n",
        MetricsMs, PlainMs, MetricsMs / PlainMs);
    return 0;
}
