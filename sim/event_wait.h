// SPDX-License-Identifier: MIT
// The event loop of a simulator's thread: its epoll set, with an eventfd
// that wakes it and a timerfd for its next deadline.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/unique_fd.h"

namespace varnolink::sim {

[[noreturn]] void ThrowErrno(const std::string& What);

class TWakeableEpoll {
public:
    // The wake and the timer are reported with these tags.
    TWakeableEpoll(std::uint64_t WakeTag, std::uint64_t TimerTag);

    int Fd() const { return Epoll_.Get(); }
    void Add(int Fd, std::uint32_t Events, std::uint64_t Tag);
    void Modify(int Fd, std::uint32_t Events, std::uint64_t Tag);

    // The next events, waiting as long as it takes (an interrupted wait
    // waits again); the number filled in.
    int Wait(std::span<epoll_event> Events);
    // Any thread: the wait returns with the wake's tag. Cannot fail short of
    // a counter overflow, which leaves it readable all the same.
    void Wake();
    // After its tag was reported: quiet again.
    void TakeWake();
    void TakeTimer();
    // The timer's tag is reported at At (none: never).
    void ArmAt(std::optional<std::chrono::steady_clock::time_point> At);

private:
    TUniqueFd Epoll_;
    TUniqueFd Wake_;
    TUniqueFd Timer_;
};

}  // namespace varnolink::sim
