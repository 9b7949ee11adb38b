// SPDX-License-Identifier: MIT
// A descriptor the engine creates for its own waits (epoll, eventfd,
// timerfd), closed on every way out.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <system_error>

class TOwnedFd {
public:
    // A failed creation (Fd < 0, errno set) throws std::system_error, with
    // What saying what was being set up.
    TOwnedFd(int Fd, const char* What) : Fd_(Fd)
    {
        if (Fd_ < 0)
            throw std::system_error(errno, std::generic_category(), What);
    }
    ~TOwnedFd() { ::close(Fd_); }
    TOwnedFd(const TOwnedFd&) = delete;
    TOwnedFd& operator=(const TOwnedFd&) = delete;
    int Get() const { return Fd_; }

private:
    int Fd_;
};
