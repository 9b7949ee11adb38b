// SPDX-License-Identifier: MIT
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

class EventSync : public EventTest {};

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

// The two hand-overs to the owner: how long OnRxChar looks for a second
// hand-over, whether one comes meanwhile, and the wakes of the whole set.
struct THandOverCase {
    const char* Name;
    TSyncMethod Sync;
    std::chrono::milliseconds LookFor;
    bool WakeWhileInRxChar;
    int Wakes;
};

class EventHandOver : public EventTest, public ::testing::WithParamInterface<THandOverCase> {};

// smThreadSync: the whole set runs on the owner while the event thread waits
// (one hand-over); smWindowSync: one message per event, the sender released
// at the start of each (the second message comes meanwhile).
TEST_P(EventHandOver, HandlersRunOnTheOwnerWithTheirHandOvers) {
    const THandOverCase& Case = GetParam();
    for (int round = 0; round < 10; ++round) {
        TEventRig Rig(AllComEvents, Case.Sync);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        Observed seen;
        Watch(Port, Loop, seen, Case.LookFor);
        Port.Open();
        Line.Write("x\r");
        ASSERT_TRUE(Loop.ServeUntil([&] { return seen.order.size() == 2; }));
        EXPECT_EQ(seen.order, (std::vector<std::string>{"rx:x\r", "flag"}));
        EXPECT_EQ(seen.wake_while_in_rx_char, Case.WakeWhileInRxChar);
        EXPECT_EQ(Loop.Wakes(), Case.Wakes);
        for (auto id : seen.threads) EXPECT_EQ(id, std::this_thread::get_id());
        Port.Close();
    }
}

INSTANTIATE_TEST_SUITE_P(BothHandOvers, EventHandOver,
                         ::testing::Values(THandOverCase{"ThreadSync", smThreadSync, 150ms, false, 1},
                                           THandOverCase{"WindowSync", smWindowSync, 5000ms, true, 2}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(EventSync, NoneRunsTheHandlersOnTheEventThreadWithoutHandOver) {
    for (int round = 0; round < 10; ++round) {
        TEventRig Rig(AllComEvents, smNone);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        std::mutex mutex;
        std::vector<std::string> order;
        std::vector<std::thread::id> threads;
        Port.SetEventChar('\r');
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string text;
            Port.ReadText(text, Count);
            std::lock_guard lock(mutex);
            threads.push_back(std::this_thread::get_id());
            order.push_back("rx:" + text);
        };
        Port.OnRxFlag = [&](TComponent*) {
            std::lock_guard lock(mutex);
            threads.push_back(std::this_thread::get_id());
            order.push_back("flag");
        };
        Port.Open();
        Line.Write("x\r");
        ASSERT_TRUE(Loop.ServeUntil(
            [&] {
                std::lock_guard lock(mutex);
                return order.size() == 2;
            },
            5000ms));
        Port.Close();   // joins the event thread: its writes are visible now
        EXPECT_EQ(order, (std::vector<std::string>{"rx:x\r", "flag"}));
        ASSERT_EQ(threads.size(), 2u);
        EXPECT_NE(threads[0], std::this_thread::get_id());
        EXPECT_EQ(threads[0], threads[1]);
        EXPECT_EQ(Loop.Wakes(), 0);
    }
}

// Under smWindowSync a message that reaches the receiver after the port has
// stopped being Connected is dropped; Close runs its events in order and
// the messages already started complete first.
TEST_F(EventSync, WindowSyncMessagesDuringCloseAreDeliveredBeforeOnAfterClose) {
    for (int round = 0; round < 50; ++round) {
        TEventRig Rig(AllComEvents, smWindowSync);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        std::vector<std::string> order;
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string text;
            Port.ReadText(text, Count);
            order.push_back(Port.Connected() ? "rx" : "rx while closed");
        };
        Port.OnBeforeClose = [&](TComponent*) { order.push_back("before close"); };
        Port.OnAfterClose = [&](TComponent*) { order.push_back("after close"); };
        Port.Open();
        Line.Write("abc");
        ASSERT_TRUE(Loop.WaitForWake());   // a message is queued, not yet served
        Port.Close();
        Loop.ServeFor(20ms);   // anything left over is dropped
        ASSERT_GE(order.size(), 2u);
        EXPECT_EQ(order.back(), "after close");
        for (const auto& step : order) EXPECT_NE(step, "rx while closed");
    }
}
