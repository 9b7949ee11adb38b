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

enum TMarkState { msNone = 0, msMark = 1, msMarkNul = 2 };

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

// Keeps room for one read chunk behind the waiting bytes.
void TReceiveQueue::MakeRoom() {
    if (capacity_ - tail_ >= kReadChunk || head_ == 0) return;
    std::memmove(storage_.get(), storage_.get() + head_, tail_ - head_);
    tail_ -= head_;
    head_ = 0;
}

TFillResult TReceiveQueue::FillFrom(int fd) {
    std::lock_guard lock(mutex_);
    TFillResult result;
    if (!storage_) return result;
    for (;;) {
        MakeRoom();
        const size_t room = capacity_ - tail_;
        const ssize_t n = ::read(fd, storage_.get() + tail_, room);
        if (n > 0) {
            Decode(tail_, static_cast<size_t>(n), result);
            if (static_cast<size_t>(n) < room) break;   // the device has nothing more
            continue;
        }
        if (n == 0) {
            result.hang_up = true;   // VMIN 1: end of file only when the far end is gone
            break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        if (errno == EIO)
            result.hang_up = true;
        else
            result.error = errno;
        break;
    }
    Announce(result, std::this_thread::get_id() == watcher_);
    return result;
}

// Decodes Length raw bytes at Start in place (the decoded form is never
// longer) and appends them to the waiting bytes.
void TReceiveQueue::Decode(size_t Start, size_t Length, TFillResult& Result) {
    unsigned char* const raw = storage_.get() + Start;
    size_t out = 0;
    if (pending_mark_ == msNone && !options_.discard_null &&
        std::memchr(raw, kMark, Length) == nullptr) {
        out = Length;   // nothing marked, nothing dropped: the bytes stay where they are
    } else {
        auto emit = [&](unsigned char c) {
            if (c == 0 && options_.discard_null) return;
            raw[out++] = c;
        };
        for (size_t i = 0; i < Length; ++i) {
            const unsigned char c = raw[i];
            switch (pending_mark_) {
            case msNone:
                if (c == kMark)
                    pending_mark_ = msMark;
                else
                    emit(c);
                break;
            case msMark:
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
                break;
            case msMarkNul:
                pending_mark_ = msNone;
                if (c == 0) {
                    Result.errors.Include(leBreak);
                } else if (options_.parity_enabled) {
                    Result.errors.Include(leRxParity);
                    emit(options_.replace ? static_cast<unsigned char>(options_.replace_char) : c);
                } else {
                    Result.errors.Include(leFrame);
                    emit(c);
                }
                break;
            }
        }
    }
    const size_t before = tail_ - head_;
    tail_ = Start + out;
    KeepWithinLimit(before, Result);
    const size_t kept = tail_ - head_ - before;
    if (kept > 0 &&
        std::memchr(storage_.get() + tail_ - kept, static_cast<unsigned char>(options_.event_char),
                    kept) != nullptr)
        Result.event_char = true;
    Result.added += kept;
    errors_ = errors_ | Result.errors;
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
    Announce(result, false);
}

// Tells the event thread and waiting transfers about an addition. The
// watcher's own reads are reported by their result, so they need no wake;
// additions by others are kept for its next FillFrom.
void TReceiveQueue::Announce(TFillResult& Result, bool ByWatcher) {
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
    if (own_added > 0 && waiters_ > 0 && !signalled_) Signal();
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
