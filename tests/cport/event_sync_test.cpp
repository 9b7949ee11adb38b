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
    std::vector<std::string> Order;
    std::vector<std::thread::id> Threads;
    bool WakeWhileInRxChar = false;
    int WakesAtRxChar = -1;
};

void Watch(TComPort& Port, OwnerLoop& Loop, Observed& Seen, std::chrono::milliseconds LookFor)
{
    Port.SetEventChar('\r');
    Port.OnRxChar = [&, LookFor](TComponent*, int32_t Count) {
        Seen.Threads.push_back(std::this_thread::get_id());
        std::string Text;
        Port.ReadText(Text, Count);
        Seen.Order.push_back("rx:" + Text);
        Seen.WakesAtRxChar = Loop.Wakes();
        // Is a second hand-over queued before this handler ends? (The first
        // one is the hand-over that runs this handler.)
        const auto End = Clock::now() + LookFor;
        while (Clock::now() < End && Loop.Wakes() < 2)
            std::this_thread::sleep_for(1ms);
        Seen.WakeWhileInRxChar = Loop.Wakes() >= 2;
    };
    Port.OnRxFlag = [&](TComponent*) {
        Seen.Threads.push_back(std::this_thread::get_id());
        Seen.Order.push_back("flag");
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
TEST_P(EventHandOver, HandlersRunOnTheOwnerWithTheirHandOvers)
{
    const THandOverCase& Case = GetParam();
    for (int Round = 0; Round < 10; ++Round) {
        TEventRig Rig(AllComEvents, Case.Sync);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        Observed seen;
        Watch(Port, Loop, seen, Case.LookFor);
        Port.Open();
        Line.Write("x\r");
        ASSERT_TRUE(Loop.ServeUntil([&] { return seen.Order.size() == 2; }));
        EXPECT_EQ(seen.Order, (std::vector<std::string>{"rx:x\r", "flag"}));
        EXPECT_EQ(seen.WakeWhileInRxChar, Case.WakeWhileInRxChar);
        EXPECT_EQ(Loop.Wakes(), Case.Wakes);
        for (auto Id : seen.Threads)
            EXPECT_EQ(Id, std::this_thread::get_id());
        Port.Close();
    }
}

INSTANTIATE_TEST_SUITE_P(BothHandOvers, EventHandOver,
                         ::testing::Values(THandOverCase{"ThreadSync", smThreadSync, 150ms, false, 1},
                                           THandOverCase{"WindowSync", smWindowSync, 5000ms, true, 2}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(EventSync, NoneRunsTheHandlersOnTheEventThreadWithoutHandOver)
{
    for (int Round = 0; Round < 10; ++Round) {
        TEventRig Rig(AllComEvents, smNone);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        std::mutex mutex;
        std::vector<std::string> order;
        std::vector<std::thread::id> Threads;
        Port.SetEventChar('\r');
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string Text;
            Port.ReadText(Text, Count);
            std::lock_guard Lock(mutex);
            Threads.push_back(std::this_thread::get_id());
            order.push_back("rx:" + Text);
        };
        Port.OnRxFlag = [&](TComponent*) {
            std::lock_guard Lock(mutex);
            Threads.push_back(std::this_thread::get_id());
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
        Port.Close();  // joins the event thread: its writes are visible now
        EXPECT_EQ(order, (std::vector<std::string>{"rx:x\r", "flag"}));
        ASSERT_EQ(Threads.size(), 2u);
        EXPECT_NE(Threads[0], std::this_thread::get_id());
        EXPECT_EQ(Threads[0], Threads[1]);
        EXPECT_EQ(Loop.Wakes(), 0);
    }
}

// Under smWindowSync a message that reaches the receiver after the port has
// stopped being Connected is dropped; Close runs its events in order and
// the messages already started complete first.
TEST_F(EventSync, WindowSyncMessagesDuringCloseAreDeliveredBeforeOnAfterClose)
{
    for (int Round = 0; Round < 50; ++Round) {
        TEventRig Rig(AllComEvents, smWindowSync);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        std::vector<std::string> Order;
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string Text;
            Port.ReadText(Text, Count);
            Order.push_back(Port.Connected() ? "rx" : "rx while closed");
        };
        Port.OnBeforeClose = [&](TComponent*) { Order.push_back("before close"); };
        Port.OnAfterClose = [&](TComponent*) { Order.push_back("after close"); };
        Port.Open();
        Line.Write("abc");
        ASSERT_TRUE(Loop.WaitForWake());  // a message is queued, not yet served
        Port.Close();
        Loop.ServeFor(20ms);  // anything left over is dropped
        ASSERT_GE(Order.size(), 2u);
        EXPECT_EQ(Order.back(), "after close");
        for (const auto& Step : Order)
            EXPECT_NE(Step, "rx while closed");
    }
}
