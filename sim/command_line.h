// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "sim/module_simulator.h"

namespace varnolink::sim {

// What the command line of varnolink-sim asks for.
struct CommandLine {
    SimulatorOptions options;
    bool help = false;
    bool printRequests = false;
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after "=". Throws std::invalid_argument with a message
// for the user on any unknown option or bad value.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The --help text.
std::string UsageText();

}  // namespace varnolink::sim
