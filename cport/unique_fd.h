// SPDX-License-Identifier: MIT
// Internal: a file descriptor that closes itself.
#pragma once

#include <unistd.h>
#include <utility>

namespace cport {

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int Fd) : Fd_(Fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(TUniqueFd&& Other) noexcept : Fd_(std::exchange(Other.Fd_, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& Other) noexcept {
        if (this != &Other) { Reset(); Fd_ = std::exchange(Other.Fd_, -1); }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int get() const { return Fd_; }
    explicit operator bool() const { return Fd_ >= 0; }
    int Release() { return std::exchange(Fd_, -1); }
    void Reset(int Fd = -1) {
        if (Fd_ >= 0) ::close(Fd_);
        Fd_ = Fd;
    }

private:
    int Fd_ = -1;
};

}  // namespace cport
