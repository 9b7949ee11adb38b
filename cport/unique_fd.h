// SPDX-License-Identifier: MIT
// A file descriptor that closes itself: the one descriptor owner of the
// project outside the simulator. Not part of the component's public API
// (comport.h), but the engine, the tests and the benchmarks own their
// descriptors with it too.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace cport {

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int Fd) : Fd_(Fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(TUniqueFd&& Other) noexcept : Fd_(std::exchange(Other.Fd_, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& Other) noexcept
    {
        if (this != &Other) {
            Reset();
            Fd_ = std::exchange(Other.Fd_, -1);
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int get() const { return Fd_; }
    explicit operator bool() const { return Fd_ >= 0; }
    int Release() { return std::exchange(Fd_, -1); }
    void Reset(int Fd = -1)
    {
        if (Fd_ >= 0)
            ::close(Fd_);
        Fd_ = Fd;
    }

private:
    int Fd_ = -1;
};

// Owns the result of a call that creates a descriptor (epoll_create1,
// eventfd, timerfd_create, ...); a failed creation (Fd < 0, errno set)
// throws std::system_error, with What saying what was being set up.
inline TUniqueFd CreatedFd(int Fd, const char* What)
{
    if (Fd < 0)
        throw std::system_error(errno, std::generic_category(), What);
    return TUniqueFd(Fd);
}

}  // namespace cport
