// SPDX-License-Identifier: MIT
// Ports owned by different threads, and Close among other ports' work: each
// port hands its events to the thread that opened it, and Close serves only
// its own port's hand-overs.
#include "event_test_support.h"

#include <latch>

using namespace cport;
using namespace event_test;

namespace {

// Two owning threads, each with its own loop and port: every OnRxChar of a
// port runs on the thread that opened it, and that thread's wake hook is
// the one called.
TEST(OwnerThreads, EachPortHandsItsEventsToTheThreadThatOpenedIt)
{
    Watchdog Watchdog("two owner threads", 60s);
    constexpr size_t Bytes = 200;
    TPtyPair lines[2];
    std::latch opened(2);
    std::latch sent(1);
    std::atomic<int> foreign_calls{0};
    std::atomic<int> wakes[2] = {0, 0};
    std::atomic<size_t> Received[2] = {0, 0};
    auto Owner = [&](int i) {
        OwnerLoop Loop;
        TComPort port;
        SetUpPort(port, lines[i], {evRxChar}, smThreadSync);
        const auto self = std::this_thread::get_id();
        port.OnRxChar = [&](TComponent*, int32_t Count) {
            if (std::this_thread::get_id() != self)
                ++foreign_calls;
            std::string Text;
            Received[i] += static_cast<size_t>(port.ReadText(Text, Count));
        };
        port.Open();
        opened.count_down();
        sent.wait();
        Loop.ServeUntil([&] { return Received[i].load() >= Bytes; }, 20s);
        wakes[i] = Loop.Wakes();
        port.Close();
    };
    std::thread A(Owner, 0), B(Owner, 1);
    opened.wait();
    for (size_t N = 0; N < Bytes; N += 10) {
        lines[0].Write(std::string(10, 'a'));
        lines[1].Write(std::string(10, 'b'));
    }
    sent.count_down();
    A.join();
    B.join();
    EXPECT_EQ(foreign_calls.load(), 0);
    EXPECT_EQ(Received[0].load(), Bytes);
    EXPECT_EQ(Received[1].load(), Bytes);
    EXPECT_GT(wakes[0].load(), 0);
    EXPECT_GT(wakes[1].load(), 0);
}

// Port B's hand-over waits in the owner's queue while port A closes: A's
// Close does not run it; the owner's loop does afterwards.
TEST(OwnerThreads, CloseServesOnlyItsOwnPortsHandOvers)
{
    Watchdog Watchdog("close among other work", 30s);
    OwnerLoop Loop;
    TPtyPair LineA, LineB;
    TComPort A, b;
    SetUpPort(A, LineA, AllComEvents, smThreadSync);
    SetUpPort(b, LineB, {evRxChar}, smThreadSync);
    bool closing_a = false;
    int BInsideClose = 0, b_calls = 0;
    b.OnRxChar = [&](TComponent*, int32_t Count) {
        ++b_calls;
        if (closing_a)
            ++BInsideClose;
        std::string Text;
        b.ReadText(Text, Count);
    };
    A.Open();
    b.Open();
    LineB.Write("for b");
    ASSERT_TRUE(Loop.WaitForWake());  // b's hand-over is queued, not served
    closing_a = true;
    A.Close();
    closing_a = false;
    EXPECT_EQ(BInsideClose, 0);
    ASSERT_TRUE(Loop.ServeUntil([&] { return b_calls > 0; }));
    b.Close();
}

}  // namespace
