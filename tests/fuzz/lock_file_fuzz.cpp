// SPDX-License-Identifier: MIT
// The lock-file reader takes whatever another program left in /var/lock:
// any content gives a positive process id or nothing, and never crashes.
#include <cstddef>
#include <cstdint>

#include "main/ports/port_holder.h"
#include "tests/fuzz/fuzz_input.h"

using namespace varnolink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::optional<pid_t> Owner = ParseLockFile(fuzz_test::TextOf(Data, Size));
    fuzz_test::Require(!Owner || *Owner > 0, "a process id that is not positive");
    return 0;
}
