// The three hand-over methods: where the handlers run and when the event
// thread is released.
//
// One arrival of "x\r" with EventChar '\r' is one event set {evRxChar,
// evRxFlag}; OnRxChar runs first. Inside it the test looks for a further
// hand-over being queued (a wake of the owner loop):
//   smThreadSync: none comes while the handler runs (the event thread waits
//                 for the whole set); OnRxFlag follows in the same round;
//   smWindowSync: the OnRxFlag message is queued while OnRxChar still runs
//                 (the sender was released when the receiver started);
//   smNone:       the handlers run on the event thread and nothing is queued.
#include "event_test_support.h"

#include <string>
#include <vector>

using namespace cport;
using namespace event_test;

namespace {

struct Observed {
    std::vector<std::string> order;
    std::vector<std::thread::id> threads;
    bool wake_while_in_rx_char = false;
    int wakes_at_rx_char = -1;
};

void Watch(TComPort& Port, OwnerLoop& Loop, Observed& Seen, std::chrono::milliseconds LookFor) {
    Port.SetEventChar('\r');
    Port.OnRxChar = [&, LookFor](TComponent*, int32_t Count) {
        Seen.threads.push_back(std::this_thread::get_id());
        std::string text;
        Port.ReadText(text, Count);
        Seen.order.push_back("rx:" + text);
        Seen.wakes_at_rx_char = Loop.Wakes();
        // Is a second hand-over queued before this handler ends? (The first
        // one is the hand-over that runs this handler.)
        const auto end = Clock::now() + LookFor;
        while (Clock::now() < end && Loop.Wakes() < 2) std::this_thread::sleep_for(1ms);
        Seen.wake_while_in_rx_char = Loop.Wakes() >= 2;
    };
    Port.OnRxFlag = [&](TComponent*) {
        Seen.threads.push_back(std::this_thread::get_id());
        Seen.order.push_back("flag");
    };
}

}  // namespace

TEST(EventSync, ThreadSyncRunsTheWholeSetOnTheOwnerWhileTheEventThreadWaits) {
    Watchdog watchdog("thread sync", 60s);
    for (int round = 0; round < 10; ++round) {
        FarEnd line;
        OwnerLoop loop;
        TComPort port;
        SetUpPort(port, line, AllComEvents, smThreadSync);
        Observed seen;
        Watch(port, loop, seen, 150ms);
        port.Open();
        line.Write("x\r");
        ASSERT_TRUE(loop.ServeUntil([&] { return seen.order.size() == 2; }));
        EXPECT_EQ(seen.order, (std::vector<std::string>{"rx:x\r", "flag"}));
        EXPECT_FALSE(seen.wake_while_in_rx_char);
        EXPECT_EQ(loop.Wakes(), 1);   // one hand-over for the whole set
        for (auto id : seen.threads) EXPECT_EQ(id, std::this_thread::get_id());
        port.Close();
    }
}

TEST(EventSync, WindowSyncSendsOneMessagePerEventAndReleasesTheSenderAtTheStart) {
    Watchdog watchdog("window sync", 60s);
    for (int round = 0; round < 10; ++round) {
        FarEnd line;
        OwnerLoop loop;
        TComPort port;
        SetUpPort(port, line, AllComEvents, smWindowSync);
        Observed seen;
        Watch(port, loop, seen, 5000ms);
        port.Open();
        line.Write("x\r");
        ASSERT_TRUE(loop.ServeUntil([&] { return seen.order.size() == 2; }));
        EXPECT_EQ(seen.order, (std::vector<std::string>{"rx:x\r", "flag"}));
        EXPECT_TRUE(seen.wake_while_in_rx_char);   // the second message came meanwhile
        EXPECT_EQ(loop.Wakes(), 2);
        for (auto id : seen.threads) EXPECT_EQ(id, std::this_thread::get_id());
        port.Close();
    }
}

TEST(EventSync, NoneRunsTheHandlersOnTheEventThreadWithoutHandOver) {
    Watchdog watchdog("no sync", 60s);
    for (int round = 0; round < 10; ++round) {
        FarEnd line;
        OwnerLoop loop;
        TComPort port;
        SetUpPort(port, line, AllComEvents, smNone);
        std::mutex mutex;
        std::vector<std::string> order;
        std::vector<std::thread::id> threads;
        port.SetEventChar('\r');
        port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string text;
            port.ReadText(text, Count);
            std::lock_guard lock(mutex);
            threads.push_back(std::this_thread::get_id());
            order.push_back("rx:" + text);
        };
        port.OnRxFlag = [&](TComponent*) {
            std::lock_guard lock(mutex);
            threads.push_back(std::this_thread::get_id());
            order.push_back("flag");
        };
        port.Open();
        line.Write("x\r");
        ASSERT_TRUE(loop.ServeUntil(
            [&] {
                std::lock_guard lock(mutex);
                return order.size() == 2;
            },
            5000ms));
        port.Close();   // joins the event thread: its writes are visible now
        EXPECT_EQ(order, (std::vector<std::string>{"rx:x\r", "flag"}));
        ASSERT_EQ(threads.size(), 2u);
        EXPECT_NE(threads[0], std::this_thread::get_id());
        EXPECT_EQ(threads[0], threads[1]);
        EXPECT_EQ(loop.Wakes(), 0);
    }
}

// Under smWindowSync a message that reaches the receiver after the port has
// stopped being Connected is dropped; Close runs its events in order and
// the messages already started complete first.
TEST(EventSync, WindowSyncMessagesDuringCloseAreDeliveredBeforeOnAfterClose) {
    Watchdog watchdog("window sync close", 60s);
    for (int round = 0; round < 50; ++round) {
        FarEnd line;
        OwnerLoop loop;
        TComPort port;
        SetUpPort(port, line, AllComEvents, smWindowSync);
        std::vector<std::string> order;
        port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string text;
            port.ReadText(text, Count);
            order.push_back(port.Connected() ? "rx" : "rx while closed");
        };
        port.OnBeforeClose = [&](TComponent*) { order.push_back("before close"); };
        port.OnAfterClose = [&](TComponent*) { order.push_back("after close"); };
        port.Open();
        line.Write("abc");
        ASSERT_TRUE(loop.WaitForWake());   // a message is queued, not yet served
        port.Close();
        loop.ServeFor(20ms);   // anything left over is dropped
        ASSERT_GE(order.size(), 2u);
        EXPECT_EQ(order.back(), "after close");
        for (const auto& step : order) EXPECT_NE(step, "rx while closed");
    }
}
