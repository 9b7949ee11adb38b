// SPDX-License-Identifier: MIT
// The receive queue: decoding of the marked byte stream, the bounded store
// and the notification of waiters.
#include "cport/receive_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace cport {

namespace {

constexpr unsigned char MarkByte = 0xFF;

// memchr, with short runs (the usual reply of a few bytes) scanned inline:
// right after a read the library call costs more than the scan.
const void* Find(const unsigned char* Bytes, unsigned char Value, size_t Length)
{
    if (Length > 32)
        return std::memchr(Bytes, Value, Length);
    for (size_t I = 0; I < Length; ++I)
        if (Bytes[I] == Value)
            return Bytes + I;
    return nullptr;
}

enum TMarkState { msNone = 0, msMark = 1, msMarkNul = 2 };

// Where the next read of a loop goes; a null Where ends the loop.
struct TReadTarget {
    unsigned char* Where;
    size_t Room;
};

// Reads from Source while it has bytes: Next says where each read goes, Take
// handles the bytes of each read. The loop ends when a read comes back short
// (nothing more waiting) or with EAGAIN; at end of file or EIO (the far end is
// gone: Result.hang_up); and on any other error (Result.error).
template <typename TNext, typename TTake>
void ReadWhileWaiting(TByteSource& Source, TFillResult& Result, TNext Next, TTake Take)
{
    for (;;) {
        const TReadTarget Target = Next();
        if (Target.Where == nullptr)
            return;
        const ssize_t Count = Source.Read(Target.Where, Target.Room);
        if (Count > 0) {
            Take(static_cast<size_t>(Count));
            if (static_cast<size_t>(Count) < Target.Room)
                return;  // the device has nothing more
            continue;
        }
        if (Count == 0) {
            Result.HangUp = true;  // VMIN 1: end of file only when the far end is gone
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return;
        if (errno == EIO)
            Result.HangUp = true;
        else
            Result.Error = errno;
        return;
    }
}

}  // namespace

TReceiveQueue::TReceiveQueue() = default;
TReceiveQueue::~TReceiveQueue() = default;

int TReceiveQueue::Init()
{
    std::lock_guard Lock(Mutex_);
    Capacity_ = Limit_ + ReadChunk;
    Storage_.reset(new (std::nothrow) unsigned char[Capacity_]);
    if (!Storage_)
        return ENOMEM;
    return 0;
}

void TReceiveQueue::SetOptions(const TReceiveOptions& Options)
{
    std::lock_guard Lock(Mutex_);
    if (!Options.Marked)
        PendingMark_ = msNone;
    Options_ = Options;
}

TReceiveOptions TReceiveQueue::Options() const
{
    std::lock_guard Lock(Mutex_);
    return Options_;
}

void TReceiveQueue::SetLimit(size_t Limit)
{
    if (Limit == 0)
        Limit = 1;
    std::lock_guard Lock(Mutex_);
    const size_t Count = Tail_ - Head_;
    const size_t Capacity = std::max(Limit, Count) + ReadChunk;
    if (Capacity != Capacity_ || !Storage_) {
        std::unique_ptr<unsigned char[]> Storage(new unsigned char[Capacity]);
        if (Count > 0)
            std::memcpy(Storage.get(), Storage_.get() + Head_, Count);
        Storage_ = std::move(Storage);
        Capacity_ = Capacity;
        Head_ = 0;
        Tail_ = Count;
    }
    Limit_ = Limit;
}

size_t TReceiveQueue::Limit() const
{
    std::lock_guard Lock(Mutex_);
    return Limit_;
}

int TReceiveQueue::PrepareNotifyLocked() const
{
    if (!NotifyFd_)
        NotifyFd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return NotifyFd_ ? 0 : errno;
}

int TReceiveQueue::PrepareNotify() const
{
    std::lock_guard Lock(Mutex_);
    return PrepareNotifyLocked();
}

int TReceiveQueue::NotifyFd() const
{
    std::lock_guard Lock(Mutex_);
    PrepareNotifyLocked();
    return NotifyFd_.get();
}

void TReceiveQueue::SetWatcher(std::thread::id Watcher)
{
    std::lock_guard Lock(Mutex_);
    // Its additions are signalled from now on (the thread has made the
    // eventfd already when it watches it).
    if (Watcher != std::thread::id())
        PrepareNotifyLocked();
    Watcher_ = Watcher;
    Unreported_ = {};
}

bool TReceiveQueue::IsWatcher() const
{
    return Watcher_ != std::thread::id() && Watcher_ == std::this_thread::get_id();
}

// Keeps room for one read chunk behind the waiting bytes.
void TReceiveQueue::MakeRoom()
{
    if (Capacity_ - Tail_ >= ReadChunk || Head_ == 0)
        return;
    std::memmove(Storage_.get(), Storage_.get() + Head_, Tail_ - Head_);
    Tail_ -= Head_;
    Head_ = 0;
}

namespace {

// Adds what one fill brought to what others brought before.
void Merge(TFillResult& Into, const TFillResult& From)
{
    Into.Added += From.Added;
    Into.EventChar = Into.EventChar || From.EventChar;
    Into.Errors = Into.Errors | From.Errors;
}

bool BroughtAnything(const TFillResult& Fill)
{
    return Fill.Added > 0 || Fill.EventChar || !Fill.Errors.Empty();
}

}  // namespace

TFillResult TReceiveQueue::FillFrom(TByteSource& Source, TAnnounce To)
{
    std::lock_guard Lock(Mutex_);
    TFillResult Result;
    if (!Storage_)
        return Result;
    ReadLocked(Source, Result);
    if (To == TAnnounce::ToWatcher)
        Announce(Result, IsWatcher(), true);
    else
        Announce(Result, false, false);
    Result.Waiting = Tail_ - Head_;
    Result.ErrorsWaiting = !Errors_.Empty();
    return Result;
}

void TReceiveQueue::HandToWatcher(const TFillResult& Fill, bool Wake)
{
    std::lock_guard Lock(Mutex_);
    if (Watcher_ == std::thread::id())
        return;
    if (!Wake && !BroughtAnything(Fill))
        return;
    Merge(Unreported_, Fill);
    Signal();
}

size_t TReceiveQueue::Take(void* Buffer, size_t Count)
{
    std::lock_guard Lock(Mutex_);
    return TakeLocked(Buffer, Count);
}

size_t TReceiveQueue::Take(void* Buffer, size_t Count, TByteSource& Source, TFillResult& Fill)
{
    std::lock_guard Lock(Mutex_);
    auto* const Out = static_cast<unsigned char*>(Buffer);
    size_t N = TakeLocked(Out, Count);
    if (N == Count || !Storage_)
        return N;
    // The queue is empty: the device's bytes go straight to the caller, up
    // to a mark split at the end of a read, which the queue completes.
    if (PendingMark_ == msNone)
        N += ReadLocked(Source, Fill, Out + N, Count - N);
    if (N < Count && PendingMark_ != msNone) {
        ReadLocked(Source, Fill);
        N += TakeLocked(Out + N, Count - N);
    }
    Announce(Fill, IsWatcher(), true);
    return N;
}

// The one reader of the device: reads while it has bytes and decodes them,
// onto the queue's tail, or with Out straight into the caller's buffer (at
// most Count decoded bytes, only while the queue is empty so that the order
// is kept; ends early at a mark split at the end of a read). Returns the
// bytes put into Out.
size_t TReceiveQueue::ReadLocked(TByteSource& Source, TFillResult& Result, unsigned char* Out, size_t Count)
{
    size_t Gap = 0;
    size_t Got = 0;
    ReadWhileWaiting(
        Source, Result,
        [&]() -> TReadTarget {
            if (Out != nullptr) {
                if (Got == Count || PendingMark_ != msNone)
                    return {nullptr, 0};
                return {Out + Got, Count - Got};
            }
            MakeRoom();
            // A \377 left over from the previous read may turn out to be a byte
            // of its own; one spare byte in front keeps in-place decoding ahead.
            Gap = PendingMark_ == msMark ? 1 : 0;
            return {Storage_.get() + Tail_ + Gap, Capacity_ - Tail_ - Gap};
        },
        [&](size_t Length) {
            if (Out != nullptr) {
                const size_t Decoded = Decode(Out + Got, 0, Length, Result);
                NoteEventChar(Out + Got, Decoded, Result);
                Result.Added += Decoded;
                Got += Decoded;
                return;
            }
            const size_t Before = Tail_ - Head_;
            Tail_ += Decode(Storage_.get() + Tail_, Gap, Gap + Length, Result);
            KeepWithinLimit(Before, Result);
            const size_t Kept = Tail_ - Head_ - Before;
            NoteEventChar(Storage_.get() + Tail_ - Kept, Kept, Result);
            Result.Added += Kept;
        });
    return Got;
}

// Decodes the raw bytes at raw + Skip .. raw + Length in place, from raw on
// (the decoded form is never longer than the marked one), and returns the
// number of decoded bytes. Runs without a mark are moved as a whole; only
// the bytes of a mark go through the state machine.
size_t TReceiveQueue::Decode(unsigned char* Raw, size_t Skip, size_t Length, TFillResult& Result)
{
    const bool DiscardNull = Options_.DiscardNull;
    size_t Out = 0;
    auto Emit = [&](unsigned char C) {
        if (C == 0 && DiscardNull)
            return;
        Raw[Out++] = C;
    };
    if (!Options_.Marked) {  // nothing to decode (Skip is 0: no mark is ever pending)
        if (!DiscardNull)
            return Length;
        for (size_t In = 0; In < Length; ++In)
            Emit(Raw[In]);
        return Out;
    }
    size_t In = Skip;
    while (In < Length) {
        if (PendingMark_ == msNone) {
            const void* Mark = Find(Raw + In, MarkByte, Length - In);
            const size_t Run =
                Mark ? static_cast<size_t>(static_cast<const unsigned char*>(Mark) - (Raw + In)) : Length - In;
            if (DiscardNull) {
                for (size_t I = In; I < In + Run; ++I)
                    Emit(Raw[I]);
            } else {
                if (Out != In)
                    std::memmove(Raw + Out, Raw + In, Run);
                Out += Run;
            }
            In += Run;
            if (Mark != nullptr) {
                PendingMark_ = msMark;
                ++In;
            }
            continue;
        }
        const unsigned char C = Raw[In++];
        if (PendingMark_ == msMark) {
            if (C == MarkByte) {
                Emit(MarkByte);
                PendingMark_ = msNone;
            } else if (C == 0) {
                PendingMark_ = msMarkNul;
            } else {
                // Not a mark the kernel makes; keep both bytes as they came.
                Emit(MarkByte);
                Emit(C);
                PendingMark_ = msNone;
            }
            continue;
        }
        PendingMark_ = msNone;  // \377 \0 seen: c is a byte received with an error, or a break
        if (C == 0) {
            Result.Errors.Include(leBreak);
        } else if (Options_.ParityEnabled) {
            Result.Errors.Include(leRxParity);
            Emit(Options_.Replace ? static_cast<unsigned char>(Options_.ReplaceChar) : C);
        } else {
            Result.Errors.Include(leFrame);
            Emit(C);
        }
    }
    Errors_ = Errors_ | Result.Errors;
    return Out;
}

// Notes the arrival of the event character among Length decoded bytes.
void TReceiveQueue::NoteEventChar(const unsigned char* Bytes, size_t Length, TFillResult& Result) const
{
    if (Find(Bytes, static_cast<unsigned char>(Options_.EventChar), Length) != nullptr)
        Result.EventChar = true;
}

// Drops the newest bytes beyond the limit, as a full input queue does. Bytes
// that were waiting before (more than a lowered limit) stay.
void TReceiveQueue::KeepWithinLimit(size_t Before, TFillResult& Result)
{
    const size_t Allowed = std::max(Limit_, Before);
    if (Tail_ - Head_ <= Allowed)
        return;
    Tail_ = Head_ + Allowed;
    Result.Errors.Include(leRxOverflow);
}

// Simulated line input enters by the same way as the device's, as bytes
// already decoded: no marks are read in them, and a mark pending from the
// device stays pending for the device's next bytes.
void TReceiveQueue::InjectForTest(const void* Bytes, size_t Count, TComErrors Errors)
{
    class TMemorySource final : public TByteSource {
    public:
        TMemorySource(const void* Bytes, size_t Count) : Next_(static_cast<const unsigned char*>(Bytes)), Left_(Count)
        {}
        ssize_t Read(void* Buffer, size_t Count) override
        {
            if (Left_ == 0) {
                errno = EAGAIN;
                return -1;
            }
            const size_t N = std::min(Count, Left_);
            std::memcpy(Buffer, Next_, N);
            Next_ += N;
            Left_ -= N;
            return static_cast<ssize_t>(N);
        }

    private:
        const unsigned char* Next_;
        size_t Left_;
    };

    std::lock_guard Lock(Mutex_);
    if (!Storage_)
        return;
    TFillResult Result;
    Result.Errors = Errors;
    TMemorySource Source(Bytes, Count);
    const bool Marked = std::exchange(Options_.Marked, false);
    const int Pending = std::exchange(PendingMark_, msNone);
    ReadLocked(Source, Result);
    Options_.Marked = Marked;
    PendingMark_ = Pending;
    Errors_ = Errors_ | Result.Errors;
    Announce(Result, false, true);
}

// Tells the event thread and waiting transfers about what a read or an
// injection brought. The watcher's own reads report it in their result,
// together with what others added since; others' additions are kept for the
// watcher's next fill and wake it. Waiting transfers are woken while bytes
// wait in the queue.
void TReceiveQueue::Announce(TFillResult& Result, bool ByWatcher, bool ToWatcher)
{
    if (ByWatcher) {
        Merge(Result, Unreported_);
        Unreported_ = {};
    } else if (ToWatcher && Watcher_ != std::thread::id() && BroughtAnything(Result)) {
        Merge(Unreported_, Result);
        // One write per addition (the event thread watches edges), unless
        // the addition leaves it nothing to report: plain bytes a reader has
        // already taken (the event thread reports no evRxChar for an empty
        // queue). The window's reads of each reply wake no thread then.
        if (Tail_ > Head_ || Result.EventChar || !Result.Errors.Empty())
            Signal();
        return;
    }
    if (Tail_ > Head_ && Waiters_ > 0 && !Signalled_)
        Signal();
}

void TReceiveQueue::Signal()
{
    // Nobody waits on an eventfd that was never made.
    if (!NotifyFd_)
        return;
    const uint64_t One = 1;
    [[maybe_unused]] ssize_t N = ::write(NotifyFd_.get(), &One, sizeof One);
    Signalled_ = true;
}

size_t TReceiveQueue::Count() const
{
    std::lock_guard Lock(Mutex_);
    return Tail_ - Head_;
}

size_t TReceiveQueue::TakeLocked(void* Buffer, size_t Count)
{
    const size_t N = std::min(Count, Tail_ - Head_);
    if (N > 0) {
        std::memcpy(Buffer, Storage_.get() + Head_, N);
        Head_ += N;
    }
    if (Head_ != Tail_)
        return N;
    Head_ = Tail_ = 0;
    if (Signalled_ && Waiters_ > 0) {
        // Empty: a stale signal would wake a waiting transfer for nothing.
        // Any addition from now on writes the eventfd again.
        uint64_t Counter;
        [[maybe_unused]] ssize_t R = ::read(NotifyFd_.get(), &Counter, sizeof Counter);
        Signalled_ = false;
    }
    return N;
}

TComErrors TReceiveQueue::TakeErrors()
{
    std::lock_guard Lock(Mutex_);
    return std::exchange(Errors_, TComErrors{});
}

void TReceiveQueue::Clear()
{
    std::lock_guard Lock(Mutex_);
    Head_ = Tail_ = 0;
    PendingMark_ = msNone;
}

void TReceiveQueue::BeginWait()
{
    std::lock_guard Lock(Mutex_);
    PrepareNotifyLocked();
    ++Waiters_;
}

void TReceiveQueue::EndWait()
{
    std::lock_guard Lock(Mutex_);
    --Waiters_;
}

}  // namespace cport
