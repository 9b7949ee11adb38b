// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "sim/faults.h"

namespace varnolink::sim {

// A run of bytes to send, and how long the line stays quiet before it
// (measured from the end of the previous piece).
struct OutputPiece {
    std::string bytes;
    std::chrono::milliseconds gapBefore{0};
};

// Everything sent in answer to one request: noise, wrong lines and the
// reply line with its line end, in line order, cut into pieces as the faults
// ask. `replyLine` has no line end; `lineFeed` adds LF after each CR this
// function appends. `noiseSource` supplies the random noise bytes.
std::vector<OutputPiece> BuildTransmission(const std::string& replyLine, const Faults& faults, bool lineFeed,
                                           std::mt19937& noiseSource);

// The wrong line of `kind` made from `replyLine` (no line end), with its line
// end; for MalformedKind::kText the text itself.
std::string MalformedLine(const std::string& replyLine, const MalformedFault& fault, bool lineFeed);

}  // namespace varnolink::sim
