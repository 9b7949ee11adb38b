// SPDX-License-Identifier: MIT
// Internal: the end of pending transfer waits (AbortPendingIO).
//
// A transfer request notes the abort generation when it is issued. Abort()
// moves the generation on (generations are unique in the process, so a
// request of an earlier device state never matches a later one) and writes
// the eventfd that every wait polls, so every wait in progress, on any
// thread, returns at once with what it has moved; a request issued before
// the abort and waited on afterwards also completes at once. Requests issued after the abort are not affected: their
// waits run normally, as transfers issued after a purge do.
//
// The eventfd stays readable only until the waits it ended have left: the
// last of them resets it. A wait that starts in the meantime (for a request
// issued after the abort) holds back in Enter until then instead of spinning
// on the signal meant for the others. So a wait that polls the eventfd and
// finds it readable is always one that has been aborted.
//
// Shutdown() (closing the device) aborts every wait, waits until all of them
// have left, and refuses every later one.
#pragma once

#include "cport/unique_fd.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace cport {

class TAbortSignal {
public:
    int Init();                           // a new generation; the eventfd is made by the first wait (Enter)
    int Fd() const { return Fd_.get(); }  // once a wait has entered
    int get() const { return Fd_.get(); }

    uint64_t Generation() const { return Generation_.load(std::memory_order_acquire); }
    bool Aborted(uint64_t Ticket) const { return Generation() != Ticket; }

    // Registers a wait for a request issued at generation Ticket. False when
    // that request has been aborted already (or the device is closing), or
    // the eventfd cannot be had (a wait nothing could end): the wait must
    // end at once, without Leave.
    bool Enter(uint64_t Ticket);
    void Leave(uint64_t Ticket);

    void Abort();
    void Shutdown();

private:
    // New generation, waits of older ones wake (eventfd); Mutex_ held.
    void EndCurrentWaitsLocked();
    std::atomic<uint64_t> Generation_{0};  // read by every transfer: first
    mutable std::mutex Mutex_;
    std::condition_variable Changed_;
    size_t Current_ = 0;  // waits registered in the current generation
    size_t Older_ = 0;    // waits of earlier generations still leaving
    bool Signalled_ = false;
    bool ShutDown_ = false;
    TUniqueFd Fd_;
};

}  // namespace cport
