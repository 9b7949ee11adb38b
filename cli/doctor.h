// SPDX-License-Identifier: MIT
// varnolink doctor: the port and the line checked step by step.
#pragma once

#include <iosfwd>

#include "cli/arguments.h"
#include "cli/json_writer.h"

namespace varnolink {

// One screen of checks, each with a verdict and a remedy, as text on Out or
// into Json ("checks", "module_answered", "line_speed"). Exit 0 when a
// module answered (at any rate), 3 when none did, 2 when the port could not
// be opened at all.
int RunDoctor(const TCliArguments& Arguments, int StopFd, std::ostream& Out, TJsonWriter& Json);

}  // namespace varnolink
