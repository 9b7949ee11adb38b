// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

#include <utility>

namespace varnolink::sim {

// Owns one file descriptor and closes it when it goes out of scope.
class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int Fd) noexcept : Fd_(Fd) {}
    TUniqueFd(TUniqueFd&& Other) noexcept : Fd_(std::exchange(Other.Fd_, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& Other) noexcept
    {
        if (this != &Other) {
            Reset(std::exchange(Other.Fd_, -1));
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    ~TUniqueFd() { Reset(); }

    int Get() const noexcept { return Fd_; }
    bool Valid() const noexcept { return Fd_ >= 0; }
    explicit operator bool() const noexcept { return Valid(); }

    void Reset(int Fd = -1) noexcept
    {
        if (Fd_ >= 0) {
            ::close(Fd_);
        }
        Fd_ = Fd;
    }

private:
    int Fd_ = -1;
};

}  // namespace varnolink::sim
