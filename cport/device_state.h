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
#include <thread>

namespace cport {

// The Timeouts in force, as the device layer took them at the last
// ApplyTimeoutSettings. Transfers on any thread read them when they issue.
struct TTransferTimeouts {
    std::atomic<uint32_t> ReadInterval{UINT32_MAX};
    std::atomic<uint32_t> ReadMultiplier{0};
    std::atomic<uint32_t> ReadConstant{0};
    std::atomic<uint32_t> WriteMultiplier{100};
    std::atomic<uint32_t> WriteConstant{1000};
};

struct TCustomComPort::TDeviceState {
    // Takes the open device; creates the eventfds and the receive queue's
    // storage. 0 or an errno.
    int Init(std::unique_ptr<TDevice> Opened);

    // The fields every transfer touches come first, together.
    std::unique_ptr<TDevice> Device;
    TUniqueFd TxFd;                        // eventfd: written after a write while TxWatched (evTxEmpty detection)
    std::atomic<bool> TxWatched{false};    // an event thread watches TxFd (set by the event thread)
    std::atomic<uint64_t> TxWrites{0};     // writes made while TxWatched so far
    std::atomic<bool> TxSignalled{false};  // TxFd written and its check not yet begun (see SignalTx)
    std::atomic<std::thread::id> TxOwner;  // a network port's owning thread (set with TxWatched); unset: a local line
    TTransferTimeouts Timeouts;
    TAbortSignal AbortFd;  // AbortPendingIO: ends every pending transfer wait (see abort_signal.h)
    TReceiveQueue Rx;      // received bytes, decoded; every read of the device goes through it

    bool Rs485Given = false;  // the device has taken an RS-485 setup since the open

    std::mutex CountsMutex;
    TErrorCountTrack Counts;  // the driver's error counts as a line-error query last saw them

    // Decodes what the kernel holds into the receive queue (code 10 on failure).
    void DrainForQuery();
    // The errors the driver has counted since the last look, each once;
    // false when the driver keeps no counts (code 10 on failure).
    bool TakeCountedErrors(TComErrors& Errors);

    // After a successful write: wakes the event thread's evTxEmpty check.
    // A check not yet begun covers this write as well (it looks at the
    // device after it), so one signal serves every write until the event
    // thread takes it (TakeTxSignal): a run of one-byte writes costs one
    // wake, not one per byte. A write nobody hears the report of (Heard
    // false, see TxEmptyHeard) wakes nothing at all.
    void SignalTx(bool Heard)
    {
        if (!Heard || !TxWatched.load(std::memory_order_relaxed))
            return;
        TxWrites.fetch_add(1, std::memory_order_seq_cst);
        if (TxSignalled.exchange(true, std::memory_order_seq_cst))
            return;
        const uint64_t One = 1;
        [[maybe_unused]] ssize_t N = ::write(TxFd.get(), &One, sizeof One);
    }
};

// The device state for one transfer or query on any thread: none when the
// port is closed or closing. While a lease holds the state, CloseDevice
// waits for it (having ended its transfer waits first).
class TCustomComPort::TDeviceLease {
public:
    explicit TDeviceLease(TCustomComPort& Port) : Users_(Port.DeviceUsers_)
    {
        Users_.fetch_add(1);
        State_ = Port.LiveDevice_.load();
        if (!State_)
            Leave();
    }
    ~TDeviceLease()
    {
        if (State_)
            Leave();
    }
    TDeviceLease(const TDeviceLease&) = delete;
    TDeviceLease& operator=(const TDeviceLease&) = delete;

    TDeviceState* get() const { return State_; }

private:
    void Leave()
    {
        if (Users_.fetch_sub(1) == 1)
            Users_.notify_all();
    }
    std::atomic<int>& Users_;
    TDeviceState* State_ = nullptr;
};

}  // namespace cport
