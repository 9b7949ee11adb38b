// SPDX-License-Identifier: MIT
// Running a configuration chain where a chain that ends short is an error.
// The connection (module_connection.h) and the window's commissioning line
// both run their chains through this, so both name the same written fields
// and raise the same errors.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>

#include "main/protocol/config_recorder.h"
#include "main/protocol/module_connection.h"
#include "main/protocol/transaction_chains.h"

// The fields that the first Answered steps of Chain have written, by name.
TWrittenFields WrittenFields(std::span<const TChainStep> Chain, std::size_t Answered);

// Runs Chain on Driver after clearing Recorder. A chain stopped on request
// throws EModuleStopped, one whose request got no reply within Wait
// EModuleNoReply; both name the fields written by then, Earlier (the writes
// of a chain before) first.
void RunWholeChain(std::span<const TChainStep> Chain, TChainDriver& Driver, TConfigRecorder& Recorder,
                   std::chrono::milliseconds Wait, const TWrittenFields& Earlier);

// What a read chain has left in Recorder; EModuleReply when the module's
// baud-rate index names no rate.
TModuleReading RecordedReading(const TConfigRecorder& Recorder);
