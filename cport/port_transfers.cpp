// SPDX-License-Identifier: MIT
// Data transfer and the queries about the line.
#include "cport/device_state.h"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <thread>
#include <typeinfo>

namespace cport {

// ---------------------------------------------------------------------------
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

using TClock = std::chrono::steady_clock;

// One outstanding transfer. Kind_ 0 = write, 1 = read. A request that never
// had a transfer issued on it waits as complete with 0 bytes.
struct TAsyncRequest {
    using TDeviceState = TCustomComPort::TDeviceState;

    // Issue and wait; Device is null when the port is closed (EBADF).
    // TxHeard: the write's evTxEmpty report has a listener (see TxEmptyHeard).
    int32_t IssueWrite(TDeviceState* Device, const void* Buffer, int32_t Count, bool TxHeard);
    static bool TxEmptyHeard(const TCustomComPort& Port, const TDeviceState* State);
    int32_t IssueRead(TDeviceState* Device, void* Buffer, int32_t Count);
    int32_t Wait(TDeviceState* Device);

    void Begin(uint8_t NewKind, int32_t Count);
    [[noreturn]] void IssueFailed(int32_t Code, int Error);
    [[noreturn]] void WaitFailed(int Error);
    int PollTimeout() const;
    bool ReadDone(bool Immediate) const;
    size_t Room();
    template <typename TTake>
    size_t TakeWhileFull(TTake Take);
    size_t TakeAvailable(TDeviceState& Device, TFillResult& Fill);
    void Received(size_t Got);
    int32_t CompleteWrite(TDeviceState& Device);
    int32_t CompleteRead(TDeviceState& Device);
    template <typename TDone, typename TOnDevice>
    int32_t PollUntilDone(TDeviceState& Device, int DeviceFd, short DeviceEvents, TReceiveQueue* Queue, TDone Done,
                          TOnDevice OnDevice);

private:
    friend class TCustomComPort;

    uint8_t Kind_ = 0;
    bool Issued_ = false;
    bool Complete_ = true;
    bool HangUp_ = false;
    bool FirstByteReturns_ = false;
    bool TxHeard_ = true;
    const unsigned char* Out_ = nullptr;
    unsigned char* In_ = nullptr;
    std::string* Grow_ = nullptr;  // ReadText: the string In_ points into, grown as bytes come
    int32_t Count_ = 0;
    int32_t Progress_ = 0;
    uint64_t Ticket_ = 0;            // abort generation when issued
    uint64_t TotalMs_ = UINT64_MAX;  // UINT64_MAX: no total limit
    uint32_t IntervalMs_ = 0;        // 0: no interval limit
    TClock::time_point Started_;
    TClock::time_point LastByte_;
};

void NewAsyncRequest(PAsync& Request)
{
    Request = new TAsyncRequest;
}

void FreeAsyncRequest(PAsync& Request)
{
    delete Request;
    Request = nullptr;
}

namespace {

constexpr uint32_t AllOnes = UINT32_MAX;

// The wait registration with the abort signal, left on every way out.
class TAbortWatch {
public:
    TAbortWatch(TAbortSignal& Signal, uint64_t Ticket)
        : Signal_(Signal), Ticket_(Ticket), Entered_(Signal.Enter(Ticket))
    {}
    ~TAbortWatch()
    {
        if (Entered_)
            Signal_.Leave(Ticket_);
    }
    TAbortWatch(const TAbortWatch&) = delete;
    TAbortWatch& operator=(const TAbortWatch&) = delete;
    bool Entered() const { return Entered_; }

private:
    TAbortSignal& Signal_;
    uint64_t Ticket_;
    bool Entered_;
};

class TQueueWait {
public:
    explicit TQueueWait(TReceiveQueue& Queue) : Queue_(Queue) { Queue_.BeginWait(); }
    ~TQueueWait() { Queue_.EndWait(); }
    TQueueWait(const TQueueWait&) = delete;
    TQueueWait& operator=(const TQueueWait&) = delete;

private:
    TReceiveQueue& Queue_;
};

}  // namespace

// Milliseconds poll may sleep before the nearer of the total and the
// interval limit; -1 for none, 0 when one has passed.
int TAsyncRequest::PollTimeout() const
{
    const auto Now = TClock::now();
    int64_t RemainingNs = INT64_MAX;
    auto Limit = [&](TClock::time_point Deadline) {
        RemainingNs = std::min<int64_t>(RemainingNs,
                                        std::chrono::duration_cast<std::chrono::nanoseconds>(Deadline - Now).count());
    };
    if (TotalMs_ != UINT64_MAX)
        Limit(Started_ + std::chrono::milliseconds(std::min<uint64_t>(TotalMs_, INT64_MAX / 1'000'000'000)));
    if (IntervalMs_ != 0 && Progress_ > 0)
        Limit(LastByte_ + std::chrono::milliseconds(IntervalMs_));
    if (RemainingNs == INT64_MAX)
        return -1;
    if (RemainingNs <= 0)
        return 0;
    const int64_t Ms = (RemainingNs + 999'999) / 1'000'000;  // round up: never wake early
    return Ms > INT_MAX ? INT_MAX : static_cast<int>(Ms);
}

void TAsyncRequest::Begin(uint8_t NewKind, int32_t Count)
{
    Kind_ = NewKind;
    Issued_ = true;
    Complete_ = false;
    HangUp_ = false;
    FirstByteReturns_ = false;
    Count_ = Count;
    Progress_ = 0;
    TotalMs_ = UINT64_MAX;
    IntervalMs_ = 0;
}

// A failed issue leaves the request as if nothing had been issued on it.
void TAsyncRequest::IssueFailed(int32_t Code, int Error)
{
    Issued_ = false;
    Complete_ = true;
    Progress_ = 0;
    throw EComPort(Code, Error);
}

void TAsyncRequest::WaitFailed(int Error)
{
    Complete_ = true;
    throw EComPort(Kind_ == 0 ? CError_WriteFailed : CError_ReadFailed, Error);
}

// Moves into the request what the receive queue holds, then what the device
// has, no more than the request still wants: what it does not want stays in
// the kernel. (Filling the queue instead would read on while a fast line
// keeps the device readable, and drop what went past the queue's limit.)
size_t TAsyncRequest::TakeAvailable(TDeviceState& Device, TFillResult& Fill)
{
    return TakeWhileFull(
        [&](unsigned char* Where, size_t Want) { return Device.Rx.Take(Where, Want, *Device.Device, Fill); });
}

// Room for the next take. A read into a string (ReadText) grows it only as
// bytes come, doubling from 4 KiB up to the count asked for, so that a large
// count reserves nothing it does not receive.
size_t TAsyncRequest::Room()
{
    if (Grow_ != nullptr && static_cast<size_t>(Progress_) == Grow_->size()) {
        Grow_->resize(std::min<size_t>(static_cast<size_t>(Count_), std::max<size_t>(4096, Grow_->size() * 2)));
        In_ = reinterpret_cast<unsigned char*>(Grow_->data());
    }
    return (Grow_ != nullptr ? Grow_->size() : static_cast<size_t>(Count_)) - static_cast<size_t>(Progress_);
}

// Takes into the request while each take fills the room it was given (only
// a growing string takes more than once).
template <typename TTake>
size_t TAsyncRequest::TakeWhileFull(TTake Take)
{
    size_t Total = 0;
    for (;;) {
        const size_t Want = Room();
        const size_t Got = Take(In_ + Progress_, Want);
        Received(Got);
        Total += Got;
        if (Got < Want || Progress_ == Count_)
            return Total;
    }
}

// Counts bytes moved into the request; the interval time-out runs from the last.
void TAsyncRequest::Received(size_t Got)
{
    Progress_ += static_cast<int32_t>(Got);
    if (Got > 0 && IntervalMs_ != 0)
        LastByte_ = TClock::now();
}

bool TAsyncRequest::ReadDone(bool Immediate) const
{
    return Progress_ == Count_ || Immediate || HangUp_ || (FirstByteReturns_ && Progress_ > 0);
}

// The wait both completions share: poll() on the device (DeviceFd, for
// DeviceEvents), the abort eventfd and, for a read, the receive queue's
// eventfd, until Done says the transfer is complete, a time limit passes or
// AbortPendingIO ends the wait. Done runs before every poll, OnDevice whenever the device is
// ready (with its revents).
template <typename TDone, typename TOnDevice>
int32_t TAsyncRequest::PollUntilDone(TDeviceState& Device, int DeviceFd, short DeviceEvents, TReceiveQueue* Queue,
                                     TDone Done, TOnDevice OnDevice)
{
    TAbortWatch Watch(Device.AbortFd, Ticket_);
    if (Watch.Entered()) {
        std::optional<TQueueWait> QueueWait;
        if (Queue != nullptr)
            QueueWait.emplace(*Queue);
        pollfd Fds[3] = {{DeviceFd, DeviceEvents, 0},
                         {Device.AbortFd.Fd(), POLLIN, 0},
                         {Queue != nullptr ? Queue->NotifyFd() : -1, POLLIN, 0}};
        const nfds_t Count = Queue != nullptr ? 3 : 2;
        for (;;) {
            if (Done())
                break;
            const int Timeout = PollTimeout();
            if (Timeout == 0)
                break;
            if (::poll(Fds, Count, Timeout) < 0) {
                if (errno == EINTR)
                    continue;
                WaitFailed(errno);
            }
            if (Fds[1].revents != 0)
                break;  // AbortPendingIO
            if (Fds[0].revents & POLLNVAL)
                WaitFailed(EBADF);
            if (Fds[0].revents != 0)
                OnDevice(Fds[0].revents);
        }
    }
    Complete_ = true;
    return Progress_;
}

int32_t TAsyncRequest::CompleteWrite(TDeviceState& Device)
{
    TDevice& Driver = *Device.Device;
    return PollUntilDone(
        Device, Driver.LineFd(), POLLOUT, nullptr, [&] { return Progress_ == Count_; },
        [&](short) {
            const ssize_t N = Driver.Write(Out_ + Progress_, static_cast<size_t>(Count_ - Progress_));
            if (N > 0) {
                Progress_ += static_cast<int32_t>(N);
                Device.SignalTx(TxHeard_);
            } else if (N < 0 && errno != EAGAIN && errno != EINTR) {
                WaitFailed(errno);
            }
        });
}

int32_t TAsyncRequest::CompleteRead(TDeviceState& Device)
{
    return PollUntilDone(
        Device, Device.Device->PollFd(), POLLIN, &Device.Rx,
        [&] {
            // Bytes another thread has read from the device arrive through the
            // queue; a take that empties it re-arms its eventfd.
            TakeWhileFull([&](unsigned char* Where, size_t Want) { return Device.Rx.Take(Where, Want); });
            return ReadDone(false);
        },
        [&](short Events) {
            TFillResult Fill;
            const size_t Got = TakeAvailable(Device, Fill);
            if (Fill.Error != 0)
                WaitFailed(Fill.Error);
            // A hang-up ends the read once what is left has been taken; a
            // hang-up condition with nothing to read would otherwise wake
            // poll again at once.
            if (Fill.HangUp || (Got == 0 && Fill.Added == 0 && (Events & (POLLHUP | POLLERR))))
                HangUp_ = true;
        });
}

int32_t TAsyncRequest::IssueWrite(TDeviceState* Device, const void* Buffer, int32_t Count, bool TxHeard)
{
    Begin(0, Count);
    TxHeard_ = TxHeard;
    Out_ = static_cast<const unsigned char*>(Buffer);
    if (!Device)
        IssueFailed(CError_WriteFailed, EBADF);
    if (Count < 0)
        IssueFailed(CError_WriteFailed, EINVAL);
    TDeviceState& State = *Device;
    Ticket_ = State.AbortFd.Generation();
    if (Count > 0) {
        for (;;) {
            const ssize_t N = State.Device->Write(Buffer, static_cast<size_t>(Count));
            if (N >= 0) {
                Progress_ = static_cast<int32_t>(N);
                break;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break;
            IssueFailed(CError_WriteFailed, errno);
        }
        if (Progress_ > 0)
            State.SignalTx(TxHeard_);
    }
    if (Progress_ == Count) {
        Complete_ = true;
        return Progress_;
    }
    const uint64_t Multiplier = State.Timeouts.WriteMultiplier.load(std::memory_order_relaxed);
    const uint64_t Constant = State.Timeouts.WriteConstant.load(std::memory_order_relaxed);
    if (Multiplier != 0 || Constant != 0)
        TotalMs_ = Multiplier * static_cast<uint64_t>(Count) + Constant;
    Started_ = TClock::now();
    return 0;
}

int32_t TAsyncRequest::IssueRead(TDeviceState* Device, void* Buffer, int32_t Count)
{
    Begin(1, Count);
    In_ = static_cast<unsigned char*>(Buffer);
    if (!Device)
        IssueFailed(CError_ReadFailed, EBADF);
    if (Count < 0)
        IssueFailed(CError_ReadFailed, EINVAL);
    TDeviceState& State = *Device;
    Ticket_ = State.AbortFd.Generation();

    const uint32_t Interval = State.Timeouts.ReadInterval.load(std::memory_order_relaxed);
    const uint32_t Multiplier = State.Timeouts.ReadMultiplier.load(std::memory_order_relaxed);
    const uint32_t Constant = State.Timeouts.ReadConstant.load(std::memory_order_relaxed);
    const bool Immediate = Interval == AllOnes && Multiplier == 0 && Constant == 0;
    if (Interval == AllOnes && Multiplier == AllOnes && Constant != 0 && Constant != AllOnes) {
        FirstByteReturns_ = true;
        TotalMs_ = Constant;
    } else {
        if (Multiplier != 0 || Constant != 0)
            TotalMs_ = static_cast<uint64_t>(Multiplier) * static_cast<uint64_t>(Count) + Constant;
        if (Interval != AllOnes)
            IntervalMs_ = Interval;
    }

    if (Count > 0) {
        TFillResult Fill;
        TakeAvailable(State, Fill);
        if (Fill.Error != 0)
            IssueFailed(CError_ReadFailed, Fill.Error);
        if (Fill.HangUp)
            HangUp_ = true;
    }
    if (ReadDone(Immediate)) {
        Complete_ = true;
        return Progress_;
    }
    Started_ = TClock::now();
    return 0;
}

int32_t TAsyncRequest::Wait(TDeviceState* Device)
{
    if (!Issued_ || Complete_)
        return Progress_;
    if (!Device)
        WaitFailed(EBADF);
    return Kind_ == 0 ? CompleteWrite(*Device) : CompleteRead(*Device);
}

// Whether a write's evTxEmpty report on a network port reaches anyone: an
// OnTxEmpty handler, or a subclass's NotifyTxEmpty. The handlers belong to
// the owning thread and are only looked at there; a write from any other
// thread, by a port of a derived class or to a local line (TxOwner unset) is
// taken as heard. One that is not wakes no thread: the window's one-byte
// writes to an rfc2217 port cost a send each and nothing more.
bool TAsyncRequest::TxEmptyHeard(const TCustomComPort& Port, const TDeviceState* State)
{
    if (State == nullptr || State->TxOwner.load(std::memory_order_relaxed) != std::this_thread::get_id())
        return true;
    const std::type_info& Type = typeid(Port);
    return static_cast<bool>(Port.OnTxEmpty) || (Type != typeid(TComPort) && Type != typeid(TCustomComPort));
}

// Each call holds the device state for its whole length (TDeviceLease), so
// a Close on another thread waits for it instead of freeing the state
// under it.
int32_t TCustomComPort::WriteBytesAsync(const void* Buffer, int32_t Count, PAsync Request)
{
    if (Request == nullptr)
        throw EComPort(CError_InvalidAsync);
    TDeviceLease Lease(*this);
    return Request->IssueWrite(Lease.get(), Buffer, Count, TAsyncRequest::TxEmptyHeard(*this, Lease.get()));
}

int32_t TCustomComPort::ReadBytesAsync(void* Buffer, int32_t Count, PAsync Request)
{
    if (Request == nullptr)
        throw EComPort(CError_InvalidAsync);
    TDeviceLease Lease(*this);
    return Request->IssueRead(Lease.get(), Buffer, Count);
}

int32_t TCustomComPort::ReadTextAsync(std::string& Text, int32_t Count, PAsync Request)
{
    Text.resize(Count > 0 ? static_cast<size_t>(Count) : 0);
    if (Count <= 0)
        return 0;
    return ReadBytesAsync(Text.data(), Count, Request);
}

int32_t TCustomComPort::WaitAsyncRequest(PAsync Request)
{
    if (Request == nullptr)
        throw EComPort(CError_InvalidAsync);
    if (!Request->Issued_ || Request->Complete_)
        return Request->Progress_;
    TDeviceLease Lease(*this);
    return Request->Wait(Lease.get());
}

// The synchronous forms use a request record of their own on the stack: it
// lives only for the call, and a write that completes at once costs one
// write() and nothing else.
int32_t TCustomComPort::WriteBytes(const void* Buffer, int32_t Count)
{
    TAsyncRequest Request;
    TDeviceLease Lease(*this);
    Request.IssueWrite(Lease.get(), Buffer, Count, TAsyncRequest::TxEmptyHeard(*this, Lease.get()));
    return Request.Wait(Lease.get());
}

int32_t TCustomComPort::ReadBytes(void* Buffer, int32_t Count)
{
    TAsyncRequest Request;
    TDeviceLease Lease(*this);
    Request.IssueRead(Lease.get(), Buffer, Count);
    return Request.Wait(Lease.get());
}

// The string grows with what arrives (see TAsyncRequest::Room).
int32_t TCustomComPort::ReadText(std::string& Text, int32_t Count)
{
    Text.clear();
    if (Count <= 0)
        return 0;
    TAsyncRequest Request;
    Request.Grow_ = &Text;
    TDeviceLease Lease(*this);
    Request.IssueRead(Lease.get(), Text.data(), Count);
    const int32_t N = Request.Wait(Lease.get());
    Text.resize(static_cast<size_t>(N));
    return N;
}

// Ends every transfer wait in progress on this port, on any thread, and
// every request issued before this call whose wait has not started yet.
// Transfers issued afterwards run normally. Bytes already in the kernel's
// queues stay there.
void TCustomComPort::AbortPendingIO()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_PurgeFailed, EBADF);
    Lease.get()->AbortFd.Abort();
}

// ---------------------------------------------------------------------------
// Queries about the line: bytes waiting, modem signals, line errors.

// Decodes whatever the kernel holds, so that the marks in it are counted.
void TCustomComPort::TDeviceState::DrainForQuery()
{
    const TFillResult Fill = Rx.FillFrom(*Device);
    if (Fill.Error != 0)
        throw EComPort(CError_ClearComFailed, Fill.Error);
}

bool TCustomComPort::TDeviceState::TakeCountedErrors(TComErrors& Errors)
{
    std::lock_guard Lock(CountsMutex);
    const int Error = Counts.Take(*Device, Errors);
    if (Error != 0 && Error != ENOTTY)
        throw EComPort(CError_ClearComFailed, Error);
    return Error == 0;
}

// Bytes a read could return at once. Like the classic query it also clears
// the line-error state: errors that came before it are not seen by a later
// TakeLineErrors.
int32_t TCustomComPort::InputQueueCount()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& Device = *Lease.get();
    const TFillResult Fill = Device.Rx.FillFrom(*Device.Device);
    if (Fill.Error != 0)
        throw EComPort(CError_ClearComFailed, Fill.Error);
    const size_t Count = Fill.Waiting;
    Device.Rx.TakeErrors();
    TComErrors Dropped;
    Device.TakeCountedErrors(Dropped);
    return Count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(Count);
}

int32_t TCustomComPort::InputWaitDescriptor()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ClearComFailed, EBADF);
    return Lease.get()->Device->LineFd();
}

// Errors of the received stream and the driver's counts, each reported once.
// Where the driver counts framing and parity errors its counts tell the two
// apart, which the marks in the stream cannot. Parity errors are dropped
// unless Parity.Check is on.
TComErrors TCustomComPort::TakeLineErrors()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& Device = *Lease.get();
    Device.DrainForQuery();
    TComErrors Errors = Device.Rx.TakeErrors();
    TComErrors Counted;
    if (Device.TakeCountedErrors(Counted))
        Errors = (Errors & TComErrors{leBreak, leIOError, leMode, leRxOverflow, leTxFull}) | Counted;
    if (!Device.Rx.Options().ParityCheck)
        Errors.Exclude(leRxParity);
    return Errors;
}

// A device without modem lines (a pseudo-terminal, some USB adapters) gives
// the empty set; that is asked once per open.
TLineSignals TCustomComPort::ModemSignals()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ModemStatFailed, EBADF);
    TLineSignals Signals;
    const int Error = Lease.get()->Device->ModemLines(Signals);
    if (Error == ENOTTY)
        return {};
    if (Error != 0)
        throw EComPort(CError_ModemStatFailed, Error);
    return Signals;
}

}  // namespace cport
