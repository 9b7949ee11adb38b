// The open and close sequences under the feet of their own handlers and of
// the system: output left unsent at Close, handlers that open, close or
// delete the port, and resources that run out while opening.
#include "device_pty.h"

#include <atomic>
#include <string>
#include <vector>

using namespace cport;
using namespace device_test;

namespace {

// A pseudo-terminal's far end takes 4 KiB into its line discipline; what is
// written beyond that waits in the kernel, as unsent output waits in a
// UART's queue. Close drops it instead of handing it on.
TEST(CloseSequence, OutputTheLineHasNotTakenIsDiscarded) {
    PtyPair pty;
    TComPort port;
    UseSlave(port, pty);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(20);   // a write takes what the line takes in 20 ms
    port.Open();
    const std::string block(65536, 'u');
    const int32_t written = port.WriteBytes(block.data(), static_cast<int32_t>(block.size()));
    ASSERT_GT(written, 8192);
    const auto start = Clock::now();
    port.Close();
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);
    const size_t received = pty.Read(static_cast<size_t>(written), 200ms).size();
    EXPECT_LT(received, static_cast<size_t>(written));
}

}  // namespace
