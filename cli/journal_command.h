// SPDX-License-Identifier: MIT
// varnolink journal: the changes made to modules, and where the journal is.
#pragma once

#include <iosfwd>
#include <string>

#include "cli/arguments.h"
#include "cli/json_writer.h"

namespace varnolink {

// The journal a command keeps its changes in: --journal, else
// VARNOLINK_JOURNAL, else the default in the state folder.
std::string JournalPathOf(const TCliArguments& Arguments);

// Lists the changes (--since, --port): one line each on Out, or the members
// "journal", "changes" and "skipped" in Json. Damaged lines are named on Err
// and passed over. Returns the exit code.
int ListJournal(const TCliArguments& Arguments, std::ostream& Out, std::ostream& Err, TJsonWriter& Json);

}  // namespace varnolink
