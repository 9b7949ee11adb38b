// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "sim/module_simulator.h"

namespace varnolink::sim {

// What the command line of varnolink-sim asks for.
struct TCommandLine {
    TSimulatorOptions Options;
    bool Help = false;
    bool PrintRequests = false;
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after "=". Throws std::invalid_argument with a message
// for the user on any unknown option or bad value.
TCommandLine ParseCommandLine(const std::vector<std::string>& Arguments);

// The --help text.
std::string UsageText();

}  // namespace varnolink::sim
