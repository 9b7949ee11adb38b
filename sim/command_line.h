// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/module_simulator.h"
#include "sim/plant_simulator.h"

namespace varnolink::sim {

// What the command line of varnolink-sim asks for.
struct TCommandLine {
    TSimulatorOptions Options;
    bool Help = false;
    bool PrintRequests = false;
    // Set by --plant: serve a plant of modules on TCP instead of one module
    // on a line; Options is then unused.
    std::optional<TPlantOptions> Plant;
    // Where to write the plant's inventory (empty: nowhere).
    std::string PlantInventory;
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after "=". Throws std::invalid_argument with a message
// for the user on any unknown option or bad value.
TCommandLine ParseCommandLine(const std::vector<std::string>& Arguments);

// The --help text.
std::string UsageText();

}  // namespace varnolink::sim
