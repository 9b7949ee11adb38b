// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

#include <utility>

namespace varnolink::sim {

// Owns one file descriptor and closes it when it goes out of scope.
class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) noexcept : Fd_(fd) {}
    TUniqueFd(TUniqueFd&& other) noexcept : Fd_(std::exchange(other.Fd_, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.Fd_, -1));
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    ~TUniqueFd() { Reset(); }

    int Get() const noexcept { return Fd_; }
    bool Valid() const noexcept { return Fd_ >= 0; }
    explicit operator bool() const noexcept { return Valid(); }

    void Reset(int fd = -1) noexcept {
        if (Fd_ >= 0) {
            ::close(Fd_);
        }
        Fd_ = fd;
    }

private:
    int Fd_ = -1;
};

}  // namespace varnolink::sim
