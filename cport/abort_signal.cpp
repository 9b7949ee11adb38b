// SPDX-License-Identifier: MIT
#include "cport/abort_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace cport {

namespace {

// Generations are unique in the process, so that a request issued on one
// device state is never taken for one of a later state (the port was closed
// and opened again before its wait).
std::atomic<uint64_t> next_generation{1};

uint64_t NewGeneration() { return next_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

int TAbortSignal::Init() {
    generation_.store(NewGeneration(), std::memory_order_release);
    fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return fd_ ? 0 : errno;
}

bool TAbortSignal::Enter(uint64_t Ticket) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return shut_down_ || Aborted(Ticket) || older_ == 0; });
    if (shut_down_ || Aborted(Ticket)) return false;
    ++current_;
    return true;
}

void TAbortSignal::Leave(uint64_t Ticket) {
    std::lock_guard lock(mutex_);
    if (!Aborted(Ticket)) {
        --current_;
    } else if (--older_ == 0) {
        if (signalled_) {
            uint64_t counter;
            [[maybe_unused]] ssize_t n = ::read(fd_.get(), &counter, sizeof counter);
            signalled_ = false;
        }
    }
    if (older_ == 0) changed_.notify_all();
}

void TAbortSignal::EndCurrentWaitsLocked() {
    generation_.store(NewGeneration(), std::memory_order_release);
    older_ += current_;
    current_ = 0;
    if (older_ > 0 && !signalled_) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
        signalled_ = true;
    }
    changed_.notify_all();
}

void TAbortSignal::Abort() {
    std::lock_guard lock(mutex_);
    EndCurrentWaitsLocked();
}

void TAbortSignal::Shutdown() {
    std::unique_lock lock(mutex_);
    shut_down_ = true;
    EndCurrentWaitsLocked();
    changed_.wait(lock, [&] { return older_ == 0; });
}

}  // namespace cport
