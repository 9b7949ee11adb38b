// SPDX-License-Identifier: MIT
// The hand-over queue between worker threads and the owning thread, without
// any port: blocking and releasing behaviour, errors, withdrawal on stop.
#include "cport/comport.h"
#include "cport/main_thread_queue.h"
#include "event_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace cport;
using namespace cport::main_thread;
using namespace std::chrono_literals;

// The owning thread's loop and the error display's record: the queue's
// wake hook and error display are process-wide, so each test installs both.
class HandOverQueue : public ::testing::Test {
protected:
    std::vector<std::string> Shown() const { return Errors_.Shown(); }

    event_test::ErrorRecorder Errors_;
    event_test::OwnerLoop Loop_;  // serves what is left before the recorder goes
};

TEST_F(HandOverQueue, SendAndWaitRunsOnTheOwningThreadAndReturnsAfterTheTask)
{
    const auto Owner = std::this_thread::get_id();
    std::thread::id ran_on;
    std::atomic<bool> TaskEnded{false};
    THandOverGate gate;
    auto Sender = std::async(std::launch::async, [&] {
        auto Result = SendAndWait(
            [&] {
                ran_on = std::this_thread::get_id();
                TaskEnded = true;
            },
            gate);
        // Released only after the task's end.
        EXPECT_TRUE(TaskEnded.load());
        return Result;
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    ASSERT_EQ(Sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(Sender.get(), THandOverResult::Completed);
    EXPECT_EQ(ran_on, Owner);
    EXPECT_EQ(Loop_.Wakes(), 1);
}

TEST_F(HandOverQueue, AnErrorOfTheTaskIsRaisedAgainInTheSenderOnly)
{
    THandOverGate Gate;
    auto Sender = std::async(std::launch::async, [&] {
        try {
            SendAndWait([] { throw std::runtime_error("handler failed"); }, Gate);
        } catch (const std::runtime_error& E) {
            return std::string(E.what());
        }
        return std::string("no error");
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    ASSERT_EQ(Sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(Sender.get(), "handler failed");
    EXPECT_TRUE(Shown().empty());
}

TEST_F(HandOverQueue, ReleasedOnStartLetsTheSenderGoWhileTheTaskStillRuns)
{
    THandOverGate gate;
    std::promise<void> sender_released;
    auto released = sender_released.get_future();
    bool SawReleaseInsideTask = false;
    std::thread Sender([&] {
        SendReleasedOnStart([&] { SawReleaseInsideTask = released.wait_for(5s) == std::future_status::ready; }, gate);
        sender_released.set_value();
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    Sender.join();
    EXPECT_TRUE(SawReleaseInsideTask);
}

TEST_F(HandOverQueue, ClosingTheGateWithdrawsAQueuedTaskAndLaterSends)
{
    THandOverGate gate;
    std::atomic<bool> Ran{false};
    auto Sender = std::async(std::launch::async, [&] { return SendAndWait([&] { Ran = true; }, gate); });
    ASSERT_TRUE(Loop_.WaitForWake());  // queued, not served
    ASSERT_EQ(Loop_.Wakes(), 1);
    gate.Close();
    ASSERT_EQ(Sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(Sender.get(), THandOverResult::Withdrawn);
    EXPECT_FALSE(CheckSynchronize());  // the withdrawn task does not run
    EXPECT_FALSE(Ran.load());
    EXPECT_EQ(SendAndWait([&] { Ran = true; }, gate), THandOverResult::Withdrawn);
    EXPECT_FALSE(CheckSynchronize());
    EXPECT_FALSE(Ran.load());
}

TEST_F(HandOverQueue, ClosingTheGateReleasesTheSenderOfARunningTaskAndItsErrorIsShown)
{
    THandOverGate gate;
    std::promise<void> SenderDone;
    auto done = SenderDone.get_future();
    THandOverResult result{};
    std::thread Sender([&] {
        result = SendAndWait(
            [&] {
                gate.Close();  // the stop request arrives while the task runs
                const bool Released = done.wait_for(5s) == std::future_status::ready;
                throw std::runtime_error(Released ? "after release" : "sender still blocked");
            },
            gate);
        SenderDone.set_value();
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    Sender.join();
    EXPECT_EQ(result, THandOverResult::Abandoned);
    ASSERT_EQ(Shown().size(), 1u);  // nobody waits for the error: the display gets it
    EXPECT_EQ(Shown()[0], "after release");
}

TEST_F(HandOverQueue, CheckSynchronizeRunsOnlyTheTasksQueuedWhenItBegan)
{
    int runs = 0;
    bool again = true;
    std::function<void()> Requeue = [&] {
        ++runs;
        if (again)
            Post(Requeue);  // a task that queues another one
    };
    Post(Requeue);
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(runs, 2);
    again = false;
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(runs, 3);
    EXPECT_FALSE(CheckSynchronize());
}

TEST_F(HandOverQueue, ServeUntilServesHandOversAndReturnsWhenWoken)
{
    THandOverGate gate;
    std::atomic<bool> WorkerFinished{false};
    int served = 0;
    std::thread Worker([&] {
        for (int I = 0; I < 100; ++I)
            SendAndWait([&] { ++served; }, gate);
        WorkerFinished = true;
        WakeServers();
    });
    ServeUntil([&] { return WorkerFinished.load(); });
    Worker.join();
    EXPECT_EQ(served, 100);
}

TEST_F(HandOverQueue, APostedTaskThatFailsGoesToTheErrorDisplay)
{
    Post([] { throw std::runtime_error("posted failure"); });
    EXPECT_TRUE(CheckSynchronize());
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0], "posted failure");
}

// Many senders at once against one owner, with the gates closed at random
// moments: every send ends, nothing runs after being withdrawn.
TEST_F(HandOverQueue, ConcurrentSendersAndStopsNeverHang)
{
    for (int round = 0; round < 200; ++round) {
        THandOverGate gates[4];
        std::atomic<int> Finished{0};
        std::atomic<int> ran{0};
        std::vector<std::thread> Senders;
        for (auto& gate : gates) {
            Senders.emplace_back([&] {
                for (int I = 0; I < 20; ++I) {
                    if (SendAndWait([&] { ++ran; }, gate) == THandOverResult::Withdrawn)
                        break;
                    SendReleasedOnStart([&] { ++ran; }, gate);
                }
                ++Finished;
                WakeServers();
            });
        }
        int closed = 0;
        ServeUntil([&] {
            if (closed < 4 && ran.load() > round % 40)
                gates[closed++].Close();
            return Finished.load() == 4;
        });
        for (auto& T : Senders)
            T.join();
        const int RanBefore = ran.load();
        CheckSynchronize();
        EXPECT_EQ(ran.load(), RanBefore) << "a withdrawn task ran";
    }
}
