// SPDX-License-Identifier: MIT
// Internal: the port's receive queue.
//
// Every byte read from the device goes through this queue, whichever thread
// reads it (the event thread when it runs, otherwise the reading call
// itself), and every read of the device happens here under the queue's
// lock, so the order of bytes is kept and InputQueueCount, ReadText and the
// events agree. When a reading call finds the queue empty, the device's
// bytes are read and decoded straight into the caller's buffer (TakeOrFill),
// which saves a copy and keeps the order all the same.
//
// The device runs with INPCK|PARMRK (IGNPAR, IGNBRK and BRKINT off), so the
// kernel marks a byte received with a parity or framing error as \377 \0 c,
// a break as \377 \0 \0 and a literal 0xFF as \377 \377. FillFrom decodes
// these marks, also when a mark is split across two reads: a literal 0xFF
// becomes one 0xFF; a marked byte counts leRxParity when the line has a
// parity bit and leFrame otherwise (the stream cannot tell the two apart;
// where the driver counts them, TakeLineErrors uses its counts instead) and
// is kept, or replaced by ReplaceChar when Replace is on; a break counts
// leBreak and adds no byte. With DiscardNull on, NUL bytes are dropped. The
// arrival of the event character is noted.
//
// The queue holds at most Limit() bytes. Bytes that would go beyond it are
// dropped and counted as leRxOverflow: the queue never grows without bound.
// The port sets the limit from Buffer.InputSize, but never below
// MinimumLimit, so that the usual pattern (count, then read) never loses
// bytes the kernel had already accepted.
//
// NotifyFd() is an eventfd for those that wait for bytes without reading
// the device themselves:
//   - the event thread (SetWatcher) gets one write for every addition made
//     by another thread (a reading call, InjectForTest), never for its own
//     FillFrom; what those additions brought is also returned by its next
//     FillFrom (added, EventChar, errors), so nothing that reached the
//     queue goes unreported (reads the owning thread reports itself,
//     FillAndCountForOwner, excepted);
//   - a transfer waiting for bytes (BeginWait/TakeForWait/EndWait) sees it
//     readable whenever bytes are waiting while it waits.
// Nobody but TakeForWait resets it, so the event thread must watch it
// edge-triggered.
#pragma once

#include "cport/comport.h"
#include "cport/unique_fd.h"

#include <unistd.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

namespace cport {

// Where the queue's bytes come from: Read answers as read(2) on a
// non-blocking descriptor does (a count, 0 when the far end has gone, -1
// with errno; EAGAIN: nothing waiting).
class TByteSource {
public:
    virtual ~TByteSource() = default;
    virtual ssize_t Read(void* Buffer, size_t Count) = 0;
};

// A plain descriptor as a source.
class TFdSource final : public TByteSource {
public:
    explicit TFdSource(int Fd) : Fd_(Fd) {}
    ssize_t Read(void* Buffer, size_t Count) override { return ::read(Fd_, Buffer, Count); }

private:
    int Fd_;
};

struct TFillResult {
    size_t Added = 0;        // decoded bytes appended to the queue (or handed to the caller)
    bool EventChar = false;  // the event character was among them
    TComErrors Errors;       // line errors found in this read
    bool HangUp = false;     // the device is gone (read of 0, EIO)
    int Error = 0;           // errno of a failed read (not EAGAIN, EINTR or EIO)
};

// Settings FillFrom applies while decoding, copied from the port whenever
// the line settings are applied.
struct TReceiveOptions {
    bool Marked = true;          // the device marks errors in the stream (PARMRK); a network device never does
    bool ParityEnabled = false;  // the line has a parity bit: a marked byte is a parity error
    bool ParityCheck = false;    // parity errors are reported
    bool Replace = false;        // bytes with a parity error become ReplaceChar
    char ReplaceChar = 0;
    bool DiscardNull = false;
    char EventChar = 0;
};

class TReceiveQueue {
public:
    static constexpr size_t MinimumLimit = 64 * 1024;
    static constexpr size_t ReadChunk = 4096;  // room always kept for one read

    TReceiveQueue();
    ~TReceiveQueue();
    TReceiveQueue(const TReceiveQueue&) = delete;
    TReceiveQueue& operator=(const TReceiveQueue&) = delete;

    int Init();  // creates the eventfd and the storage; 0 or an errno

    void SetOptions(const TReceiveOptions& Options);
    TReceiveOptions Options() const;
    void SetLimit(size_t Limit);  // any value above 0; bytes beyond it are dropped
    size_t Limit() const;

    TFillResult FillFrom(TByteSource& Source);  // reads everything waiting, never blocks
    TFillResult FillFrom(int Fd)
    {
        TFdSource Source(Fd);
        return FillFrom(Source);
    }
    // FillFrom, then the number of bytes waiting; ClearErrors drops the
    // accumulated errors as well. One lock for all of it.
    size_t FillAndCount(TByteSource& Source, TFillResult& Result, bool ClearErrors);
    // For the owning thread that reads input in place of the event thread:
    // FillAndCount, but what the read brought is not announced to the
    // watcher; the caller reports it itself or hands it on (HandToWatcher).
    // Waiting transfers are told as always.
    size_t FillAndCountForOwner(TByteSource& Source, TFillResult& Result);
    // Wake: the watcher is woken even when Fill brought nothing (the driver
    // has counted a line error the watcher is to report).
    void HandToWatcher(const TFillResult& Fill, bool Wake = false);
    bool HasErrors() const;  // errors accumulated and not yet taken
    // Takes up to Count bytes, reading the device when fewer are waiting
    // (into the caller's buffer when none are). Result is what the device
    // read brought, empty when none was needed.
    size_t TakeOrFill(void* Buffer, size_t Count, TByteSource& Source, TFillResult& Result);
    size_t TakeOrFill(void* Buffer, size_t Count, int Fd, TFillResult& Result)
    {
        TFdSource Source(Fd);
        return TakeOrFill(Buffer, Count, Source, Result);
    }
    size_t Count() const;                                                    // decoded bytes waiting
    size_t Take(void* Buffer, size_t Count);                                 // removes up to Count bytes
    TComErrors TakeErrors();                                                 // accumulated errors, cleared
    void InjectForTest(const void* Bytes, size_t Count, TComErrors Errors);  // simulated line input
    void Clear();                                                            // drops the waiting bytes (errors stay)
    int NotifyFd() const { return NotifyFd_.get(); }

    // The event thread that watches NotifyFd; a default id: none.
    void SetWatcher(std::thread::id Watcher);

    // A transfer waiting for bytes: BeginWait before the first TakeForWait,
    // EndWait when done. TakeForWait takes like Take and, when the queue is
    // left empty, resets NotifyFd, which any later addition sets again.
    void BeginWait();
    size_t TakeForWait(void* Buffer, size_t Count);
    void EndWait();

private:
    bool IsWatcher() const;
    TFillResult FillLocked(TByteSource& Source, bool ToWatcher = true);
    size_t ReadDirect(unsigned char* Out, size_t Count, TByteSource& Source, TFillResult& Result);
    size_t Decode(unsigned char* Raw, size_t Skip, size_t Length, TFillResult& Result);
    void NoteEventChar(const unsigned char* Bytes, size_t Length, TFillResult& Result) const;
    void Append(const unsigned char* Bytes, size_t Length, TFillResult& Result);
    void KeepWithinLimit(size_t Before, TFillResult& Result);
    void Announce(TFillResult& Result, bool ByWatcher, bool Queued);
    void Signal();
    void MakeRoom();
    size_t TakeLocked(void* Buffer, size_t Count);

    mutable std::mutex Mutex_;
    size_t Head_ = 0, Tail_ = 0;                // waiting bytes: [Head_, Tail_)
    std::unique_ptr<unsigned char[]> Storage_;  // Limit_ + ReadChunk bytes
    size_t Capacity_ = 0;
    size_t Limit_ = MinimumLimit;
    int PendingMark_ = 0;     // PARMRK decoding state carried across reads
    int Waiters_ = 0;         // transfers waiting for bytes
    bool Signalled_ = false;  // NotifyFd written since its last reset
    TComErrors Errors_;
    TReceiveOptions Options_;
    std::thread::id Watcher_;
    TFillResult Unreported_;  // additions by others, for the watcher
    TUniqueFd NotifyFd_;
};

}  // namespace cport
