// SPDX-License-Identifier: MIT
// The owning thread's loop of the tests and benchmarks. It sleeps on one
// descriptor and serves the hand-over queue with CheckSynchronize: by
// default an eventfd that the component's wake hook writes; with
// TWakeBy::WaitDescriptor the component's own wait descriptor, on which the
// owned ports' input is watched too.
#pragma once

#include "cport/comport.h"
#include "cport/unique_fd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace test_support {

enum class TWakeBy { Hook, WaitDescriptor };

class TOwnerLoop {
public:
    explicit TOwnerLoop(TWakeBy By = TWakeBy::Hook)
    {
        if (By == TWakeBy::WaitDescriptor) {
            WaitFd_ = cport::MainThreadWaitDescriptor();
            return;
        }
        Wake_ = cport::TUniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        WaitFd_ = Wake_.get();
        cport::SetMainThreadWakeHook([this] {
            Wakes_.fetch_add(1);
            const uint64_t One = 1;
            [[maybe_unused]] auto Written = ::write(Wake_.get(), &One, sizeof One);
        });
    }
    ~TOwnerLoop()
    {
        cport::CheckSynchronize();
        if (Wake_.get() >= 0)
            cport::SetMainThreadWakeHook(nullptr);
    }
    TOwnerLoop(const TOwnerLoop&) = delete;
    TOwnerLoop& operator=(const TOwnerLoop&) = delete;

    // Sleeps until woken or the time is up; then serves the queue. True if
    // it was woken and ran something.
    bool ServeOnce(std::chrono::milliseconds Limit = std::chrono::milliseconds(5000))
    {
        const bool Woken = WaitForWake(Limit);
        if (Woken && Wake_.get() >= 0) {
            uint64_t Counter;
            [[maybe_unused]] auto Read = ::read(Wake_.get(), &Counter, sizeof Counter);
        }
        return cport::CheckSynchronize() && Woken;
    }
    // Serves until Done() holds; false if Limit passed first. Done is also
    // checked every few milliseconds, for what happens on other threads
    // without a hand-over (smNone).
    bool ServeUntil(const std::function<bool()>& Done,
                    std::chrono::milliseconds Limit = std::chrono::milliseconds(5000))
    {
        const auto End = std::chrono::steady_clock::now() + Limit;
        while (!Done()) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now());
            if (Left.count() <= 0)
                return false;
            ServeOnce(std::min(Left, std::chrono::milliseconds(5)));
        }
        return true;
    }
    // Serves for the whole time given (for checks that something does not
    // happen). Sleeps on the descriptor for all the time left, not in short
    // slices, so the loop itself costs nothing while the line is quiet.
    void ServeFor(std::chrono::milliseconds Time)
    {
        const auto End = std::chrono::steady_clock::now() + Time;
        for (;;) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now());
            if (Left.count() <= 0)
                return;
            ServeOnce(Left);
        }
    }
    // Sleeps until woken, without serving.
    bool WaitForWake(std::chrono::milliseconds Limit = std::chrono::milliseconds(5000))
    {
        pollfd Ready{WaitFd_, POLLIN, 0};
        return ::poll(&Ready, 1, static_cast<int>(Limit.count())) == 1;
    }
    int Wakes() const { return Wakes_.load(); }  // calls of the wake hook

private:
    cport::TUniqueFd Wake_;  // the hook's eventfd (TWakeBy::Hook)
    int WaitFd_ = -1;
    std::atomic<int> Wakes_{0};
};

}  // namespace test_support
