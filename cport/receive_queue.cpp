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

constexpr unsigned char kMark = 0xFF;

// memchr, with short runs (the usual reply of a few bytes) scanned inline:
// right after a read the library call costs more than the scan.
const void* Find(const unsigned char* Bytes, unsigned char Value, size_t Length) {
    if (Length > 32) return std::memchr(Bytes, Value, Length);
    for (size_t i = 0; i < Length; ++i)
        if (Bytes[i] == Value) return Bytes + i;
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
void ReadWhileWaiting(TByteSource& Source, TFillResult& Result, TNext Next, TTake Take) {
    for (;;) {
        const TReadTarget Target = Next();
        if (Target.Where == nullptr) return;
        const ssize_t Count = Source.Read(Target.Where, Target.Room);
        if (Count > 0) {
            Take(static_cast<size_t>(Count));
            if (static_cast<size_t>(Count) < Target.Room) return;   // the device has nothing more
            continue;
        }
        if (Count == 0) {
            Result.hang_up = true;   // VMIN 1: end of file only when the far end is gone
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return;
        if (errno == EIO)
            Result.hang_up = true;
        else
            Result.error = errno;
        return;
    }
}

}  // namespace

TReceiveQueue::TReceiveQueue() = default;
TReceiveQueue::~TReceiveQueue() = default;

int TReceiveQueue::Init() {
    std::lock_guard lock(mutex_);
    notify_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!notify_fd_) return errno;
    capacity_ = limit_ + kReadChunk;
    storage_.reset(new (std::nothrow) unsigned char[capacity_]);
    if (!storage_) return ENOMEM;
    return 0;
}

void TReceiveQueue::SetOptions(const TReceiveOptions& Options) {
    std::lock_guard lock(mutex_);
    if (!Options.marked) pending_mark_ = msNone;
    options_ = Options;
}

TReceiveOptions TReceiveQueue::Options() const {
    std::lock_guard lock(mutex_);
    return options_;
}

void TReceiveQueue::SetLimit(size_t Limit) {
    if (Limit == 0) Limit = 1;
    std::lock_guard lock(mutex_);
    const size_t count = tail_ - head_;
    const size_t capacity = std::max(Limit, count) + kReadChunk;
    if (capacity != capacity_ || !storage_) {
        std::unique_ptr<unsigned char[]> storage(new unsigned char[capacity]);
        if (count > 0) std::memcpy(storage.get(), storage_.get() + head_, count);
        storage_ = std::move(storage);
        capacity_ = capacity;
        head_ = 0;
        tail_ = count;
    }
    limit_ = Limit;
}

size_t TReceiveQueue::Limit() const {
    std::lock_guard lock(mutex_);
    return limit_;
}

void TReceiveQueue::SetWatcher(std::thread::id Watcher) {
    std::lock_guard lock(mutex_);
    watcher_ = Watcher;
    unreported_ = {};
}

bool TReceiveQueue::IsWatcher() const {
    return watcher_ != std::thread::id() && watcher_ == std::this_thread::get_id();
}

// Keeps room for one read chunk behind the waiting bytes.
void TReceiveQueue::MakeRoom() {
    if (capacity_ - tail_ >= kReadChunk || head_ == 0) return;
    std::memmove(storage_.get(), storage_.get() + head_, tail_ - head_);
    tail_ -= head_;
    head_ = 0;
}

TFillResult TReceiveQueue::FillFrom(TByteSource& Source) {
    std::lock_guard lock(mutex_);
    return FillLocked(Source);
}

size_t TReceiveQueue::FillAndCount(TByteSource& Source, TFillResult& Result, bool ClearErrors) {
    std::lock_guard lock(mutex_);
    Result = FillLocked(Source);
    if (ClearErrors) errors_ = {};
    return tail_ - head_;
}

size_t TReceiveQueue::TakeOrFill(void* Buffer, size_t Count, TByteSource& Source, TFillResult& Result) {
    std::lock_guard lock(mutex_);
    auto* const out = static_cast<unsigned char*>(Buffer);
    size_t n = TakeLocked(out, Count);
    if (n == Count || !storage_) return n;
    if (pending_mark_ == msNone) {
        // The queue is empty: the device's bytes go straight to the caller.
        n += ReadDirect(out + n, Count - n, Source, Result);
        if (n == Count || pending_mark_ == msNone) return n;
    }
    const TFillResult fill = FillLocked(Source);
    Result.added += fill.added;
    Result.event_char = Result.event_char || fill.event_char;
    Result.errors = Result.errors | fill.errors;
    Result.hang_up = Result.hang_up || fill.hang_up;
    if (fill.error != 0) Result.error = fill.error;
    return n + TakeLocked(out + n, Count - n);
}

// Reads and decodes into Out, which takes at most Count decoded bytes, while
// the device has bytes; ends early with a mark split at the end of a read
// (the queue's own read completes it). The queue is empty meanwhile, so the
// order of bytes is kept.
size_t TReceiveQueue::ReadDirect(unsigned char* Out, size_t Count, TByteSource& Source, TFillResult& Result) {
    size_t got = 0;
    ReadWhileWaiting(
        Source, Result,
        [&]() -> TReadTarget {
            if (got == Count || pending_mark_ != msNone) return {nullptr, 0};
            return {Out + got, Count - got};
        },
        [&](size_t Length) {
            const size_t decoded = Decode(Out + got, 0, Length, Result);
            NoteEventChar(Out + got, decoded, Result);
            Result.added += decoded;
            got += decoded;
        });
    Announce(Result, IsWatcher(), false);
    return got;
}

TFillResult TReceiveQueue::FillLocked(TByteSource& Source) {
    TFillResult result;
    if (!storage_) return result;
    size_t gap = 0;
    ReadWhileWaiting(
        Source, result,
        [&]() -> TReadTarget {
            MakeRoom();
            // A \377 left over from the previous read may turn out to be a byte
            // of its own; one spare byte in front keeps in-place decoding ahead.
            gap = pending_mark_ == msMark ? 1 : 0;
            return {storage_.get() + tail_ + gap, capacity_ - tail_ - gap};
        },
        [&](size_t Length) {
            const size_t before = tail_ - head_;
            tail_ += Decode(storage_.get() + tail_, gap, gap + Length, result);
            KeepWithinLimit(before, result);
            const size_t kept = tail_ - head_ - before;
            NoteEventChar(storage_.get() + tail_ - kept, kept, result);
            result.added += kept;
        });
    Announce(result, IsWatcher(), true);
    return result;
}

// Decodes the raw bytes at raw + Skip .. raw + Length in place, from raw on
// (the decoded form is never longer than the marked one), and returns the
// number of decoded bytes. Runs without a mark are moved as a whole; only
// the bytes of a mark go through the state machine.
size_t TReceiveQueue::Decode(unsigned char* raw, size_t Skip, size_t Length, TFillResult& Result) {
    const bool discard_null = options_.discard_null;
    size_t out = 0;
    auto emit = [&](unsigned char c) {
        if (c == 0 && discard_null) return;
        raw[out++] = c;
    };
    if (!options_.marked) {   // nothing to decode (Skip is 0: no mark is ever pending)
        if (!discard_null) return Length;
        for (size_t in = 0; in < Length; ++in) emit(raw[in]);
        return out;
    }
    size_t in = Skip;
    while (in < Length) {
        if (pending_mark_ == msNone) {
            const void* mark = Find(raw + in, kMark, Length - in);
            const size_t run = mark ? static_cast<size_t>(static_cast<const unsigned char*>(mark) - (raw + in))
                                    : Length - in;
            if (discard_null) {
                for (size_t i = in; i < in + run; ++i) emit(raw[i]);
            } else {
                if (out != in) std::memmove(raw + out, raw + in, run);
                out += run;
            }
            in += run;
            if (mark != nullptr) {
                pending_mark_ = msMark;
                ++in;
            }
            continue;
        }
        const unsigned char c = raw[in++];
        if (pending_mark_ == msMark) {
            if (c == kMark) {
                emit(kMark);
                pending_mark_ = msNone;
            } else if (c == 0) {
                pending_mark_ = msMarkNul;
            } else {
                // Not a mark the kernel makes; keep both bytes as they came.
                emit(kMark);
                emit(c);
                pending_mark_ = msNone;
            }
            continue;
        }
        pending_mark_ = msNone;   // \377 \0 seen: c is a byte received with an error, or a break
        if (c == 0) {
            Result.errors.Include(leBreak);
        } else if (options_.parity_enabled) {
            Result.errors.Include(leRxParity);
            emit(options_.replace ? static_cast<unsigned char>(options_.replace_char) : c);
        } else {
            Result.errors.Include(leFrame);
            emit(c);
        }
    }
    errors_ = errors_ | Result.errors;
    return out;
}

// Notes the arrival of the event character among Length decoded bytes.
void TReceiveQueue::NoteEventChar(const unsigned char* Bytes, size_t Length, TFillResult& Result) const {
    if (Find(Bytes, static_cast<unsigned char>(options_.event_char), Length) != nullptr)
        Result.event_char = true;
}

// Drops the newest bytes beyond the limit, as a full input queue does. Bytes
// that were waiting before (more than a lowered limit) stay.
void TReceiveQueue::KeepWithinLimit(size_t Before, TFillResult& Result) {
    const size_t allowed = std::max(limit_, Before);
    if (tail_ - head_ <= allowed) return;
    tail_ = head_ + allowed;
    Result.errors.Include(leRxOverflow);
}

void TReceiveQueue::Append(const unsigned char* Bytes, size_t Length, TFillResult& Result) {
    while (Length > 0) {
        MakeRoom();
        const size_t chunk = std::min(Length, capacity_ - tail_);
        const size_t before = tail_ - head_;
        unsigned char* const dest = storage_.get() + tail_;
        size_t out = 0;
        for (size_t i = 0; i < chunk; ++i) {
            if (Bytes[i] == 0 && options_.discard_null) continue;
            dest[out++] = Bytes[i];
        }
        tail_ += out;
        KeepWithinLimit(before, Result);
        const size_t kept = tail_ - head_ - before;
        if (kept > 0 && std::memchr(storage_.get() + tail_ - kept,
                                    static_cast<unsigned char>(options_.event_char), kept) != nullptr)
            Result.event_char = true;
        Result.added += kept;
        Bytes += chunk;
        Length -= chunk;
    }
}

void TReceiveQueue::InjectForTest(const void* Bytes, size_t Count, TComErrors Errors) {
    std::lock_guard lock(mutex_);
    if (!storage_) return;
    TFillResult result;
    result.errors = Errors;
    Append(static_cast<const unsigned char*>(Bytes), Count, result);
    errors_ = errors_ | result.errors;
    Announce(result, false, true);
}

// Tells the event thread and waiting transfers about an addition. The
// watcher's own reads are reported by their result, so they need no wake;
// additions by others are kept for its next FillFrom.
void TReceiveQueue::Announce(TFillResult& Result, bool ByWatcher, bool Queued) {
    const size_t own_added = Result.added;
    if (ByWatcher) {
        Result.added += unreported_.added;
        Result.event_char = Result.event_char || unreported_.event_char;
        Result.errors = Result.errors | unreported_.errors;
        unreported_ = {};
    } else if (watcher_ != std::thread::id() &&
               (own_added > 0 || Result.event_char || !Result.errors.Empty())) {
        unreported_.added += Result.added;
        unreported_.event_char = unreported_.event_char || Result.event_char;
        unreported_.errors = unreported_.errors | Result.errors;
        Signal();   // one write per addition: the event thread watches edges
        return;
    }
    if (Queued && own_added > 0 && waiters_ > 0 && !signalled_) Signal();
}

void TReceiveQueue::Signal() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(notify_fd_.get(), &one, sizeof one);
    signalled_ = true;
}

size_t TReceiveQueue::Count() const {
    std::lock_guard lock(mutex_);
    return tail_ - head_;
}

size_t TReceiveQueue::TakeLocked(void* Buffer, size_t Count) {
    const size_t n = std::min(Count, tail_ - head_);
    if (n > 0) {
        std::memcpy(Buffer, storage_.get() + head_, n);
        head_ += n;
    }
    if (head_ == tail_) head_ = tail_ = 0;
    return n;
}

size_t TReceiveQueue::Take(void* Buffer, size_t Count) {
    std::lock_guard lock(mutex_);
    return TakeLocked(Buffer, Count);
}

TComErrors TReceiveQueue::TakeErrors() {
    std::lock_guard lock(mutex_);
    return std::exchange(errors_, TComErrors{});
}

void TReceiveQueue::Clear() {
    std::lock_guard lock(mutex_);
    head_ = tail_ = 0;
    pending_mark_ = msNone;
}

void TReceiveQueue::BeginWait() {
    std::lock_guard lock(mutex_);
    ++waiters_;
}

size_t TReceiveQueue::TakeForWait(void* Buffer, size_t Count) {
    std::lock_guard lock(mutex_);
    const size_t n = TakeLocked(Buffer, Count);
    if (head_ == tail_ && signalled_) {
        // Empty: a stale signal would wake the wait for nothing. Any
        // addition from now on writes the eventfd again.
        uint64_t counter;
        [[maybe_unused]] ssize_t r = ::read(notify_fd_.get(), &counter, sizeof counter);
        signalled_ = false;
    }
    return n;
}

void TReceiveQueue::EndWait() {
    std::lock_guard lock(mutex_);
    --waiters_;
}

}  // namespace cport
