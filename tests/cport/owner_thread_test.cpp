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
TEST(OwnerThreads, EachPortHandsItsEventsToTheThreadThatOpenedIt) {
    Watchdog watchdog("two owner threads", 60s);
    constexpr size_t kBytes = 200;
    FarEnd lines[2];
    std::latch opened(2);
    std::latch sent(1);
    std::atomic<int> foreign_calls{0};
    std::atomic<int> wakes[2] = {0, 0};
    std::atomic<size_t> received[2] = {0, 0};
    auto owner = [&](int i) {
        OwnerLoop loop;
        TComPort port;
        SetUpPort(port, lines[i], {evRxChar}, smThreadSync);
        const auto self = std::this_thread::get_id();
        port.OnRxChar = [&](TComponent*, int32_t Count) {
            if (std::this_thread::get_id() != self) ++foreign_calls;
            std::string text;
            received[i] += static_cast<size_t>(port.ReadText(text, Count));
        };
        port.Open();
        opened.count_down();
        sent.wait();
        loop.ServeUntil([&] { return received[i].load() >= kBytes; }, 20s);
        wakes[i] = loop.Wakes();
        port.Close();
    };
    std::thread a(owner, 0), b(owner, 1);
    opened.wait();
    for (size_t n = 0; n < kBytes; n += 10) {
        lines[0].Write(std::string(10, 'a'));
        lines[1].Write(std::string(10, 'b'));
    }
    sent.count_down();
    a.join();
    b.join();
    EXPECT_EQ(foreign_calls.load(), 0);
    EXPECT_EQ(received[0].load(), kBytes);
    EXPECT_EQ(received[1].load(), kBytes);
    EXPECT_GT(wakes[0].load(), 0);
    EXPECT_GT(wakes[1].load(), 0);
}

// Port B's hand-over waits in the owner's queue while port A closes: A's
// Close does not run it; the owner's loop does afterwards.
TEST(OwnerThreads, CloseServesOnlyItsOwnPortsHandOvers) {
    Watchdog watchdog("close among other work", 30s);
    OwnerLoop loop;
    FarEnd line_a, line_b;
    TComPort a, b;
    SetUpPort(a, line_a, AllComEvents, smThreadSync);
    SetUpPort(b, line_b, {evRxChar}, smThreadSync);
    bool closing_a = false;
    int b_inside_close = 0, b_calls = 0;
    b.OnRxChar = [&](TComponent*, int32_t Count) {
        ++b_calls;
        if (closing_a) ++b_inside_close;
        std::string text;
        b.ReadText(text, Count);
    };
    a.Open();
    b.Open();
    line_b.Write("for b");
    ASSERT_TRUE(loop.WaitForWake());   // b's hand-over is queued, not served
    closing_a = true;
    a.Close();
    closing_a = false;
    EXPECT_EQ(b_inside_close, 0);
    ASSERT_TRUE(loop.ServeUntil([&] { return b_calls > 0; }));
    b.Close();
}

}  // namespace
