// SPDX-License-Identifier: MIT
// The metrics file of audit --metrics: read back, formatted, replaced.
#include "cli/audit_metrics.h"

#include "main/reports/plant_metrics.h"
#include "main/files/atomic_file.h"
#include "main/files/file_text.h"

namespace varnolink {

namespace {

// Far above any plant's file (about 1 KiB per module), and a bound on what a
// stray file in its place costs to look at.
constexpr std::size_t PreviousLimit = 64 * 1024 * 1024;

}  // namespace

void WriteAuditMetrics(const std::string& Path, const std::string& Inventory, const std::vector<TPlantRow>& Rows,
                       std::chrono::steady_clock::duration Duration, std::chrono::system_clock::time_point Ended,
                       std::ostream& Err)
{
    TPlantMetricsTimes Times;
    Times.DurationSeconds = std::chrono::duration<double>(Duration).count();
    Times.EndedAt = std::chrono::duration<double>(Ended.time_since_epoch()).count();
    const TFileText Previous = ReadFileText(Path, PreviousLimit);
    if (!Previous.Missing) {
        const TPreviousMetrics Found =
            Previous.Error.empty() ? PreviousPlantMetrics(Previous.Text) : TPreviousMetrics{};
        if (!Previous.Error.empty())
            Err << "varnolink: warning: the previous metrics " << Path << " " << Previous.Error
                << ": the time of the last good run starts anew" << std::endl;
        else if (Found.Damaged)
            Err << "varnolink: warning: the previous metrics " << Path
                << " are damaged: the time of the last good run starts anew" << std::endl;
        else
            Times.LastGoodBefore = Found.LastGood;
    }
    ReplaceFileAtomically(Path, PlantMetricsText(Inventory, Rows, Times));
}

}  // namespace varnolink
