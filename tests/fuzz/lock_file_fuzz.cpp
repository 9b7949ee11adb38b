// SPDX-License-Identifier: MIT
// The lock-file reader takes whatever another program left in /var/lock:
// any content gives a positive process id or nothing, and never crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "main/ports/port_holder.h"

using namespace varnolink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::optional<pid_t> Owner = ParseLockFile(std::string_view(reinterpret_cast<const char*>(Data), Size));
    if (Owner && *Owner <= 0)
        std::abort();
    return 0;
}
