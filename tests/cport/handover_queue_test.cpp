// The hand-over queue between worker threads and the owning thread, without
// any port: blocking and releasing behaviour, errors, withdrawal on stop.
#include "cport/comport.h"
#include "cport/main_thread_queue.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <poll.h>
#include <unistd.h>

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

namespace {

// The owning thread's side: the wake hook writes an eventfd the test sleeps on.
class OwnerLoop {
public:
    OwnerLoop() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        SetMainThreadWakeHook([this] {
            wakes_.fetch_add(1);
            const uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
        });
        SetApplicationErrorDisplay([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& error) {
                shown_.push_back(error.what());
            }
        });
    }
    ~OwnerLoop() {
        CheckSynchronize();
        SetMainThreadWakeHook(nullptr);
        SetApplicationErrorDisplay(nullptr);
        ::close(wake_);
    }
    // Sleeps until woken (or the time is up), then serves the queue.
    bool ServeOnce(std::chrono::milliseconds Limit = 5000ms) {
        pollfd p{wake_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(Limit.count())) <= 0) return false;
        uint64_t counter;
        [[maybe_unused]] auto n = ::read(wake_, &counter, sizeof counter);
        return CheckSynchronize();
    }
    // Sleeps until woken, without serving.
    bool WaitForWake(std::chrono::milliseconds Limit = 5000ms) {
        pollfd p{wake_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(Limit.count())) == 1;
    }
    int Wakes() const { return wakes_.load(); }
    const std::vector<std::string>& Shown() const { return shown_; }

private:
    int wake_;
    std::atomic<int> wakes_{0};
    std::vector<std::string> shown_;
};

}  // namespace

TEST(HandOverQueue, SendAndWaitRunsOnTheOwningThreadAndReturnsAfterTheTask) {
    OwnerLoop loop;
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
    ASSERT_TRUE(loop.ServeOnce());
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sender.get(), THandOverResult::Completed);
    EXPECT_EQ(ran_on, owner);
    EXPECT_EQ(loop.Wakes(), 1);
}

TEST(HandOverQueue, AnErrorOfTheTaskIsRaisedAgainInTheSenderOnly) {
    OwnerLoop loop;
    THandOverGate gate;
    auto sender = std::async(std::launch::async, [&] {
        try {
            SendAndWait([] { throw std::runtime_error("handler failed"); }, gate);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    });
    ASSERT_TRUE(loop.ServeOnce());
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sender.get(), "handler failed");
    EXPECT_TRUE(loop.Shown().empty());
}

TEST(HandOverQueue, ReleasedOnStartLetsTheSenderGoWhileTheTaskStillRuns) {
    OwnerLoop loop;
    THandOverGate gate;
    std::promise<void> sender_released;
    auto released = sender_released.get_future();
    bool saw_release_inside_task = false;
    std::thread sender([&] {
        SendReleasedOnStart(
            [&] { saw_release_inside_task = released.wait_for(5s) == std::future_status::ready; }, gate);
        sender_released.set_value();
    });
    ASSERT_TRUE(loop.ServeOnce());
    sender.join();
    EXPECT_TRUE(saw_release_inside_task);
}

TEST(HandOverQueue, ClosingTheGateWithdrawsAQueuedTaskAndLaterSends) {
    OwnerLoop loop;
    THandOverGate gate;
    std::atomic<bool> ran{false};
    auto sender = std::async(std::launch::async, [&] { return SendAndWait([&] { ran = true; }, gate); });
    ASSERT_TRUE(loop.WaitForWake());   // queued, not served
    ASSERT_EQ(loop.Wakes(), 1);
    gate.Close();
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sender.get(), THandOverResult::Withdrawn);
    EXPECT_FALSE(CheckSynchronize());   // the withdrawn task does not run
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(SendAndWait([&] { ran = true; }, gate), THandOverResult::Withdrawn);
    EXPECT_FALSE(CheckSynchronize());
    EXPECT_FALSE(ran.load());
}

TEST(HandOverQueue, ClosingTheGateReleasesTheSenderOfARunningTaskAndItsErrorIsShown) {
    OwnerLoop loop;
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
    ASSERT_TRUE(loop.ServeOnce());
    sender.join();
    EXPECT_EQ(result, THandOverResult::Abandoned);
    ASSERT_EQ(loop.Shown().size(), 1u);   // nobody waits for the error: the display gets it
    EXPECT_EQ(loop.Shown()[0], "after release");
}

TEST(HandOverQueue, CheckSynchronizeRunsOnlyTheTasksQueuedWhenItBegan) {
    OwnerLoop loop;
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

TEST(HandOverQueue, ServeUntilServesHandOversAndReturnsWhenWoken) {
    OwnerLoop loop;
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

TEST(HandOverQueue, APostedTaskThatFailsGoesToTheErrorDisplay) {
    OwnerLoop loop;
    Post([] { throw std::runtime_error("posted failure"); });
    EXPECT_TRUE(CheckSynchronize());
    ASSERT_EQ(loop.Shown().size(), 1u);
    EXPECT_EQ(loop.Shown()[0], "posted failure");
}

// Many senders at once against one owner, with the gates closed at random
// moments: every send ends, nothing runs after being withdrawn.
TEST(HandOverQueue, ConcurrentSendersAndStopsNeverHang) {
    OwnerLoop loop;
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
