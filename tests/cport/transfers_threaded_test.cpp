// SPDX-License-Identifier: MIT
// Transfers and the port's lifecycle with more than one thread: aborting
// waits from another thread, closing under a waiting read, the receive
// queue's watcher, and open/close with the event thread running.
#include "device_pty.h"

#include "cport/receive_queue.h"

#include <fcntl.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using namespace cport;
using namespace device_test;

class ThreadedTransfers : public PortOnPty {
protected:
    void SetUp() override {
        PortOnPty::SetUp();
        port.Open();
    }
};

// Runs Transfer on a thread of its own once a request has been issued
// there, and returns how long its wait took and what it returned.
struct WaitOutcome {
    int32_t result = -1;
    long waited_ms = -1;
};

TEST_F(ThreadedTransfers, AbortFromAnotherThreadEndsAPendingReadAtOnce) {
    WaitingReads(port, 10000);
    std::promise<void> issued;
    WaitOutcome outcome;
    std::thread reader([&] {
        TOwnedRequest request;
        char buffer[8];
        port.ReadBytesAsync(buffer, 8, request);
        issued.set_value();
        const auto start = Clock::now();
        outcome.result = port.WaitAsyncRequest(request);
        outcome.waited_ms = Milliseconds(Clock::now() - start);
    });
    issued.get_future().wait();
    std::this_thread::sleep_for(50ms);   // let the wait reach poll (the outcome is the same if not)
    const auto start = Clock::now();
    port.AbortPendingIO();
    reader.join();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);
    EXPECT_TRUE(port.Connected());
}

TEST_F(ThreadedTransfers, AbortEndsABlockedWriteWithItsShortCount) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(0);   // no limit: only the abort ends it
    const std::vector<char> big(1 << 20, 'w');
    std::atomic<int32_t> written{-1};
    std::thread writer([&] { written = port.WriteBytes(big.data(), static_cast<int32_t>(big.size())); });
    std::this_thread::sleep_for(100ms);
    port.AbortPendingIO();
    writer.join();
    EXPECT_GT(written.load(), 0);
    EXPECT_LT(written.load(), static_cast<int32_t>(big.size()));
    EXPECT_EQ(pty.Drain().size(), static_cast<size_t>(written.load()));
}

TEST_F(ThreadedTransfers, AbortEndsTheWaitsOfSeveralThreadsAndSparesLaterOnes) {
    WaitingReads(port, 10000);
    std::atomic<int> ended{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            char buffer[4];
            port.ReadBytes(buffer, 4);
            ++ended;
        });
    }
    std::this_thread::sleep_for(100ms);
    port.AbortPendingIO();
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(ended.load(), 3);

    // A read that starts after the abort waits for its bytes as usual.
    std::thread late([&] {
        std::string text;
        EXPECT_EQ(port.ReadText(text, 3), 3);
        EXPECT_EQ(text, "new");
    });
    std::this_thread::sleep_for(50ms);
    pty.Write("new");
    late.join();
}

TEST_F(ThreadedTransfers, ReadWaitingOnAnotherThreadGetsBytesInOrder) {
    WaitingReads(port, 5000);
    std::string sent;
    for (int i = 0; i < 20000; ++i) sent.push_back(static_cast<char>(i % 256));
    std::string got;
    std::thread reader([&] {
        std::string text;
        while (got.size() < sent.size()) {
            const int32_t n = port.ReadText(text, static_cast<int32_t>(sent.size() - got.size()));
            if (n == 0) break;
            got += text;
        }
    });
    for (size_t at = 0; at < sent.size(); at += 1000) pty.Write(sent.substr(at, 1000));
    reader.join();
    EXPECT_EQ(got, sent);
}

TEST_F(ThreadedTransfers, CloseEndsAReadWaitingOnAnotherThread) {
    WaitingReads(port, 10000);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        char buffer[4];
        try {
            port.ReadBytes(buffer, 4);
        } catch (const EComPort&) {
        }
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    port.Close();
    reader.join();
    EXPECT_TRUE(done.load());
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);
}

TEST(ReceiveQueueWatcher, AdditionsByOtherThreadsReachTheWatcherOnce) {
    TReceiveQueue queue;
    ASSERT_EQ(queue.Init(), 0);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    TReceiveOptions options;
    options.EventChar = '!';
    queue.SetOptions(options);
    queue.SetWatcher(std::this_thread::get_id());

    std::thread other([&] {
        ASSERT_EQ(::write(fds[1], "ab!", 3), 3);
        queue.FillFrom(fds[0]);                       // a reading call on another thread
        queue.InjectForTest("c", 1, {leFrame});     // simulated input
    });
    other.join();
    pollfd notify{queue.NotifyFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&notify, 1, 0), 1);

    ASSERT_EQ(::write(fds[1], "d", 1), 1);
    TFillResult r = queue.FillFrom(fds[0]);   // the watcher's own read
    EXPECT_EQ(r.Added, 5u);
    EXPECT_TRUE(r.EventChar);
    EXPECT_EQ(r.Errors, (TComErrors{leFrame}));
    r = queue.FillFrom(fds[0]);
    EXPECT_EQ(r.Added, 0u);
    EXPECT_TRUE(r.Errors.Empty());
    EXPECT_EQ(queue.Count(), 5u);
    ::close(fds[0]);
    ::close(fds[1]);
}

// With the default Events the port runs its event thread: the handler order
// is the same, and received bytes reach OnRxChar on the owning thread.
TEST(PortWithEventThread, OpenCloseOrderAndReceptionThroughOnRxChar) {
    PtyPair pty;
    HandlerLog log;
    std::string received;
    TComPort port;
    port.SetPort(pty.SlavePath());
    log.Attach(port);
    port.OnRxChar = [&](TComponent*, int32_t Count) {
        std::string text;
        port.ReadText(text, Count);
        received += text;
    };
    port.Open();
    EXPECT_EQ(log.calls, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS off", "DSR off", "RLSD off"}));

    pty.Write("*00R\r");
    const auto deadline = Clock::now() + 3s;
    while (received.size() < 5 && Clock::now() < deadline) {
        if (!CheckSynchronize()) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(received, "*00R\r");
    EXPECT_EQ(port.WriteBytes("ok", 2), 2);
    EXPECT_EQ(pty.Read(2), "ok");

    log.calls.clear();
    port.Close();
    EXPECT_EQ(log.calls, (std::vector<std::string>{"CTS off", "DSR off", "RLSD off", "BeforeClose", "AfterClose"}));
}
