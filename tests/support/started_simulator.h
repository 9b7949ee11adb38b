// SPDX-License-Identifier: MIT
#pragma once

// The module simulator on its pseudo-terminal, started with a state and
// faults: the far end of the suites that talk to a module.

#include <memory>

#include "sim/module_simulator.h"

namespace test_support {

inline std::unique_ptr<varnolink::sim::TModuleSimulator> StartSimulator(const varnolink::sim::TModuleState& State = {},
                                                                        const varnolink::sim::TFaults& TFaults = {})
{
    varnolink::sim::TSimulatorOptions Options;
    Options.State = State;
    Options.Faults = TFaults;
    auto Simulator = std::make_unique<varnolink::sim::TModuleSimulator>(std::move(Options));
    Simulator->Start();
    return Simulator;
}

}  // namespace test_support
