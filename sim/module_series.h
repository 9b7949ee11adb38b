// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <set>
#include <string_view>

#include "sim/module_behaviour.h"
#include "sim/module_state.h"
#include "sim/request_assembler.h"

namespace varnolink::sim {

// The simulator standing for a series of modules that are connected one
// after another to the same line, as when modules are commissioned in a row.
struct TSeriesOptions {
    // Off: one module for the whole run. On: once a module has had its whole
    // configuration written and read back, it is unplugged: the line stays
    // silent for `gap`, then the next module answers, fresh from the factory.
    bool Enabled = false;
    std::chrono::milliseconds Gap{1000};
    // The module with this number (1 = the first; 0 = none) is faulty: it
    // stores and echoes the P0 direction written to it with bit 0 flipped.
    std::size_t FaultyModule = 0;
    // The module with this number (0 = none) stops answering at its seventh
    // write, half-way through its configuration, and is unplugged; the next
    // module answers `gap` later.
    std::size_t SilentModule = 0;

    bool operator==(const TSeriesOptions&) const = default;
};

// Writes a silent module still answers before it dies.
inline constexpr std::size_t SilentModuleAnsweredWrites = 6;

// Which module is on the line and how it treats each request. Not thread-safe:
// the simulator calls it under its own lock.
class TModuleSeries {
public:
    explicit TModuleSeries(TSeriesOptions Options) : Options_(Options) {}

    // Whether a module is on the line at `now`. When the gap after the last
    // module has passed, the next one is plugged in: `state` becomes a fresh
    // factory module (ID, baud rate and ports at their factory values; status
    // and identity as before).
    bool Attach(TClock::time_point Now, TModuleState& State);

    // Lets the attached module shape its answer to `frame` (already answered
    // by AnswerRequest on `state`): a faulty module alters its P0 direction
    // write, a silent module dies at its seventh write, and a module whose
    // configuration has been written and read back is unplugged after this
    // answer.
    void Shape(std::string_view Frame, TClock::time_point Now, TModuleAnswer& Answer, TModuleState& State);

    // Number of the module on the line at `now` (1 = the first), 0 while the
    // line is empty between two modules.
    std::size_t ModuleNumber(TClock::time_point Now) const;

private:
    void Unplug(TClock::time_point Now);

    TSeriesOptions Options_;
    std::size_t Module_ = 1;
    bool Attached_ = true;
    TClock::time_point NextArrives_{};
    std::size_t Writes_ = 0;
    // Codes written to this module, and those of them read back since.
    std::set<int> Written_;
    std::set<int> Verified_;
};

}  // namespace varnolink::sim
