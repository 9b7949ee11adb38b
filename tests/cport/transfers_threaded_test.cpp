// SPDX-License-Identifier: MIT
// Transfers and the port's lifecycle with more than one thread: aborting
// waits from another thread, closing under a waiting read, the receive
// queue's watcher, and open/close with the event thread running.
#include "device_pty.h"

#include "cport/receive_queue.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <future>
#include <latch>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

using namespace cport;
using namespace device_test;

class ThreadedTransfers : public PortOnPty {
protected:
    void SetUp() override
    {
        PortOnPty::SetUp();
        Port_.Open();
    }
};

// A transfer limit far beyond TestBound: a wait that an abort should end
// and did not is told apart from one the abort ended, and still ends.
constexpr int32_t LongLimitMs = 60000;
// How long an abort may take to end the waits, on a loaded machine too.
constexpr auto TestBound = 10s;

// Whether the far end of the line has bytes to read within Limit.
bool FarEndHasBytes(const TPtyPair& Pty, std::chrono::milliseconds Limit)
{
    pollfd Ready{Pty.Master(), POLLIN, 0};
    return ::poll(&Ready, 1, static_cast<int>(Limit.count())) == 1 && (Ready.revents & POLLIN) != 0;
}

// What a transfer's wait returned and how long it took.
struct WaitOutcome {
    int32_t Result = -1;
    long WaitedMs = -1;
};

TEST_F(ThreadedTransfers, AbortFromAnotherThreadEndsAPendingReadAtOnce)
{
    WaitingReads(Port_, LongLimitMs);
    std::promise<void> issued;
    WaitOutcome outcome;
    std::thread Reader([&] {
        TOwnedRequest Request;
        char Buffer[8];
        Port_.ReadBytesAsync(Buffer, 8, Request);
        issued.set_value();
        const auto Start = Clock::now();
        outcome.Result = Port_.WaitAsyncRequest(Request);
        outcome.WaitedMs = Milliseconds(Clock::now() - Start);
    });
    issued.get_future().wait();
    std::this_thread::sleep_for(50ms);  // let the wait reach poll (the outcome is the same if not)
    const auto Start = Clock::now();
    Port_.AbortPendingIO();
    Reader.join();
    EXPECT_EQ(outcome.Result, 0);
    EXPECT_LT(Clock::now() - Start, TestBound);
    EXPECT_TRUE(Port_.Connected());
}

TEST_F(ThreadedTransfers, AbortEndsABlockedWriteWithItsShortCount)
{
    // A limit far beyond the test's own bound: only the abort ends the write
    // in time, and the write still cannot outlive the test.
    Port_.Timeouts().SetWriteTotalMultiplier(0);
    Port_.Timeouts().SetWriteTotalConstant(LongLimitMs);
    const std::vector<char> big(1 << 20, 'w');
    std::promise<void> Ended;
    std::future<void> EndedFuture = Ended.get_future();
    std::atomic<int32_t> Written{-1};
    std::thread Writer([&] {
        Written = Port_.WriteBytes(big.data(), static_cast<int32_t>(big.size()));
        Ended.set_value();
    });
    // The first bytes at the far end show the write under way; the line takes
    // far less than a megabyte, so it then waits for room that never comes.
    ASSERT_TRUE(FarEndHasBytes(Pty_, 10s)) << "the write never started";
    const auto Start = Clock::now();
    Port_.AbortPendingIO();
    const bool EndedInTime = EndedFuture.wait_for(TestBound) == std::future_status::ready;
    Writer.join();
    EXPECT_TRUE(EndedInTime) << "the abort did not end the write; its limit did after "
                             << Milliseconds(Clock::now() - Start) << " ms";
    EXPECT_GT(Written.load(), 0);
    EXPECT_LT(Written.load(), static_cast<int32_t>(big.size()));
    EXPECT_EQ(Pty_.Drain().size(), static_cast<size_t>(Written.load()));
}

TEST_F(ThreadedTransfers, AbortEndsTheWaitsOfSeveralThreadsAndSparesLaterOnes)
{
    WaitingReads(Port_, LongLimitMs);
    constexpr int ReaderCount = 3;
    std::latch Issued(ReaderCount);
    std::mutex EndedMutex;
    std::condition_variable EndedChanged;
    int Ended = 0;
    std::vector<std::thread> Readers;
    for (int I = 0; I < ReaderCount; ++I) {
        Readers.emplace_back([&] {
            TOwnedRequest Request;
            char Buffer[4];
            Port_.ReadBytesAsync(Buffer, 4, Request);
            Issued.count_down();  // issued before the abort: the abort ends its wait
            Port_.WaitAsyncRequest(Request);
            std::lock_guard Lock(EndedMutex);
            ++Ended;
            EndedChanged.notify_all();
        });
    }
    Issued.wait();
    Port_.AbortPendingIO();
    {
        std::unique_lock Lock(EndedMutex);
        EXPECT_TRUE(EndedChanged.wait_for(Lock, TestBound, [&] { return Ended == ReaderCount; }))
            << "only " << Ended << " of " << ReaderCount << " waits ended by the abort";
    }
    for (std::thread& T : Readers)
        T.join();

    // A read that starts after the abort waits for its bytes as usual.
    std::thread Late([&] {
        std::string Text;
        EXPECT_EQ(Port_.ReadText(Text, 3), 3);
        EXPECT_EQ(Text, "new");
    });
    Pty_.Write("new");
    Late.join();
}

// The far end writes far more than the receive queue holds, as fast as the
// line takes it, to a read waiting on another thread: the read takes only
// what it asked for and leaves the rest in the kernel, so nothing is dropped
// while the reader keeps up. (Filling the queue instead read on past its
// limit whenever one read(2) brought a lot: this lost bytes in about one run
// in five of an optimised build.)
TEST_F(ThreadedTransfers, ReadWaitingOnAnotherThreadGetsAFastFeedWholeAndInOrder)
{
    WaitingReads(Port_, 3000);
    std::string Sent;
    for (size_t I = 0; I < (16u << 20); ++I)
        Sent.push_back(static_cast<char>((I * 131 + I / 7) % 256));
    std::string Got;
    std::thread Reader([&] {
        std::string Text;
        while (Got.size() < Sent.size()) {
            const int32_t Want = static_cast<int32_t>(std::min<size_t>(Sent.size() - Got.size(), 1u << 17));
            if (Port_.ReadText(Text, Want) == 0)
                break;
            Got += Text;
        }
    });
    try {
        for (size_t At = 0; At < Sent.size(); At += 1u << 16)
            Pty_.Write(std::string_view(Sent).substr(At, 1u << 16));
    } catch (const std::exception&) {  // the reader gave up: the checks below say so
    }
    Reader.join();
    EXPECT_EQ(Got.size(), Sent.size());
    EXPECT_TRUE(Got == Sent);
    EXPECT_FALSE(Port_.TakeLineErrors().Contains(leRxOverflow));
}

TEST_F(ThreadedTransfers, CloseEndsAReadWaitingOnAnotherThread)
{
    WaitingReads(Port_, LongLimitMs);
    std::atomic<bool> Done{false};
    std::thread Reader([&] {
        char Buffer[4];
        try {
            Port_.ReadBytes(Buffer, 4);
        } catch (const EComPort&) {
        }
        Done = true;
    });
    std::this_thread::sleep_for(50ms);
    const auto Start = Clock::now();
    Port_.Close();
    Reader.join();
    EXPECT_TRUE(Done.load());
    EXPECT_LT(Clock::now() - Start, TestBound);
}

TEST(ReceiveQueueWatcher, AdditionsByOtherThreadsReachTheWatcherOnce)
{
    TReceiveQueue Queue;
    ASSERT_EQ(Queue.Init(), 0);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    TReceiveOptions Options;
    Options.EventChar = '!';
    Queue.SetOptions(Options);
    Queue.SetWatcher(std::this_thread::get_id());

    std::thread Other([&] {
        ASSERT_EQ(::write(fds[1], "ab!", 3), 3);
        Queue.FillFrom(fds[0]);                  // a reading call on another thread
        Queue.InjectForTest("c", 1, {leFrame});  // simulated input
    });
    Other.join();
    pollfd Notify{Queue.NotifyFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&Notify, 1, 0), 1);

    ASSERT_EQ(::write(fds[1], "d", 1), 1);
    TFillResult R = Queue.FillFrom(fds[0]);  // the watcher's own read
    EXPECT_EQ(R.Added, 5u);
    EXPECT_TRUE(R.EventChar);
    EXPECT_EQ(R.Errors, (TComErrors{leFrame}));
    R = Queue.FillFrom(fds[0]);
    EXPECT_EQ(R.Added, 0u);
    EXPECT_TRUE(R.Errors.Empty());
    EXPECT_EQ(Queue.Count(), 5u);
    ::close(fds[0]);
    ::close(fds[1]);
}

// With the default Events the port runs its event thread: the handler order
// is the same, and received bytes reach OnRxChar on the owning thread.
TEST(PortWithEventThread, OpenCloseOrderAndReceptionThroughOnRxChar)
{
    TPtyPair Pty;
    HandlerLog Log;
    std::string received;
    TComPort port;
    port.SetPort(Pty.SlavePath());
    Log.Attach(port);
    port.OnRxChar = [&](TComponent*, int32_t Count) {
        std::string Text;
        port.ReadText(Text, Count);
        received += Text;
    };
    port.Open();
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS off", "DSR off", "RLSD off"}));

    Pty.Write("*00R\r");
    const auto Deadline = Clock::now() + 3s;
    while (received.size() < 5 && Clock::now() < Deadline) {
        if (!CheckSynchronize())
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(received, "*00R\r");
    EXPECT_EQ(port.WriteBytes("ok", 2), 2);
    EXPECT_EQ(Pty.Read(2), "ok");

    Log.Calls.clear();
    port.Close();
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"CTS off", "DSR off", "RLSD off", "BeforeClose", "AfterClose"}));
}
