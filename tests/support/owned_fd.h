// SPDX-License-Identifier: MIT
// A descriptor of the tests and benchmarks that closes itself.
#pragma once

#include <unistd.h>

#include <utility>

namespace test_support {

class TOwnedFd {
public:
    TOwnedFd() = default;
    explicit TOwnedFd(int Fd) : Fd_(Fd) {}
    ~TOwnedFd() { Reset(); }
    TOwnedFd(TOwnedFd&& Other) noexcept : Fd_(std::exchange(Other.Fd_, -1)) {}
    TOwnedFd& operator=(TOwnedFd&& Other) noexcept {
        if (this != &Other) Reset(std::exchange(Other.Fd_, -1));
        return *this;
    }
    TOwnedFd(const TOwnedFd&) = delete;
    TOwnedFd& operator=(const TOwnedFd&) = delete;

    int Get() const { return Fd_; }
    int Release() { return std::exchange(Fd_, -1); }
    void Reset(int Fd = -1) {
        if (Fd_ >= 0) ::close(Fd_);
        Fd_ = Fd;
    }

private:
    int Fd_ = -1;
};

}  // namespace test_support
