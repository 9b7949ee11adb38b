// SPDX-License-Identifier: MIT
// The epoll wait of a commissioning run: its half-second timer, the
// operator's Enter and the stop descriptor.
#include "main/engine/commission_loop.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "cport/unique_fd.h"

namespace varnolink {

namespace {

constexpr const char* SetUpWhat = "setting up the commissioning loop";

// False for a descriptor that cannot be waited on (a regular file, /dev/null).
bool Watch(int Epoll, int Fd)
{
    epoll_event Event{};
    Event.events = EPOLLIN;
    Event.data.fd = Fd;
    if (::epoll_ctl(Epoll, EPOLL_CTL_ADD, Fd, &Event) == 0)
        return true;
    if (errno == EPERM)
        return false;
    throw std::system_error(errno, std::generic_category(), "watching a descriptor");
}

// Reads what the operator typed; the number of line ends, or -1 at its end.
int TakeLines(int Fd)
{
    std::array<char, 256> Buffer{};
    const ssize_t Got = ::read(Fd, Buffer.data(), Buffer.size());
    if (Got < 0)
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    if (Got == 0)
        return -1;
    int Lines = 0;
    for (ssize_t I = 0; I < Got; ++I)
        Lines += Buffer[static_cast<std::size_t>(I)] == '\n';
    return Lines;
}

}  // namespace

void RunCommissionLoop(TSeriesCommissioning& Series, int StopFd, int EnterFd)
{
    const cport::TUniqueFd Epoll = cport::CreatedFd(::epoll_create1(EPOLL_CLOEXEC), SetUpWhat);
    const cport::TUniqueFd Timer =
        cport::CreatedFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK), SetUpWhat);
    const auto Interval = std::chrono::duration_cast<std::chrono::nanoseconds>(TSeriesCommissioning::PollInterval);
    itimerspec Every{};
    Every.it_interval.tv_sec = static_cast<time_t>(Interval.count() / 1'000'000'000);
    Every.it_interval.tv_nsec = static_cast<long>(Interval.count() % 1'000'000'000);
    Every.it_value = Every.it_interval;
    if (::timerfd_settime(Timer.get(), 0, &Every, nullptr) != 0)
        throw std::system_error(errno, std::generic_category(), "starting the poll timer");
    Watch(Epoll.get(), Timer.get());
    if (StopFd >= 0)
        Watch(Epoll.get(), StopFd);
    // Input that cannot be waited on never brings an Enter.
    bool EnterOpen = EnterFd >= 0 && Watch(Epoll.get(), EnterFd);

    Series.Poll();
    while (!Series.Finished()) {
        if (!EnterOpen && Series.AwaitsOperator()) {
            Series.Stop();
            break;
        }
        std::array<epoll_event, 3> Events{};
        const int Ready = ::epoll_wait(Epoll.get(), Events.data(), static_cast<int>(Events.size()), -1);
        if (Ready < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "waiting for the next poll");
        }
        bool PollNow = false;
        for (int I = 0; I < Ready; ++I) {
            const int Fd = Events[static_cast<std::size_t>(I)].data.fd;
            if (Fd == StopFd) {
                Series.Stop();
            } else if (Fd == EnterFd) {
                const int Lines = TakeLines(EnterFd);
                if (Lines < 0) {
                    ::epoll_ctl(Epoll.get(), EPOLL_CTL_DEL, EnterFd, nullptr);
                    EnterOpen = false;
                } else if (Lines > 0) {
                    Series.NextModule();
                    PollNow = true;
                }
            } else if (Fd == Timer.get()) {
                uint64_t Expirations = 0;
                [[maybe_unused]] const ssize_t Read = ::read(Timer.get(), &Expirations, sizeof Expirations);
                PollNow = true;
            }
        }
        if (PollNow && !Series.Finished())
            Series.Poll();
    }
}

}  // namespace varnolink
