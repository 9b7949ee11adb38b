// SPDX-License-Identifier: MIT
// The plant commands of varnolink: audit, backup, apply and find, each over
// many modules at once.
#pragma once

#include <iosfwd>

#include "cli/arguments.h"
#include "cli/json_writer.h"
#include "cli/progress_line.h"

namespace varnolink {

// Runs one plant command: rows on Out as text (or into Json, whose object the
// caller opened and closes), warnings on Err, the progress line on Progress.
// StopFd, when not -1, becomes readable when the user asks to stop. Returns
// the exit code. Faults of the inventory or its files throw EInventory
// before any port is opened.
int RunPlantCommand(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err, TJsonWriter& Json,
                    TProgressLine& Progress);

}  // namespace varnolink
