// Internal: what a TCustomComPort holds while its device is open, shared by
// the device layer (open/close, settings, transfers, queries) and the event
// thread. Not part of the public interface.
#pragma once

#include "cport/abort_signal.h"
#include "cport/comport.h"
#include "cport/custom_baud.h"
#include "cport/receive_queue.h"
#include "cport/unique_fd.h"

#include <atomic>
#include <cstdint>
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

// Error counts of the driver (TIOCGICOUNT) last seen by a line-error query.
struct TLineCounts {
    int frame = 0, parity = 0, overrun = 0, brk = 0, buf_overrun = 0;
};

// TIOCGICOUNT into Counts; 0 or the errno of the failing call.
int ReadLineCounts(int Fd, TLineCounts& Counts);

struct TCustomComPort::TDeviceState {
    // Creates the eventfds and the receive queue's storage; 0 or an errno.
    int Init();

    // The fields every transfer touches come first, together.
    UniqueFd fd;          // the open device (O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC, flock'ed, TIOCEXCL)
    UniqueFd tx_fd;       // eventfd: written after each write while tx_watched (evTxEmpty detection)
    std::atomic<bool> tx_watched{false};       // an event thread watches tx_fd (set by the event thread)
    std::atomic<bool> has_modem_lines{true};   // false once TIOCMGET/TIOCMIWAIT said ENOTTY/EINVAL
    // Line-error counts of the driver; has_counts false once TIOCGICOUNT
    // said ENOTTY/EINVAL (pseudo-terminals, many USB adapters).
    std::atomic<bool> has_counts{true};
    TTransferTimeouts timeouts;
    TAbortSignal abort_fd;   // AbortPendingIO: ends every pending transfer wait (see abort_signal.h)
    TReceiveQueue rx;     // received bytes, decoded; every read of fd goes through it

    TKernelTermios original{};   // restored at close
    std::mutex counts_mutex;
    TLineCounts counts;

    // Low-latency mode requested at the first ApplyLineSettings, put back at close.
    bool low_latency_tried = false;
    bool low_latency_set = false;
    int original_serial_flags = 0;

    // Requests ASYNC_LOW_LATENCY once per open, best effort.
    void RequestLowLatency();
    // Decodes what the kernel holds into the receive queue (code 10 on failure).
    void DrainForQuery();
    // The errors the driver has counted since the last look, each once;
    // false when the driver keeps no counts (code 10 on failure).
    bool TakeCountedErrors(TComErrors& Errors);

    // After a successful write: wakes the event thread's evTxEmpty check.
    void SignalTx() {
        if (!tx_watched.load(std::memory_order_relaxed)) return;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(tx_fd.get(), &one, sizeof one);
    }
};

}  // namespace cport
