// SPDX-License-Identifier: MIT
// An audit's result in the Prometheus text exposition format, and the time
// of the last good run read back from a previous result.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/engine/plant_run.h"

namespace varnolink {

// When the run ran, in unix seconds, and what the previous run's file said.
struct TPlantMetricsTimes {
    double DurationSeconds = 0;
    double EndedAt = 0;
    // The end of the last run in which every module was reached and held
    // its file, as the previous file had it; none when no run was good yet.
    std::optional<double> LastGoodBefore;
};

// The audit of the plant whose inventory is Inventory as metrics: per module
// (labels inventory, name, port, location) whether it was reached, whether
// it holds its file, how many fields differ and its identity as an info
// series; per run the modules by result, the duration, the end and the last
// good run. A row that was not read counts as not reached and not holding
// its file, and has no differing fields series. Every series has HELP and
// TYPE lines; label values are escaped.
std::string PlantMetricsText(const std::string& Inventory, const std::vector<TPlantRow>& Rows,
                             const TPlantMetricsTimes& Times);

// "\\", "\"" and "\n" as the exposition format escapes them in label values.
std::string MetricsLabelValue(std::string_view Value);

// What a previous metrics file says of the last good run.
struct TPreviousMetrics {
    bool Damaged = false;  // not a complete file of ours, or an unreadable time
    std::optional<double> LastGood;
};
TPreviousMetrics PreviousPlantMetrics(std::string_view Text);

}  // namespace varnolink
