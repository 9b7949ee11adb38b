// SPDX-License-Identifier: MIT
#include "sim/event_wait.h"

#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace varnolink::sim {

namespace {

void Control(int Epoll, int Operation, int Fd, std::uint32_t Events, std::uint64_t Tag, const char* What)
{
    epoll_event Event{};
    Event.events = Events;
    Event.data.u64 = Tag;
    if (::epoll_ctl(Epoll, Operation, Fd, &Event) != 0)
        ThrowErrno(What);
}

TUniqueFd Created(int Fd, const char* What)
{
    if (Fd < 0)
        ThrowErrno(What);
    return TUniqueFd(Fd);
}

void TakeCount(int Fd)
{
    std::uint64_t Count = 0;
    [[maybe_unused]] const auto Read = ::read(Fd, &Count, sizeof Count);
}

// steady_clock counts CLOCK_MONOTONIC on Linux, the timerfd's clock; never
// zero, which would disarm it.
timespec ToTimespec(std::chrono::steady_clock::time_point At)
{
    using std::chrono::nanoseconds;
    const auto SinceEpoch = std::max(nanoseconds{1}, std::chrono::duration_cast<nanoseconds>(At.time_since_epoch()));
    timespec Value{};
    Value.tv_sec = static_cast<time_t>(SinceEpoch.count() / 1'000'000'000LL);
    Value.tv_nsec = static_cast<long>(SinceEpoch.count() % 1'000'000'000LL);
    return Value;
}

}  // namespace

void ThrowErrno(const std::string& What)
{
    throw std::system_error(errno, std::generic_category(), What);
}

TWakeableEpoll::TWakeableEpoll(std::uint64_t WakeTag, std::uint64_t TimerTag)
    : Epoll_(Created(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      Wake_(Created(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), "eventfd")),
      Timer_(Created(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), "timerfd_create"))
{
    Add(Wake_.Get(), EPOLLIN, WakeTag);
    Add(Timer_.Get(), EPOLLIN, TimerTag);
}

void TWakeableEpoll::Add(int Fd, std::uint32_t Events, std::uint64_t Tag)
{
    Control(Epoll_.Get(), EPOLL_CTL_ADD, Fd, Events, Tag, "epoll_ctl ADD");
}

void TWakeableEpoll::Modify(int Fd, std::uint32_t Events, std::uint64_t Tag)
{
    Control(Epoll_.Get(), EPOLL_CTL_MOD, Fd, Events, Tag, "epoll_ctl MOD");
}

int TWakeableEpoll::Wait(std::span<epoll_event> Events)
{
    for (;;) {
        const int Count = ::epoll_wait(Epoll_.Get(), Events.data(), static_cast<int>(Events.size()), -1);
        if (Count >= 0)
            return Count;
        if (errno != EINTR)
            ThrowErrno("epoll_wait");
    }
}

void TWakeableEpoll::Wake()
{
    const std::uint64_t One = 1;
    [[maybe_unused]] const auto Written = ::write(Wake_.Get(), &One, sizeof One);
}

void TWakeableEpoll::TakeWake()
{
    TakeCount(Wake_.Get());
}

void TWakeableEpoll::TakeTimer()
{
    TakeCount(Timer_.Get());
}

void TWakeableEpoll::ArmAt(std::optional<std::chrono::steady_clock::time_point> At)
{
    itimerspec Setting{};  // all zero disarms
    if (At)
        Setting.it_value = ToTimespec(*At);
    if (::timerfd_settime(Timer_.Get(), TFD_TIMER_ABSTIME, &Setting, nullptr) != 0)
        ThrowErrno("timerfd_settime");
}

}  // namespace varnolink::sim
