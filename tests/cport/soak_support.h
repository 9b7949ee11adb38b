// SPDX-License-Identifier: MIT
// What the soak tests watch for leaks: open descriptors, threads and the
// resident memory of this process, read from /proc/self.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

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

// Entries of a /proc directory, "." and ".." left out.
inline int EntriesIn(const char* Dir)
{
    int Count = 0;
    if (DIR* dir = ::opendir(Dir)) {
        while (dirent* Entry = ::readdir(dir))
            if (Entry->d_name[0] != '.')
                ++Count;
        ::closedir(dir);
    }
    return Count;
}

inline int OpenDescriptors()
{
    return EntriesIn("/proc/self/fd");
}

// Threads of this process right now.
inline int ThreadCount()
{
    return EntriesIn("/proc/self/task");
}

// A joined thread may stay listed for a moment: the kernel wakes the joiner
// before it removes the finished task.
inline bool ThreadCountBecomes(int Expected, std::chrono::milliseconds Limit = std::chrono::seconds(2))
{
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (ThreadCount() != Expected) {
        if (std::chrono::steady_clock::now() >= End)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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
