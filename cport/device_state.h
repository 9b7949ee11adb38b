// SPDX-License-Identifier: MIT
// Internal: what a TCustomComPort holds while its device is open, shared by
// the device layer (open/close, settings, transfers, queries) and the event
// thread. Not part of the public interface.
#pragma once

#include "cport/abort_signal.h"
#include "cport/comport.h"
#include "cport/device.h"
#include "cport/receive_queue.h"
#include "cport/unique_fd.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace cport {

// The Timeouts in force, as the device layer took them at the last
// ApplyTimeoutSettings. Transfers on any thread read them when they issue.
struct TTransferTimeouts {
    std::atomic<uint32_t> read_interval{UINT32_MAX};
    std::atomic<uint32_t> read_multiplier{0};
    std::atomic<uint32_t> read_constant{0};
    std::atomic<uint32_t> write_multiplier{100};
    std::atomic<uint32_t> write_constant{1000};
};

struct TCustomComPort::TDeviceState {
    // Takes the open device; creates the eventfds and the receive queue's
    // storage. 0 or an errno.
    int Init(std::unique_ptr<TDevice> Opened);

    // The fields every transfer touches come first, together.
    std::unique_ptr<TDevice> device;
    UniqueFd tx_fd;       // eventfd: written after each write while tx_watched (evTxEmpty detection)
    std::atomic<bool> tx_watched{false};       // an event thread watches tx_fd (set by the event thread)
    std::atomic<uint64_t> tx_writes{0};        // writes signalled on tx_fd so far
    TTransferTimeouts timeouts;
    TAbortSignal abort_fd;   // AbortPendingIO: ends every pending transfer wait (see abort_signal.h)
    TReceiveQueue rx;     // received bytes, decoded; every read of the device goes through it

    std::mutex counts_mutex;
    TDriverCounts counts;   // the driver's error counts last seen by a line-error query

    // Decodes what the kernel holds into the receive queue (code 10 on failure).
    void DrainForQuery();
    // The errors the driver has counted since the last look, each once;
    // false when the driver keeps no counts (code 10 on failure).
    bool TakeCountedErrors(TComErrors& Errors);

    // After a successful write: wakes the event thread's evTxEmpty check.
    void SignalTx() {
        if (!tx_watched.load(std::memory_order_relaxed)) return;
        tx_writes.fetch_add(1, std::memory_order_relaxed);
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(tx_fd.get(), &one, sizeof one);
    }
};

// The device state for one transfer or query on any thread: none when the
// port is closed or closing. While a lease holds the state, CloseDevice
// waits for it (having ended its transfer waits first).
class TCustomComPort::TDeviceLease {
public:
    explicit TDeviceLease(TCustomComPort& Port) : users_(Port.device_users_) {
        users_.fetch_add(1);
        state_ = Port.live_device_.load();
        if (!state_) Leave();
    }
    ~TDeviceLease() {
        if (state_) Leave();
    }
    TDeviceLease(const TDeviceLease&) = delete;
    TDeviceLease& operator=(const TDeviceLease&) = delete;

    TDeviceState* get() const { return state_; }

private:
    void Leave() {
        if (users_.fetch_sub(1) == 1) users_.notify_all();
    }
    std::atomic<int>& users_;
    TDeviceState* state_ = nullptr;
};

}  // namespace cport
