// SPDX-License-Identifier: MIT
// Close against a running event thread, at every moment a test can arrange:
// with a hand-over queued and not served, with data streaming in, from a
// handler of the port itself. Close must end every time (the watchdog turns
// a hang into a failure), the thread must be gone afterwards, and nothing
// left in the queue may touch the destroyed port.
#include "event_test_support.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <memory>
#include <random>
#include <string>

using namespace cport;
using namespace event_test;

namespace {

void ReadAll(TComPort& Port, int32_t Count) {
    std::string text;
    Port.ReadText(text, Count);
}

}  // namespace

TEST(EventClose, CloseWithAHandOverPendingNeverHangs) {
    Watchdog watchdog("close with pending hand-over", 240s);
    OwnerLoop loop;
    FarEnd line;
    const int threads_before = ThreadCount();
    const TSyncMethod methods[] = {smThreadSync, smWindowSync};
    for (int round = 0; round < 1000; ++round) {
        auto port = std::make_unique<TComPort>();
        SetUpPort(*port, line, AllComEvents, methods[round % 2]);
        bool closed_seen_in_handler = false;
        port->OnRxChar = [&, p = port.get()](TComponent*, int32_t Count) {
            if (!p->Connected()) closed_seen_in_handler = true;
            ReadAll(*p, Count);
        };
        port->Open();
        line.Write("data");
        ASSERT_TRUE(loop.WaitForWake()) << "round " << round;   // queued, not served
        port->Close();
        EXPECT_FALSE(closed_seen_in_handler);
        EXPECT_TRUE(ThreadCountBecomes(threads_before)) << "round " << round;
        port.reset();
        CheckSynchronize();   // whatever is left refers to no freed memory (ASan)
    }
}

TEST(EventClose, CloseWhileDataStreamsInNeverHangs) {
    Watchdog watchdog("close while streaming", 240s);
    OwnerLoop loop;
    const int threads_before = ThreadCount() + 1;   // the writer thread below
    std::mt19937 random(12345);
    const TSyncMethod methods[] = {smThreadSync, smWindowSync, smNone};
    std::atomic<int> events{0};
    for (int round = 0; round < 1000; ++round) {
        FarEnd line;
        auto port = std::make_unique<TComPort>();
        SetUpPort(*port, line, AllComEvents, methods[round % 3]);
        port->OnRxChar = [&, p = port.get()](TComponent*, int32_t Count) {
            ++events;
            ReadAll(*p, Count);
        };
        port->Open();
        std::atomic<bool> stop_writing{false};
        std::thread writer([&] {
            // Once the port is closed nobody drains the line: the writer
            // then waits for room only briefly and looks at the stop flag.
            const std::string chunk(16, 'z');
            while (!stop_writing.load()) {
                if (::write(line.Master(), chunk.data(), chunk.size()) < 0) {
                    if (errno != EAGAIN) break;
                    pollfd room{line.Master(), POLLOUT, 0};
                    ::poll(&room, 1, 10);
                }
                std::this_thread::yield();
            }
        });
        // Serve a random number of rounds, then close in the middle of it.
        const int serve_rounds = static_cast<int>(random() % 4);
        for (int i = 0; i < serve_rounds; ++i) loop.ServeOnce(2ms);
        port->Close();
        EXPECT_TRUE(ThreadCountBecomes(threads_before)) << "round " << round;
        stop_writing = true;
        writer.join();
        port.reset();
        CheckSynchronize();
    }
    EXPECT_GT(events.load(), 0);
}

// A handler that closes its own port: under smThreadSync it runs on the
// owner while the event thread waits for it; under smNone it runs on the
// event thread itself, which cannot wait for its own end.
TEST(EventClose, AHandlerMayCloseItsOwnPort) {
    Watchdog watchdog("close from handler", 120s);
    OwnerLoop loop;
    const TSyncMethod methods[] = {smThreadSync, smWindowSync, smNone};
    const int threads_before = ThreadCount();
    for (int round = 0; round < 300; ++round) {
        FarEnd line;
        const TSyncMethod sync = methods[round % 3];
        TComPort port;
        SetUpPort(port, line, AllComEvents, sync);
        port.SetEventChar('\r');
        std::atomic<int> rx_calls{0}, flag_calls{0}, after_close{0};
        // Under smNone the handler runs on the event thread: the flag orders
        // its Close after the end of Open for the race detector (the bytes
        // that raise the event are written after Open in any case).
        std::atomic<bool> opened{false};
        port.OnRxChar = [&](TComponent*, int32_t) {
            EXPECT_TRUE(opened.load());
            ++rx_calls;
            port.Close();
        };
        port.OnRxFlag = [&](TComponent*) { ++flag_calls; };   // same set: skipped once closed
        port.OnAfterClose = [&](TComponent*) { ++after_close; };
        port.Open();
        opened = true;
        line.Write("x\r");
        ASSERT_TRUE(loop.ServeUntil([&] { return after_close.load() == 1; }, 5000ms))
            << "round " << round;
        EXPECT_EQ(rx_calls.load(), 1);
        EXPECT_EQ(flag_calls.load(), 0);
        EXPECT_FALSE(port.Connected());
        EXPECT_TRUE(ThreadCountBecomes(threads_before)) << "round " << round;
        // Reopening works after a close from a handler.
        port.OnRxChar = [&](TComponent*, int32_t Count) {
            ++rx_calls;
            ReadAll(port, Count);
        };
        port.Open();
        line.Write("y");
        ASSERT_TRUE(loop.ServeUntil([&] { return rx_calls.load() == 2; }, 5000ms)) << "round " << round;
        port.Close();
    }
}
