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
    event_test::OwnerLoop Loop_;   // serves what is left before the recorder goes
};

TEST_F(HandOverQueue, SendAndWaitRunsOnTheOwningThreadAndReturnsAfterTheTask) {
    const auto owner = std::this_thread::get_id();
    std::thread::id ran_on;
    std::atomic<bool> task_ended{false};
    THandOverGate gate;
    auto sender = std::async(std::launch::async, [&] {
        auto result = SendAndWait([&] { ran_on = std::this_thread::get_id(); task_ended = true; }, gate);
        // Released only after the task's end.
        EXPECT_TRUE(task_ended.load());
        return result;
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sender.get(), THandOverResult::Completed);
    EXPECT_EQ(ran_on, owner);
    EXPECT_EQ(Loop_.Wakes(), 1);
}

TEST_F(HandOverQueue, AnErrorOfTheTaskIsRaisedAgainInTheSenderOnly) {
    THandOverGate gate;
    auto sender = std::async(std::launch::async, [&] {
        try {
            SendAndWait([] { throw std::runtime_error("handler failed"); }, gate);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sender.get(), "handler failed");
    EXPECT_TRUE(Shown().empty());
}

TEST_F(HandOverQueue, ReleasedOnStartLetsTheSenderGoWhileTheTaskStillRuns) {
    THandOverGate gate;
    std::promise<void> sender_released;
    auto released = sender_released.get_future();
    bool saw_release_inside_task = false;
    std::thread sender([&] {
        SendReleasedOnStart(
            [&] { saw_release_inside_task = released.wait_for(5s) == std::future_status::ready; }, gate);
        sender_released.set_value();
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    sender.join();
    EXPECT_TRUE(saw_release_inside_task);
}

TEST_F(HandOverQueue, ClosingTheGateWithdrawsAQueuedTaskAndLaterSends) {
    THandOverGate gate;
    std::atomic<bool> ran{false};
    auto sender = std::async(std::launch::async, [&] { return SendAndWait([&] { ran = true; }, gate); });
    ASSERT_TRUE(Loop_.WaitForWake());   // queued, not served
    ASSERT_EQ(Loop_.Wakes(), 1);
    gate.Close();
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sender.get(), THandOverResult::Withdrawn);
    EXPECT_FALSE(CheckSynchronize());   // the withdrawn task does not run
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(SendAndWait([&] { ran = true; }, gate), THandOverResult::Withdrawn);
    EXPECT_FALSE(CheckSynchronize());
    EXPECT_FALSE(ran.load());
}

TEST_F(HandOverQueue, ClosingTheGateReleasesTheSenderOfARunningTaskAndItsErrorIsShown) {
    THandOverGate gate;
    std::promise<void> sender_done;
    auto done = sender_done.get_future();
    THandOverResult result{};
    std::thread sender([&] {
        result = SendAndWait(
            [&] {
                gate.Close();   // the stop request arrives while the task runs
                const bool released = done.wait_for(5s) == std::future_status::ready;
                throw std::runtime_error(released ? "after release" : "sender still blocked");
            },
            gate);
        sender_done.set_value();
    });
    ASSERT_TRUE(Loop_.ServeOnce());
    sender.join();
    EXPECT_EQ(result, THandOverResult::Abandoned);
    ASSERT_EQ(Shown().size(), 1u);   // nobody waits for the error: the display gets it
    EXPECT_EQ(Shown()[0], "after release");
}

TEST_F(HandOverQueue, CheckSynchronizeRunsOnlyTheTasksQueuedWhenItBegan) {
    int runs = 0;
    bool again = true;
    std::function<void()> requeue = [&] {
        ++runs;
        if (again) Post(requeue);   // a task that queues another one
    };
    Post(requeue);
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(runs, 2);
    again = false;
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(runs, 3);
    EXPECT_FALSE(CheckSynchronize());
}

TEST_F(HandOverQueue, ServeUntilServesHandOversAndReturnsWhenWoken) {
    THandOverGate gate;
    std::atomic<bool> worker_finished{false};
    int served = 0;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) SendAndWait([&] { ++served; }, gate);
        worker_finished = true;
        WakeServers();
    });
    ServeUntil([&] { return worker_finished.load(); });
    worker.join();
    EXPECT_EQ(served, 100);
}

TEST_F(HandOverQueue, APostedTaskThatFailsGoesToTheErrorDisplay) {
    Post([] { throw std::runtime_error("posted failure"); });
    EXPECT_TRUE(CheckSynchronize());
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0], "posted failure");
}

// Many senders at once against one owner, with the gates closed at random
// moments: every send ends, nothing runs after being withdrawn.
TEST_F(HandOverQueue, ConcurrentSendersAndStopsNeverHang) {
    for (int round = 0; round < 200; ++round) {
        THandOverGate gates[4];
        std::atomic<int> finished{0};
        std::atomic<int> ran{0};
        std::vector<std::thread> senders;
        for (auto& gate : gates) {
            senders.emplace_back([&] {
                for (int i = 0; i < 20; ++i) {
                    if (SendAndWait([&] { ++ran; }, gate) == THandOverResult::Withdrawn) break;
                    SendReleasedOnStart([&] { ++ran; }, gate);
                }
                ++finished;
                WakeServers();
            });
        }
        int closed = 0;
        ServeUntil([&] {
            if (closed < 4 && ran.load() > round % 40) gates[closed++].Close();
            return finished.load() == 4;
        });
        for (auto& t : senders) t.join();
        const int ran_before = ran.load();
        CheckSynchronize();
        EXPECT_EQ(ran.load(), ran_before) << "a withdrawn task ran";
    }
}
