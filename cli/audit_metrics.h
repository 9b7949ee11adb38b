// SPDX-License-Identifier: MIT
// audit --metrics: the audit's metrics file, replaced at once, with the last
// good run carried over from the file it replaces.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "main/engine/plant_run.h"

namespace varnolink {

// Reads the last good time from the file at Path (a damaged or unreadable
// file is named in a warning on Err and otherwise ignored), then replaces
// it with the metrics of Rows. Started and Ended bound the run. Throws
// EConfigFile when the file cannot be written.
void WriteAuditMetrics(const std::string& Path, const std::string& Inventory, const std::vector<TPlantRow>& Rows,
                       std::chrono::steady_clock::duration Duration, std::chrono::system_clock::time_point Ended,
                       std::ostream& Err);

}  // namespace varnolink
