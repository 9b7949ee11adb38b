// SPDX-License-Identifier: MIT
#pragma once

// For tests that hold thousands of descriptors at once (ports, simulators,
// connections): more than the usual soft limit of 1024 open files.

#include <sys/resource.h>

#include <optional>

namespace test_support {

// Raises this process's soft limit of open files to its hard limit; the
// limit in force then, or nothing when it could not be read or set.
inline std::optional<rlim_t> RaiseOpenFilesLimit()
{
    rlimit Files{};
    if (::getrlimit(RLIMIT_NOFILE, &Files) != 0)
        return std::nullopt;
    Files.rlim_cur = Files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &Files) != 0)
        return std::nullopt;
    return Files.rlim_cur;
}

}  // namespace test_support
