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
std::atomic<uint64_t> NextGeneration{1};

uint64_t NewGeneration()
{
    return NextGeneration.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

int TAbortSignal::Init()
{
    Generation_.store(NewGeneration(), std::memory_order_release);
    return 0;
}

bool TAbortSignal::Enter(uint64_t Ticket)
{
    std::unique_lock Lock(Mutex_);
    Changed_.wait(Lock, [&] { return ShutDown_ || Aborted(Ticket) || Older_ == 0; });
    if (ShutDown_ || Aborted(Ticket))
        return false;
    // Made by the first wait: a port whose transfers never wait (one read by
    // its owner's loop) keeps no eventfd for them. It is written only while
    // waits are entered, so never before it is there.
    if (!Fd_)
        Fd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!Fd_)
        return false;
    ++Current_;
    return true;
}

void TAbortSignal::Leave(uint64_t Ticket)
{
    std::lock_guard Lock(Mutex_);
    if (!Aborted(Ticket)) {
        --Current_;
    } else if (--Older_ == 0) {
        if (Signalled_) {
            uint64_t Counter;
            [[maybe_unused]] ssize_t N = ::read(Fd_.get(), &Counter, sizeof Counter);
            Signalled_ = false;
        }
    }
    if (Older_ == 0)
        Changed_.notify_all();
}

void TAbortSignal::EndCurrentWaitsLocked()
{
    Generation_.store(NewGeneration(), std::memory_order_release);
    Older_ += Current_;
    Current_ = 0;
    if (Older_ > 0 && !Signalled_) {
        const uint64_t One = 1;
        [[maybe_unused]] ssize_t N = ::write(Fd_.get(), &One, sizeof One);
        Signalled_ = true;
    }
    Changed_.notify_all();
}

void TAbortSignal::Abort()
{
    std::lock_guard Lock(Mutex_);
    EndCurrentWaitsLocked();
}

void TAbortSignal::Shutdown()
{
    std::unique_lock Lock(Mutex_);
    ShutDown_ = true;
    EndCurrentWaitsLocked();
    Changed_.wait(Lock, [&] { return Older_ == 0; });
}

}  // namespace cport
