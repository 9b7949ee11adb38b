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
struct TOutputPiece {
    std::string Bytes;
    std::chrono::milliseconds GapBefore{0};
};

// Everything sent in answer to one request: noise, wrong lines and the
// reply line with its line end, in line order, then a twin's reply line
// (after it, or its bytes alternating with it under TFaults::TwinOverlap),
// cut into pieces as the faults ask. `ReplyLine` and `TwinLine` have no line
// end; an empty `TwinLine` means no twin. `LineFeed` adds LF after each CR
// this function appends. `NoiseSource` supplies the random noise bytes.
std::vector<TOutputPiece> BuildTransmission(const std::string& ReplyLine, const TFaults& Faults, bool LineFeed,
                                            std::mt19937& NoiseSource, const std::string& TwinLine = {});

// The bytes of `First` and `Second` taken in turn, one by one, starting with
// `First`; what is left of the longer one follows.
std::string Interleave(const std::string& First, const std::string& Second);

// The wrong line of `kind` made from `ReplyLine` (no line end), with its line
// end; for TMalformedKind::Text the text itself.
std::string MalformedLine(const std::string& ReplyLine, const TMalformedFault& Fault, bool LineFeed);

}  // namespace varnolink::sim
