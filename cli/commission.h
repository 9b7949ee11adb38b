// SPDX-License-Identifier: MIT
// varnolink commission: the run of a series of modules from the command
// line.
#pragma once

#include <iosfwd>

#include "cli/arguments.h"
#include "cli/json_writer.h"
#include "main/engine/module_connection.h"
#include "main/engine/wire_log.h"

namespace varnolink {

// varnolink commission -p PORT TEMPLATE --ids LIST [--log FILE.csv]
// [--dry-run] [--next-on-enter]: puts one module after another into service
// on the same port (series_commissioning.h). Progress goes to Err, the dry
// run's changes and the summary to Out, or with --json into Json (an open
// object: "modules", "would_change", "summary"); EnterFd carries the
// operator's Enter (standard input), StopFd Ctrl-C (a signalfd), which ends
// a module's chain at once. A module whose writes end short is followed by
// what it holds, in the words of write.
//
// Returns ExitDone when the run ended between two modules (every ID given,
// or stopped there) and ExitStopped when it was stopped during a module's
// writes. Errors of the template, the ID list and the log (EConfigFile,
// EUsage) and of the port (EModulePort) pass to the caller.
int RunCommission(const TCliArguments& Arguments, TModuleConnection& Connection, TWireObserver* WireLog, int StopFd,
                  int EnterFd, std::ostream& Out, std::ostream& Err, TJsonWriter& Json);

}  // namespace varnolink
