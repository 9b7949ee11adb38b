// SPDX-License-Identifier: MIT
// The open and close sequences under the feet of their own handlers and of
// the system: output left unsent at Close, handlers that open, close or
// delete the port, and resources that run out while opening.
#include "device_pty.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

using namespace cport;
using namespace device_test;

namespace {

// A pseudo-terminal's far end takes 4 KiB into its line discipline; what is
// written beyond that waits in the kernel, as unsent output waits in a
// UART's queue. Close drops it instead of handing it on.
TEST(CloseSequence, OutputTheLineHasNotTakenIsDiscarded)
{
    TPtyPair Pty;
    TComPort Port;
    UseSlave(Port, Pty);
    Port.Timeouts().SetWriteTotalMultiplier(0);
    Port.Timeouts().SetWriteTotalConstant(20);  // a write takes what the line takes in 20 ms
    Port.Open();
    const std::string Block(65536, 'u');
    const int32_t Written = Port.WriteBytes(Block.data(), static_cast<int32_t>(Block.size()));
    ASSERT_GT(Written, 8192);
    const auto Start = Clock::now();
    Port.Close();
    EXPECT_LT(Milliseconds(Clock::now() - Start), 1000);
    const size_t Received = Pty.Read(static_cast<size_t>(Written), 200ms).size();
    EXPECT_LT(Received, static_cast<size_t>(Written));
}

// Handlers that open, close or delete the port in the middle of a sequence:
// the sequence ends there, cleanly, with each notification once.
class ReentrantHandlers : public PortOnPty {
protected:
    void SetUp() override
    {
        PortOnPty::SetUp();
        Log_.Attach(Port_);
    }
    // Handler notes Call and runs Step of the port again, from inside.
    void Reenter(TNotifyEvent& Handler, const char* Call, void (TComPort::*Step)())
    {
        Handler = [this, Call, Step](TComponent*) {
            Log_.Calls.push_back(Call);
            (Port_.*Step)();
        };
    }
    int Count(const std::string& Call) const
    {
        return static_cast<int>(std::count(Log_.Calls.begin(), Log_.Calls.end(), Call));
    }
};

TEST_F(ReentrantHandlers, OpenFromOnBeforeOpenOpensOnce)
{
    Reenter(Port_.OnBeforeOpen, "BeforeOpen", &TComPort::Open);
    Port_.Open();
    EXPECT_TRUE(Port_.Connected());
    EXPECT_EQ(Count("BeforeOpen"), 1);
    EXPECT_EQ(Count("AfterOpen"), 1);
}

TEST_F(ReentrantHandlers, CloseFromOnBeforeCloseClosesOnce)
{
    Reenter(Port_.OnBeforeClose, "BeforeClose", &TComPort::Close);
    Port_.Open();
    Port_.Close();
    EXPECT_FALSE(Port_.Connected());
    EXPECT_EQ(Count("BeforeClose"), 1);
    EXPECT_EQ(Count("AfterClose"), 1);
}

// A pseudo-terminal reports CTS off at Open; the handler closes on it.
TEST_F(ReentrantHandlers, CloseWhenCTSReportsOffEndsOpenClosed)
{
    Port_.SetEvents(AllComEvents);
    Port_.OnCTSChange = [&](TComponent*, bool On) {
        Log_.Calls.push_back(On ? "CTS on" : "CTS off");
        if (!On)
            Port_.Close();
    };
    Port_.Open();
    EXPECT_FALSE(Port_.Connected());
    EXPECT_EQ(Count("AfterClose"), 1);
    EXPECT_EQ(Count("DSR off"), 0);  // both sequences ended at the handler's Close
}

TEST(ReentrantDelete, DeletingThePortInOnAfterOpenEndsOpen)
{
    TPtyPair Pty;
    auto* Port = new TComPort;
    Port->SetPort(Pty.SlavePath());
    bool Closed = false;
    Port->OnAfterClose = [&](TComponent*) { Closed = true; };
    Port->OnAfterOpen = [&](TComponent*) { delete Port; };
    Port->Open();  // must not touch the deleted port (ASan watches)
    EXPECT_TRUE(Closed);
}

// smNone: handlers run on the event thread. Bytes already waiting at Open
// must not reach OnRxChar (which closes the port) before Open is done.
TEST(ReentrantEventThread, OnRxCharClosingThePortWaitsForOpenToEnd)
{
    TPtyPair Pty;
    // Counted outside the rounds: a round's port may go as soon as its
    // handler has counted, while the handler is still returning.
    std::atomic<int> Handled{0};
    for (int Round = 0; Round < 500; ++Round) {
        TComPort Port;
        Port.SetPort(Pty.SlavePath());
        Port.SetEvents({evRxChar});
        Port.SetSyncMethod(smNone);
        bool Closed = false;
        std::atomic<bool> OpenDone{true};
        Port.OnAfterClose = [&](TComponent*) { Closed = true; };
        Port.OnRxChar = [&Port, &OpenDone, Counter = &Handled](TComponent*, int32_t) {
            if (!OpenDone.load())
                ADD_FAILURE() << "OnRxChar ran inside Open";
            Port.Close();
            std::atomic<int>* const Count = Counter;  // the closure may be gone once counted
            Count->fetch_add(1);
            Count->notify_all();
        };
        Pty.Write("x");
        OpenDone = false;
        Port.Open();
        OpenDone = true;
        Pty.Write("y");  // in case the open flushed the first byte
        for (int Seen = Handled.load(); Seen <= Round; Seen = Handled.load())
            Handled.wait(Seen);
        EXPECT_TRUE(Closed);
        EXPECT_FALSE(Port.Connected());
    }
}

// Every failure of Open is an EComPort, whatever runs out: descriptors are
// allowed one by one until Open succeeds.
TEST(OpenFailures, EveryShortageWhileOpeningIsAnEComPort)
{
#ifdef __SANITIZE_ADDRESS__
    // UBSan's type checks need descriptors of their own (a pipe) and report
    // every object as invalid without them; the optimised build runs this.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    TPtyPair Pty;
    TComPort Port;
    Port.SetPort(Pty.SlavePath());
    Port.SetEvents(AllComEvents);
    rlimit Saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Saved), 0);
    const int Probe = ::dup(0);
    ASSERT_GE(Probe, 0);
    ::close(Probe);  // the lowest free descriptor: every one below it is taken
    std::set<int32_t> Codes;
    bool Opened = false;
    for (int Spare = 0; Spare < 16 && !Opened; ++Spare) {
        rlimit Limit = Saved;
        Limit.rlim_cur = static_cast<rlim_t>(Probe + Spare);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Limit), 0);
        try {
            Port.Open();
            Opened = true;
        } catch (const EComPort& E) {
            Codes.insert(E.ErrorCode());
        } catch (const std::exception& E) {
            ADD_FAILURE() << Spare << " spare descriptors: not an EComPort: " << E.what();
        }
        ::setrlimit(RLIMIT_NOFILE, &Saved);
        EXPECT_EQ(Port.Connected(), Opened);
    }
    EXPECT_TRUE(Opened);
    EXPECT_FALSE(Codes.empty());
    for (int32_t Code : Codes)  // the device, the event thread, or the modem-line watch
        EXPECT_TRUE(Code == CError_OpenFailed || Code == CError_ModemStatFailed) << Code;
    Port.Close();
}

}  // namespace
