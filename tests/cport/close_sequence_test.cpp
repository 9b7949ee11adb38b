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
TEST(CloseSequence, OutputTheLineHasNotTakenIsDiscarded) {
    PtyPair pty;
    TComPort port;
    UseSlave(port, pty);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(20);   // a write takes what the line takes in 20 ms
    port.Open();
    const std::string block(65536, 'u');
    const int32_t written = port.WriteBytes(block.data(), static_cast<int32_t>(block.size()));
    ASSERT_GT(written, 8192);
    const auto start = Clock::now();
    port.Close();
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);
    const size_t received = pty.Read(static_cast<size_t>(written), 200ms).size();
    EXPECT_LT(received, static_cast<size_t>(written));
}

// Handlers that open, close or delete the port in the middle of a sequence:
// the sequence ends there, cleanly, with each notification once.
class ReentrantHandlers : public PortOnPty {
protected:
    void SetUp() override {
        PortOnPty::SetUp();
        log.Attach(port);
    }
    // Handler notes Call and runs Step of the port again, from inside.
    void Reenter(TNotifyEvent& Handler, const char* Call, void (TComPort::*Step)()) {
        Handler = [this, Call, Step](TComponent*) {
            log.calls.push_back(Call);
            (port.*Step)();
        };
    }
    int Count(const std::string& Call) const {
        return static_cast<int>(std::count(log.calls.begin(), log.calls.end(), Call));
    }
};

TEST_F(ReentrantHandlers, OpenFromOnBeforeOpenOpensOnce) {
    Reenter(port.OnBeforeOpen, "BeforeOpen", &TComPort::Open);
    port.Open();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(Count("BeforeOpen"), 1);
    EXPECT_EQ(Count("AfterOpen"), 1);
}

TEST_F(ReentrantHandlers, CloseFromOnBeforeCloseClosesOnce) {
    Reenter(port.OnBeforeClose, "BeforeClose", &TComPort::Close);
    port.Open();
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(Count("BeforeClose"), 1);
    EXPECT_EQ(Count("AfterClose"), 1);
}

// A pseudo-terminal reports CTS off at Open; the handler closes on it.
TEST_F(ReentrantHandlers, CloseWhenCTSReportsOffEndsOpenClosed) {
    port.SetEvents(AllComEvents);
    port.OnCTSChange = [&](TComponent*, bool On) {
        log.calls.push_back(On ? "CTS on" : "CTS off");
        if (!On) port.Close();
    };
    port.Open();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(Count("AfterClose"), 1);
    EXPECT_EQ(Count("DSR off"), 0);   // both sequences ended at the handler's Close
}

TEST(ReentrantDelete, DeletingThePortInOnAfterOpenEndsOpen) {
    PtyPair pty;
    auto* port = new TComPort;
    port->SetPort(pty.SlavePath());
    bool closed = false;
    port->OnAfterClose = [&](TComponent*) { closed = true; };
    port->OnAfterOpen = [&](TComponent*) { delete port; };
    port->Open();   // must not touch the deleted port (ASan watches)
    EXPECT_TRUE(closed);
}

// smNone: handlers run on the event thread. Bytes already waiting at Open
// must not reach OnRxChar (which closes the port) before Open is done.
TEST(ReentrantEventThread, OnRxCharClosingThePortWaitsForOpenToEnd) {
    PtyPair pty;
    // Counted outside the rounds: a round's port may go as soon as its
    // handler has counted, while the handler is still returning.
    std::atomic<int> handled{0};
    for (int round = 0; round < 500; ++round) {
        TComPort port;
        port.SetPort(pty.SlavePath());
        port.SetEvents({evRxChar});
        port.SetSyncMethod(smNone);
        bool closed = false;
        std::atomic<bool> open_done{true};
        port.OnAfterClose = [&](TComponent*) { closed = true; };
        port.OnRxChar = [&port, &open_done, counter = &handled](TComponent*, int32_t) {
            if (!open_done.load()) ADD_FAILURE() << "OnRxChar ran inside Open";
            port.Close();
            std::atomic<int>* const count = counter;   // the closure may be gone once counted
            count->fetch_add(1);
            count->notify_all();
        };
        pty.Write("x");
        open_done = false;
        port.Open();
        open_done = true;
        pty.Write("y");   // in case the open flushed the first byte
        for (int seen = handled.load(); seen <= round; seen = handled.load()) handled.wait(seen);
        EXPECT_TRUE(closed);
        EXPECT_FALSE(port.Connected());
    }
}

// Every failure of Open is an EComPort, whatever runs out: descriptors are
// allowed one by one until Open succeeds.
TEST(OpenFailures, EveryShortageWhileOpeningIsAnEComPort) {
#ifdef __SANITIZE_ADDRESS__
    // UBSan's type checks need descriptors of their own (a pipe) and report
    // every object as invalid without them; the optimised build runs this.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    PtyPair pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.SetEvents(AllComEvents);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int probe = ::dup(0);
    ASSERT_GE(probe, 0);
    ::close(probe);   // the lowest free descriptor: every one below it is taken
    std::set<int32_t> codes;
    bool opened = false;
    for (int spare = 0; spare < 16 && !opened; ++spare) {
        rlimit limit = saved;
        limit.rlim_cur = static_cast<rlim_t>(probe + spare);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        try {
            port.Open();
            opened = true;
        } catch (const EComPort& e) {
            codes.insert(e.ErrorCode());
        } catch (const std::exception& e) {
            ADD_FAILURE() << spare << " spare descriptors: not an EComPort: " << e.what();
        }
        ::setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(port.Connected(), opened);
    }
    EXPECT_TRUE(opened);
    EXPECT_FALSE(codes.empty());
    for (int32_t code : codes)   // the device, the event thread, or the modem-line watch
        EXPECT_TRUE(code == CError_OpenFailed || code == CError_ModemStatFailed) << code;
    port.Close();
}

}  // namespace
