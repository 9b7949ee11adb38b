// SPDX-License-Identifier: MIT
#pragma once

// The figure a benchmark reports of repeated samples: their median, which a
// sample disturbed by the rest of the machine does not move.

#include <algorithm>
#include <vector>

namespace bench {

// The middle sample (of an even count, the upper of the two in the middle).
inline double Median(std::vector<double> Samples)
{
    std::sort(Samples.begin(), Samples.end());
    return Samples[Samples.size() / 2];
}

}  // namespace bench
