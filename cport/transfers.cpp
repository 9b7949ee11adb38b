// SPDX-License-Identifier: MIT
// Data transfer: requests issued at once without blocking and completed
// under poll() with the time-outs of the Timeouts settings.
//
// A request is issued by a non-blocking attempt on the device (or, for a
// read, on the receive queue and then the device); what that moves is the
// issue-time count, reported only when the attempt completed the transfer
// (0 while it is pending). WaitAsyncRequest finishes a pending transfer
// under poll() on the device, the receive queue's eventfd (reads) and the
// port's abort eventfd. Short counts are no error.
//
// Time-outs (milliseconds; -1 stands for all bits set), taken when the
// request is issued:
//   read  ReadInterval -1 with both totals 0: returns at once with what has
//         arrived; ReadInterval -1, multiplier -1, 0 < constant < -1: returns
//         at once with what has arrived, else with the first byte(s) to
//         arrive within the constant; otherwise a total limit of
//         multiplier * Count + constant (none when both are 0) and, once a
//         byte has come, a limit on the gap to the next (ReadInterval; 0 and
//         -1 mean none);
//   write multiplier * Count + constant (none when both are 0).
// A read also returns what it has when the far end has hung up.
#include "cport/device_state.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>

namespace cport {

using TClock = std::chrono::steady_clock;

// One outstanding transfer. Kind 0 = write, 1 = read. A request that never
// had a transfer issued on it waits as complete with 0 bytes.
struct TAsyncRequest {
    uint8_t Kind = 0;
    bool issued = false;
    bool complete = true;
    bool hang_up = false;
    bool first_byte_returns = false;
    const unsigned char* out = nullptr;
    unsigned char* in = nullptr;
    int32_t count = 0;
    int32_t progress = 0;
    uint64_t ticket = 0;                 // abort generation when issued
    uint64_t total_ms = UINT64_MAX;      // UINT64_MAX: no total limit
    uint32_t interval_ms = 0;            // 0: no interval limit
    TClock::time_point started;
    TClock::time_point last_byte;

    using TDeviceState = TCustomComPort::TDeviceState;

    // Issue and wait; Device is null when the port is closed (EBADF).
    int32_t IssueWrite(TDeviceState* Device, const void* Buffer, int32_t Count);
    int32_t IssueRead(TDeviceState* Device, void* Buffer, int32_t Count);
    int32_t Wait(TDeviceState* Device);

    void Begin(uint8_t NewKind, int32_t Count);
    [[noreturn]] void IssueFailed(int32_t Code, int Error);
    [[noreturn]] void WaitFailed(int Error);
    int PollTimeout() const;
    bool ReadDone(bool Immediate) const;
    void ReadAvailable(TDeviceState& Device);
    int32_t CompleteWrite(TDeviceState& Device);
    int32_t CompleteRead(TDeviceState& Device);
    template <typename TDone, typename TOnDevice>
    int32_t PollUntilDone(TDeviceState& Device, short DeviceEvents, TReceiveQueue* Queue, TDone Done,
                          TOnDevice OnDevice);
};

void NewAsyncRequest(PAsync& Request) { Request = new TAsyncRequest; }

void FreeAsyncRequest(PAsync& Request) {
    delete Request;
    Request = nullptr;
}

namespace {

constexpr uint32_t kAllOnes = UINT32_MAX;

// The wait registration with the abort signal, left on every way out.
class TAbortWatch {
public:
    TAbortWatch(TAbortSignal& Signal, uint64_t Ticket)
        : signal_(Signal), ticket_(Ticket), entered_(Signal.Enter(Ticket)) {}
    ~TAbortWatch() {
        if (entered_) signal_.Leave(ticket_);
    }
    TAbortWatch(const TAbortWatch&) = delete;
    TAbortWatch& operator=(const TAbortWatch&) = delete;
    bool Entered() const { return entered_; }

private:
    TAbortSignal& signal_;
    uint64_t ticket_;
    bool entered_;
};

class TQueueWait {
public:
    explicit TQueueWait(TReceiveQueue& Queue) : queue_(Queue) { queue_.BeginWait(); }
    ~TQueueWait() { queue_.EndWait(); }
    TQueueWait(const TQueueWait&) = delete;
    TQueueWait& operator=(const TQueueWait&) = delete;

private:
    TReceiveQueue& queue_;
};

}  // namespace

// Milliseconds poll may sleep before the nearer of the total and the
// interval limit; -1 for none, 0 when one has passed.
int TAsyncRequest::PollTimeout() const {
    const auto now = TClock::now();
    int64_t remaining_ns = INT64_MAX;
    auto limit = [&](TClock::time_point deadline) {
        remaining_ns = std::min<int64_t>(
            remaining_ns, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count());
    };
    if (total_ms != UINT64_MAX)
        limit(started + std::chrono::milliseconds(
                                    std::min<uint64_t>(total_ms, INT64_MAX / 1'000'000'000)));
    if (interval_ms != 0 && progress > 0)
        limit(last_byte + std::chrono::milliseconds(interval_ms));
    if (remaining_ns == INT64_MAX) return -1;
    if (remaining_ns <= 0) return 0;
    const int64_t ms = (remaining_ns + 999'999) / 1'000'000;   // round up: never wake early
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void TAsyncRequest::Begin(uint8_t NewKind, int32_t Count) {
    Kind = NewKind;
    issued = true;
    complete = false;
    hang_up = false;
    first_byte_returns = false;
    count = Count;
    progress = 0;
    total_ms = UINT64_MAX;
    interval_ms = 0;
}

// A failed issue leaves the request as if nothing had been issued on it.
void TAsyncRequest::IssueFailed(int32_t Code, int Error) {
    issued = false;
    complete = true;
    progress = 0;
    throw EComPort(Code, Error);
}

void TAsyncRequest::WaitFailed(int Error) {
    complete = true;
    throw EComPort(Kind == 0 ? CError_WriteFailed : CError_ReadFailed, Error);
}

// Moves what the receive queue holds into the request, filling the queue
// from the device first when it has too little.
void TAsyncRequest::ReadAvailable(TDeviceState& Device) {
    TFillResult fill;
    const size_t got = Device.rx.TakeOrFill(in, static_cast<size_t>(count), *Device.device, fill);
    if (fill.error != 0) IssueFailed(CError_ReadFailed, fill.error);
    if (fill.hang_up) hang_up = true;
    progress = static_cast<int32_t>(got);
    if (got > 0 && interval_ms != 0) last_byte = TClock::now();
}

bool TAsyncRequest::ReadDone(bool Immediate) const {
    return progress == count || Immediate || hang_up ||
           (first_byte_returns && progress > 0);
}

// The wait both completions share: poll() on the device (for DeviceEvents),
// the abort eventfd and, for a read, the receive queue's eventfd, until Done
// says the transfer is complete, a time limit passes or AbortPendingIO ends
// the wait. Done runs before every poll, OnDevice whenever the device is
// ready (with its revents).
template <typename TDone, typename TOnDevice>
int32_t TAsyncRequest::PollUntilDone(TDeviceState& Device, short DeviceEvents, TReceiveQueue* Queue, TDone Done,
                                     TOnDevice OnDevice) {
    TAbortWatch watch(Device.abort_fd, ticket);
    if (watch.Entered()) {
        std::optional<TQueueWait> queue_wait;
        if (Queue != nullptr) queue_wait.emplace(*Queue);
        pollfd fds[3] = {{Device.device->PollFd(), DeviceEvents, 0},
                         {Device.abort_fd.Fd(), POLLIN, 0},
                         {Queue != nullptr ? Queue->NotifyFd() : -1, POLLIN, 0}};
        const nfds_t count = Queue != nullptr ? 3 : 2;
        for (;;) {
            if (Done()) break;
            const int timeout = PollTimeout();
            if (timeout == 0) break;
            if (::poll(fds, count, timeout) < 0) {
                if (errno == EINTR) continue;
                WaitFailed(errno);
            }
            if (fds[1].revents != 0) break;   // AbortPendingIO
            if (fds[0].revents & POLLNVAL) WaitFailed(EBADF);
            if (fds[0].revents != 0) OnDevice(fds[0].revents);
        }
    }
    complete = true;
    return progress;
}

int32_t TAsyncRequest::CompleteWrite(TDeviceState& Device) {
    TDevice& device = *Device.device;
    return PollUntilDone(
        Device, POLLOUT, nullptr, [&] { return progress == count; },
        [&](short) {
            const ssize_t n = device.Write(out + progress, static_cast<size_t>(count - progress));
            if (n > 0) {
                progress += static_cast<int32_t>(n);
                Device.SignalTx();
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                WaitFailed(errno);
            }
        });
}

int32_t TAsyncRequest::CompleteRead(TDeviceState& Device) {
    TDevice& device = *Device.device;
    return PollUntilDone(
        Device, POLLIN, &Device.rx,
        [&] {
            // Bytes another thread has read from the device arrive through the
            // queue; TakeForWait re-arms its eventfd when the queue is left empty.
            const size_t got = Device.rx.TakeForWait(in + progress, static_cast<size_t>(count - progress));
            if (got > 0) {
                progress += static_cast<int32_t>(got);
                if (interval_ms != 0) last_byte = TClock::now();
            }
            return ReadDone(false);
        },
        [&](short Events) {
            const TFillResult fill = Device.rx.FillFrom(device);
            if (fill.error != 0) WaitFailed(fill.error);
            // A hang-up ends the read once what is left has been taken; a
            // hang-up condition with nothing to read would otherwise wake
            // poll again at once.
            if (fill.hang_up || (fill.added == 0 && (Events & (POLLHUP | POLLERR)))) hang_up = true;
        });
}

int32_t TAsyncRequest::IssueWrite(TDeviceState* Device, const void* Buffer, int32_t Count) {
    Begin(0, Count);
    out = static_cast<const unsigned char*>(Buffer);
    if (!Device) IssueFailed(CError_WriteFailed, EBADF);
    if (Count < 0) IssueFailed(CError_WriteFailed, EINVAL);
    TDeviceState& device = *Device;
    ticket = device.abort_fd.Generation();
    if (Count > 0) {
        for (;;) {
            const ssize_t n = device.device->Write(Buffer, static_cast<size_t>(Count));
            if (n >= 0) {
                progress = static_cast<int32_t>(n);
                break;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN) break;
            IssueFailed(CError_WriteFailed, errno);
        }
        if (progress > 0) device.SignalTx();
    }
    if (progress == Count) {
        complete = true;
        return progress;
    }
    const uint64_t multiplier = device.timeouts.write_multiplier.load(std::memory_order_relaxed);
    const uint64_t constant = device.timeouts.write_constant.load(std::memory_order_relaxed);
    if (multiplier != 0 || constant != 0) total_ms = multiplier * static_cast<uint64_t>(Count) + constant;
    started = TClock::now();
    return 0;
}

int32_t TAsyncRequest::IssueRead(TDeviceState* Device, void* Buffer, int32_t Count) {
    Begin(1, Count);
    in = static_cast<unsigned char*>(Buffer);
    if (!Device) IssueFailed(CError_ReadFailed, EBADF);
    if (Count < 0) IssueFailed(CError_ReadFailed, EINVAL);
    TDeviceState& device = *Device;
    ticket = device.abort_fd.Generation();

    const uint32_t interval = device.timeouts.read_interval.load(std::memory_order_relaxed);
    const uint32_t multiplier = device.timeouts.read_multiplier.load(std::memory_order_relaxed);
    const uint32_t constant = device.timeouts.read_constant.load(std::memory_order_relaxed);
    const bool immediate = interval == kAllOnes && multiplier == 0 && constant == 0;
    if (interval == kAllOnes && multiplier == kAllOnes && constant != 0 && constant != kAllOnes) {
        first_byte_returns = true;
        total_ms = constant;
    } else {
        if (multiplier != 0 || constant != 0)
            total_ms = static_cast<uint64_t>(multiplier) * static_cast<uint64_t>(Count) + constant;
        if (interval != kAllOnes) interval_ms = interval;
    }

    if (Count > 0) ReadAvailable(device);
    if (ReadDone(immediate)) {
        complete = true;
        return progress;
    }
    started = TClock::now();
    return 0;
}

int32_t TAsyncRequest::Wait(TDeviceState* Device) {
    if (!issued || complete) return progress;
    if (!Device) WaitFailed(EBADF);
    return Kind == 0 ? CompleteWrite(*Device) : CompleteRead(*Device);
}

// Each call holds the device state for its whole length (TDeviceLease), so
// a Close on another thread waits for it instead of freeing the state
// under it.
int32_t TCustomComPort::WriteBytesAsync(const void* Buffer, int32_t Count, PAsync Request) {
    if (Request == nullptr) throw EComPort(CError_InvalidAsync);
    TDeviceLease lease(*this);
    return Request->IssueWrite(lease.get(), Buffer, Count);
}

int32_t TCustomComPort::ReadBytesAsync(void* Buffer, int32_t Count, PAsync Request) {
    if (Request == nullptr) throw EComPort(CError_InvalidAsync);
    TDeviceLease lease(*this);
    return Request->IssueRead(lease.get(), Buffer, Count);
}

int32_t TCustomComPort::ReadTextAsync(std::string& Text, int32_t Count, PAsync Request) {
    Text.resize(Count > 0 ? static_cast<size_t>(Count) : 0);
    if (Count <= 0) return 0;
    return ReadBytesAsync(Text.data(), Count, Request);
}

int32_t TCustomComPort::WaitAsyncRequest(PAsync Request) {
    if (Request == nullptr) throw EComPort(CError_InvalidAsync);
    if (!Request->issued || Request->complete) return Request->progress;
    TDeviceLease lease(*this);
    return Request->Wait(lease.get());
}

// The synchronous forms use a request record of their own on the stack: it
// lives only for the call, and a write that completes at once costs one
// write() and nothing else.
int32_t TCustomComPort::WriteBytes(const void* Buffer, int32_t Count) {
    TAsyncRequest request;
    TDeviceLease lease(*this);
    request.IssueWrite(lease.get(), Buffer, Count);
    return request.Wait(lease.get());
}

int32_t TCustomComPort::ReadBytes(void* Buffer, int32_t Count) {
    TAsyncRequest request;
    TDeviceLease lease(*this);
    request.IssueRead(lease.get(), Buffer, Count);
    return request.Wait(lease.get());
}

int32_t TCustomComPort::ReadText(std::string& Text, int32_t Count) {
    Text.resize(Count > 0 ? static_cast<size_t>(Count) : 0);
    if (Count <= 0) return 0;
    const int32_t n = ReadBytes(Text.data(), Count);
    Text.resize(static_cast<size_t>(n));
    return n;
}

// Ends every transfer wait in progress on this port, on any thread, and
// every request issued before this call whose wait has not started yet.
// Transfers issued afterwards run normally. Bytes already in the kernel's
// queues stay there.
void TCustomComPort::AbortPendingIO() {
    TDeviceLease lease(*this);
    if (!lease.get()) throw EComPort(CError_PurgeFailed, EBADF);
    lease.get()->abort_fd.Abort();
}

}  // namespace cport
