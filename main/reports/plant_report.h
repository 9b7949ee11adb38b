// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "main/engine/plant_run.h"

namespace varnolink {

// A row's result in a few words beyond its outcome, the same in every
// report: "direction.P0: file 5A, module A5; baud: file 9600, module 19200",
// "no reply to read P2 direction", the port's words, and for a write that
// ended early what the module holds.
std::string PlantRowDetail(const TPlantRow& Row);

// "written before it ended: remote_id, baud; sent, not confirmed:
// direction.P0; not sent: ..." for a write that did not complete; empty
// otherwise.
std::string PlantRowHeld(const TPlantRow& Row);

// The identity as one text: "VARNOLINK-IO 1.00a"; empty when unknown.
std::string PlantRowIdentity(const TPlantRow& Row);

// "37 modules: 30 ok, 5 differ, 2 unreachable" (only the counts there are).
std::string PlantSummaryText(const TPlantSummary& Summary);

// The result as one self-contained HTML page (no script, no external
// resource): a title, when it was made, the summary, and a table with a row
// per module coloured by its result, the differing fields spelled out. It
// prints on paper as it shows on screen.
std::string PlantReportHtml(const std::string& Title, const std::string& MadeAt, const std::vector<TPlantRow>& Rows,
                            const TPlantSummary& Summary);

}  // namespace varnolink
