// SPDX-License-Identifier: MIT
// Transfers and queries running on two other threads while the owning thread
// opens and closes the port again and again: each call either completes or
// fails with its own EComPort code, and nothing touches a closed device's
// state (ASan and TSan watch for that when these suites run under them).
#include "device_pty.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

using namespace cport;
using namespace device_test;

namespace {

struct RaceOperation {
    const char* Name;
    std::function<void(TComPort&)> Run;
    int32_t Code;  // the only EComPort code the operation may fail with
};

void AsyncWrite(TComPort& Port)
{
    TOwnedRequest Request;
    Port.WriteBytesAsync("async", 5, Request);
    Port.WaitAsyncRequest(Request);
}

void AsyncRead(TComPort& Port)
{
    TOwnedRequest Request;
    char Buffer[16];
    Port.ReadBytesAsync(Buffer, sizeof Buffer, Request);
    Port.WaitAsyncRequest(Request);
}

const RaceOperation Operations[] = {
    {"WriteBytes", [](TComPort& P) { P.WriteBytes("sync-write", 10); }, CError_WriteFailed},
    {"ReadBytes",
     [](TComPort& P) {
         char B[16];
         P.ReadBytes(B, sizeof B);
     },
     CError_ReadFailed},
    {"WriteBytesAsyncAndWait", AsyncWrite, CError_WriteFailed},
    {"ReadBytesAsyncAndWait", AsyncRead, CError_ReadFailed},
    {"InputQueueCount", [](TComPort& P) { P.InputQueueCount(); }, CError_ClearComFailed},
    {"TakeLineErrors", [](TComPort& P) { P.TakeLineErrors(); }, CError_ClearComFailed},
    {"ModemSignals", [](TComPort& P) { P.ModemSignals(); }, CError_ModemStatFailed},
    {"AbortPendingIO", [](TComPort& P) { P.AbortPendingIO(); }, CError_PurgeFailed},
};

constexpr int Rounds = 2000;

class CloseRace : public ::testing::TestWithParam<RaceOperation> {};

// Two workers loop on the operation for the whole test; the owning thread
// closes each open at a different moment: at once, after both workers have
// finished a call on the open port, or after a few yields.
TEST_P(CloseRace, CallsRacingCloseCompleteOrFailWithTheirOwnCode)
{
    const RaceOperation& op = GetParam();
    TPtyPair Pty;
    TComPort port;
    UseSlave(port, Pty);
    WaitingReads(port, 2);  // reads wait in poll for a moment, or until Close ends them

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0};
    std::atomic<int> opens{0};  // workers make a few calls per open, then sleep until the next
    std::mutex wrong_mutex;
    std::set<std::string> wrong;
    auto Worker = [&] {
        while (!stop.load()) {
            const int Opened = opens.load();
            for (int I = 0; I < 3; ++I) {
                bool Closed = false;
                try {
                    op.Run(port);
                } catch (const EComPort& E) {
                    Closed = E.SystemErrorCode() == EBADF;
                    if (E.ErrorCode() != op.Code) {
                        std::lock_guard Lock(wrong_mutex);
                        wrong.insert(E.what());
                    }
                } catch (const std::exception& E) {
                    std::lock_guard Lock(wrong_mutex);
                    wrong.insert(std::string("not an EComPort: ") + E.what());
                }
                calls.fetch_add(1);
                calls.notify_all();
                if (Closed)
                    break;
            }
            opens.wait(Opened);
        }
    };
    std::vector<std::thread> Workers;
    Workers.emplace_back(Worker);
    Workers.emplace_back(Worker);

    std::minstd_rand Random(12345);
    for (int Round = 0; Round < Rounds; ++Round) {
        port.Open();
        const uint64_t Seen = calls.load();
        opens.fetch_add(1);
        opens.notify_all();
        switch (Random() % 3) {
        case 0:
            break;
        case 1: {
            for (uint64_t Now = Seen; Now < Seen + 2; Now = calls.load())
                calls.wait(Now);
            break;
        }
        default:
            for (unsigned I = Random() % 8; I > 0; --I)
                std::this_thread::yield();
            break;
        }
        port.Close();
        Pty.Drain();
    }
    stop = true;
    opens.fetch_add(1);
    opens.notify_all();
    for (std::thread& T : Workers)
        T.join();
    EXPECT_TRUE(wrong.empty()) << *wrong.begin();
    EXPECT_GT(calls.load(), static_cast<uint64_t>(Rounds));
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, CloseRace, ::testing::ValuesIn(Operations),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
