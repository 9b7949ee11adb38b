// SPDX-License-Identifier: MIT
#pragma once

// For tests and benchmarks that bound how busy a wait keeps the processor.

#include <time.h>

namespace test_support {

// The processor seconds this whole process has used, all its threads together.
inline double ProcessCpuSeconds()
{
    timespec Used{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Used);
    return static_cast<double>(Used.tv_sec) + static_cast<double>(Used.tv_nsec) / 1e9;
}

}  // namespace test_support
