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
    const char* name;
    std::function<void(TComPort&)> run;
    int32_t code;   // the only EComPort code the operation may fail with
};

void AsyncWrite(TComPort& Port) {
    TOwnedRequest request;
    Port.WriteBytesAsync("async", 5, request);
    Port.WaitAsyncRequest(request);
}

void AsyncRead(TComPort& Port) {
    TOwnedRequest request;
    char buffer[16];
    Port.ReadBytesAsync(buffer, sizeof buffer, request);
    Port.WaitAsyncRequest(request);
}

const RaceOperation kOperations[] = {
    {"WriteBytes", [](TComPort& p) { p.WriteBytes("sync-write", 10); }, CError_WriteFailed},
    {"ReadBytes", [](TComPort& p) { char b[16]; p.ReadBytes(b, sizeof b); }, CError_ReadFailed},
    {"WriteBytesAsyncAndWait", AsyncWrite, CError_WriteFailed},
    {"ReadBytesAsyncAndWait", AsyncRead, CError_ReadFailed},
    {"InputQueueCount", [](TComPort& p) { p.InputQueueCount(); }, CError_ClearComFailed},
    {"TakeLineErrors", [](TComPort& p) { p.TakeLineErrors(); }, CError_ClearComFailed},
    {"ModemSignals", [](TComPort& p) { p.ModemSignals(); }, CError_ModemStatFailed},
    {"AbortPendingIO", [](TComPort& p) { p.AbortPendingIO(); }, CError_PurgeFailed},
};

constexpr int kRounds = 2000;

class CloseRace : public ::testing::TestWithParam<RaceOperation> {};

// Two workers loop on the operation for the whole test; the owning thread
// closes each open at a different moment: at once, after both workers have
// finished a call on the open port, or after a few yields.
TEST_P(CloseRace, CallsRacingCloseCompleteOrFailWithTheirOwnCode) {
    const RaceOperation& op = GetParam();
    PtyPair pty;
    TComPort port;
    UseSlave(port, pty);
    WaitingReads(port, 2);   // reads wait in poll for a moment, or until Close ends them

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0};
    std::atomic<int> opens{0};   // workers make a few calls per open, then sleep until the next
    std::mutex wrong_mutex;
    std::set<std::string> wrong;
    auto worker = [&] {
        while (!stop.load()) {
            const int opened = opens.load();
            for (int i = 0; i < 3; ++i) {
                bool closed = false;
                try {
                    op.run(port);
                } catch (const EComPort& e) {
                    closed = e.SystemErrorCode() == EBADF;
                    if (e.ErrorCode() != op.code) {
                        std::lock_guard lock(wrong_mutex);
                        wrong.insert(e.what());
                    }
                } catch (const std::exception& e) {
                    std::lock_guard lock(wrong_mutex);
                    wrong.insert(std::string("not an EComPort: ") + e.what());
                }
                calls.fetch_add(1);
                calls.notify_all();
                if (closed) break;
            }
            opens.wait(opened);
        }
    };
    std::vector<std::thread> workers;
    workers.emplace_back(worker);
    workers.emplace_back(worker);

    std::minstd_rand random(12345);
    for (int round = 0; round < kRounds; ++round) {
        port.Open();
        const uint64_t seen = calls.load();
        opens.fetch_add(1);
        opens.notify_all();
        switch (random() % 3) {
        case 0:
            break;
        case 1: {
            for (uint64_t now = seen; now < seen + 2; now = calls.load()) calls.wait(now);
            break;
        }
        default:
            for (unsigned i = random() % 8; i > 0; --i) std::this_thread::yield();
            break;
        }
        port.Close();
        pty.Drain();
    }
    stop = true;
    opens.fetch_add(1);
    opens.notify_all();
    for (std::thread& t : workers) t.join();
    EXPECT_TRUE(wrong.empty()) << *wrong.begin();
    EXPECT_GT(calls.load(), static_cast<uint64_t>(kRounds));
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, CloseRace, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
