// SPDX-License-Identifier: MIT
// Endurance: many open/close cycles, with data streaming in from the far end
// all the while, leave no descriptor, thread or memory behind.
#include "device_pty.h"
#include "soak_support.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using namespace cport;
using namespace device_test;
using namespace soak_test;

namespace {

// Writes into the pty master until stopped; a full buffer or a closed slave
// only makes it wait for the line to take bytes again.
class FarEndStream {
public:
    explicit FarEndStream(int Master)
        : thread_([this, Master] {
              const char chunk[64] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
              while (!stop_.load()) {
                  if (::write(Master, chunk, sizeof chunk) > 0) continue;
                  pollfd p{Master, POLLOUT, 0};
                  ::poll(&p, 1, 5);
              }
          }) {}
    ~FarEndStream() {
        stop_.store(true);
        thread_.join();
    }
    FarEndStream(const FarEndStream&) = delete;
    FarEndStream& operator=(const FarEndStream&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

TEST(OpenCloseSoak, TenThousandCyclesWithDataStreamingLeaveNothingBehind) {
    PtyPair pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    // The event thread runs and hands every arrival to a handler that reads
    // it on the event thread itself, so no owner loop is needed.
    port.SetSyncMethod(smNone);
    std::atomic<long> received{0};
    port.OnRxChar = [&](TComponent*, int32_t Count) {
        char buffer[256];
        received += port.ReadBytes(buffer, std::min<int32_t>(Count, sizeof buffer));
    };
    FarEndStream stream(pty.Master());
    for (int i = 0; i < 200; ++i) {   // first use of everything that is set up once
        port.Open();
        port.Close();
    }
    const int fds_before = OpenDescriptors();
    const int threads_before = Threads();
    const long rss_before = ResidentKiB();
    for (int i = 0; i < 10000; ++i) {
        port.Open();
        if (i % 1000 == 0) {
            ASSERT_EQ(port.WriteBytes("x", 1), 1);
        }
        port.Close();
    }
    EXPECT_EQ(OpenDescriptors(), fds_before);
    EXPECT_EQ(Threads(), threads_before);
    // Roughly flat: a leak of even 100 bytes a cycle would show as ~1 MiB.
    if (!kAddressSanitizer) {
        EXPECT_LT(ResidentKiB() - rss_before, 4096) << "RSS before " << rss_before << " KiB";
    }
    // The cycles are too short to be sure any byte got through; an open
    // port must then receive the stream within a bounded time.
    port.Open();
    EXPECT_TRUE(port.Connected());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (received.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GT(received.load(), 0) << "the stream never reached the handler";
    port.Close();
}
