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
        : Thread_([this, Master] {
              const char Chunk[64] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
              while (!Stop_.load()) {
                  if (::write(Master, Chunk, sizeof Chunk) > 0)
                      continue;
                  pollfd P{Master, POLLOUT, 0};
                  ::poll(&P, 1, 5);
              }
          })
    {}
    ~FarEndStream()
    {
        Stop_.store(true);
        Thread_.join();
    }
    FarEndStream(const FarEndStream&) = delete;
    FarEndStream& operator=(const FarEndStream&) = delete;

private:
    std::atomic<bool> Stop_{false};
    std::thread Thread_;
};

}  // namespace

TEST(OpenCloseSoak, TenThousandCyclesWithDataStreamingLeaveNothingBehind)
{
    TPtyPair Pty;
    TComPort Port;
    Port.SetPort(Pty.SlavePath());
    // The event thread runs and hands every arrival to a handler that reads
    // it on the event thread itself, so no owner loop is needed.
    Port.SetSyncMethod(smNone);
    std::atomic<long> received{0};
    Port.OnRxChar = [&](TComponent*, int32_t Count) {
        char Buffer[256];
        received += Port.ReadBytes(Buffer, std::min<int32_t>(Count, sizeof Buffer));
    };
    FarEndStream Stream(Pty.Master());
    const int ThreadsBefore = ThreadCount();  // no event thread has run yet
    for (int I = 0; I < 200; ++I) {           // first use of everything that is set up once
        Port.Open();
        Port.Close();
    }
    const int FdsBefore = OpenDescriptors();
    const long RssBefore = ResidentKiB();
    for (int I = 0; I < 10000; ++I) {
        Port.Open();
        if (I % 1000 == 0) {
            ASSERT_EQ(Port.WriteBytes("x", 1), 1);
        }
        Port.Close();
    }
    EXPECT_EQ(OpenDescriptors(), FdsBefore);
    EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore)) << ThreadCount() << " threads, " << ThreadsBefore << " before";
    // Roughly flat: a leak of even 100 bytes a cycle would show as ~1 MiB.
    if (!AddressSanitizer) {
        EXPECT_LT(ResidentKiB() - RssBefore, 4096) << "RSS before " << RssBefore << " KiB";
    }
    // The cycles are too short to be sure any byte got through; an open
    // port must then receive the stream within a bounded time.
    Port.Open();
    EXPECT_TRUE(Port.Connected());
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (received.load() == 0 && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GT(received.load(), 0) << "the stream never reached the handler";
    Port.Close();
}
