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

void ReadAll(TComPort& Port, int32_t Count)
{
    std::string Text;
    Port.ReadText(Text, Count);
}

}  // namespace

TEST(EventClose, CloseWithAHandOverPendingNeverHangs)
{
    Watchdog Watchdog("close with pending hand-over", 60s);
    OwnerLoop Loop;
    TLinePty Line;
    const int ThreadsBefore = ThreadCount();
    const TSyncMethod Methods[] = {smThreadSync, smWindowSync};
    for (int Round = 0; Round < 1000; ++Round) {
        auto Port = std::make_unique<TComPort>();
        SetUpPort(*Port, Line, AllComEvents, Methods[Round % 2]);
        bool ClosedSeenInHandler = false;
        Port->OnRxChar = [&, P = Port.get()](TComponent*, int32_t Count) {
            if (!P->Connected())
                ClosedSeenInHandler = true;
            ReadAll(*P, Count);
        };
        Port->Open();
        Line.Write("data");
        ASSERT_TRUE(Loop.WaitForWake()) << "round " << Round;  // queued, not served
        Port->Close();
        EXPECT_FALSE(ClosedSeenInHandler);
        EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore)) << "round " << Round;
        Port.reset();
        CheckSynchronize();  // whatever is left refers to no freed memory (ASan)
    }
}

TEST(EventClose, CloseWhileDataStreamsInNeverHangs)
{
    Watchdog Watchdog("close while streaming", 60s);
    OwnerLoop Loop;
    const int ThreadsBefore = ThreadCount() + 1;  // the writer thread below
    std::mt19937 Random(12345);
    const TSyncMethod Methods[] = {smThreadSync, smWindowSync, smNone};
    std::atomic<int> Events{0};
    for (int Round = 0; Round < 1000; ++Round) {
        TLinePty line;
        auto Port = std::make_unique<TComPort>();
        SetUpPort(*Port, line, AllComEvents, Methods[Round % 3]);
        Port->OnRxChar = [&, P = Port.get()](TComponent*, int32_t Count) {
            ++Events;
            ReadAll(*P, Count);
        };
        Port->Open();
        std::atomic<bool> StopWriting{false};
        std::thread Writer([&] {
            // Once the port is closed nobody drains the line: the writer
            // then waits for room only briefly and looks at the stop flag.
            const std::string Chunk(16, 'z');
            while (!StopWriting.load()) {
                if (::write(line.Master(), Chunk.data(), Chunk.size()) < 0) {
                    if (errno != EAGAIN)
                        break;
                    pollfd Room{line.Master(), POLLOUT, 0};
                    ::poll(&Room, 1, 10);
                }
                std::this_thread::yield();
            }
        });
        // Serve a random number of rounds, then close in the middle of it.
        const int ServeRounds = static_cast<int>(Random() % 4);
        for (int I = 0; I < ServeRounds; ++I)
            Loop.ServeOnce(2ms);
        Port->Close();
        EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore)) << "round " << Round;
        StopWriting = true;
        Writer.join();
        Port.reset();
        CheckSynchronize();
    }
    EXPECT_GT(Events.load(), 0);
}

// A handler that closes its own port: under smThreadSync it runs on the
// owner while the event thread waits for it; under smNone it runs on the
// event thread itself, which cannot wait for its own end.
TEST(EventClose, AHandlerMayCloseItsOwnPort)
{
    Watchdog Watchdog("close from handler", 60s);
    OwnerLoop Loop;
    const TSyncMethod Methods[] = {smThreadSync, smWindowSync, smNone};
    const int ThreadsBefore = ThreadCount();
    for (int Round = 0; Round < 300; ++Round) {
        TLinePty Line;
        const TSyncMethod Sync = Methods[Round % 3];
        TComPort Port;
        SetUpPort(Port, Line, AllComEvents, Sync);
        Port.SetEventChar('\r');
        std::atomic<int> rx_calls{0}, FlagCalls{0}, AfterClose{0};
        // Under smNone the handler runs on the event thread: the flag orders
        // its Close after the end of Open for the race detector (the bytes
        // that raise the event are written after Open in any case).
        std::atomic<bool> opened{false};
        Port.OnRxChar = [&](TComponent*, int32_t) {
            EXPECT_TRUE(opened.load());
            ++rx_calls;
            Port.Close();
        };
        Port.OnRxFlag = [&](TComponent*) { ++FlagCalls; };  // same set: skipped once closed
        Port.OnAfterClose = [&](TComponent*) { ++AfterClose; };
        Port.Open();
        opened = true;
        Line.Write("x\r");
        ASSERT_TRUE(Loop.ServeUntil([&] { return AfterClose.load() == 1; }, 5000ms)) << "round " << Round;
        EXPECT_EQ(rx_calls.load(), 1);
        EXPECT_EQ(FlagCalls.load(), 0);
        EXPECT_FALSE(Port.Connected());
        EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore)) << "round " << Round;
        // Reopening works after a close from a handler.
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            ++rx_calls;
            ReadAll(Port, Count);
        };
        Port.Open();
        Line.Write("y");
        ASSERT_TRUE(Loop.ServeUntil([&] { return rx_calls.load() == 2; }, 5000ms)) << "round " << Round;
        Port.Close();
    }
}
