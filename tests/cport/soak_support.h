// SPDX-License-Identifier: MIT
// What the soak tests watch for leaks: open descriptors, threads and the
// resident memory of this process, read from /proc/self.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

namespace soak_test {

// Under AddressSanitizer freed memory sits in quarantine and the resident
// size grows by design; LeakSanitizer checks for leaks there instead.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool AddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool AddressSanitizer = true;
#else
inline constexpr bool AddressSanitizer = false;
#endif
#else
inline constexpr bool AddressSanitizer = false;
#endif

inline int EntriesIn(const char* Dir)
{
    int Count = 0;
    if (DIR* dir = ::opendir(Dir)) {
        while (::readdir(dir) != nullptr)
            ++Count;
        ::closedir(dir);
    }
    return Count;
}

inline int OpenDescriptors()
{
    return EntriesIn("/proc/self/fd");
}
inline int Threads()
{
    return EntriesIn("/proc/self/task");
}

inline long ResidentKiB()
{
    long Pages = 0, Resident = 0;
    if (FILE* F = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(F, "%ld %ld", &Pages, &Resident) != 2)
            Resident = 0;
        std::fclose(F);
    }
    return Resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace soak_test
