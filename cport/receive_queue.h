// SPDX-License-Identifier: MIT
// Internal: the port's receive queue.
//
// Every byte read from the device goes through this queue, whichever thread
// reads it (the event thread, the owning thread's loop, a reading call), and
// by one way: FillFrom reads the device into the queue, Take hands bytes out,
// reading the device itself when fewer are waiting than asked for. Every
// read of the device happens under the queue's lock, so the order of bytes
// is kept and InputQueueCount, ReadText and the events agree. A Take that
// finds the queue empty reads the device's bytes straight into the caller's
// buffer, which saves a copy and keeps the order all the same.
//
// The device runs with INPCK|PARMRK (IGNPAR, IGNBRK and BRKINT off), so the
// kernel marks a byte received with a parity or framing error as \377 \0 c,
// a break as \377 \0 \0 and a literal 0xFF as \377 \377. The queue decodes
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
//     FillFrom, nor for plain bytes a reading call has already taken (they
//     leave it nothing to report); what those additions brought is also
//     returned by its next FillFrom (Added, EventChar, Errors), so nothing
//     that reached the queue goes unreported (fills the caller reports
//     itself, TAnnounce::ByCaller, excepted until it hands them on);
//   - a transfer waiting for bytes (BeginWait ... EndWait) sees it readable
//     whenever bytes are waiting while it waits.
// Only a Take that leaves the queue empty while a transfer waits resets it,
// so the event thread must watch it edge-triggered.
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
    size_t Added = 0;            // decoded bytes appended to the queue (or handed to the caller)
    bool EventChar = false;      // the event character was among them
    TComErrors Errors;           // line errors found in this read
    bool HangUp = false;         // the device is gone (read of 0, EIO)
    int Error = 0;               // errno of a failed read (not EAGAIN, EINTR or EIO)
    size_t Waiting = 0;          // FillFrom: decoded bytes waiting in the queue after it
    bool ErrorsWaiting = false;  // FillFrom: errors accumulated and not yet taken
};

// Who is told of what a fill brought.
enum class TAnnounce {
    ToWatcher,  // the event thread (merged into the result when it is the caller)
    ByCaller    // the caller reports it itself or hands it on (HandToWatcher)
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

    // Reads everything waiting in the device, never blocks. Waiting
    // transfers are told of the bytes either way.
    TFillResult FillFrom(TByteSource& Source, TAnnounce Announce = TAnnounce::ToWatcher);
    TFillResult FillFrom(int Fd)
    {
        TFdSource Source(Fd);
        return FillFrom(Source);
    }
    // What a ByCaller fill brought, for the watcher after all. Wake: the
    // watcher is woken even when it brought nothing (the driver has counted
    // a line error the watcher is to report).
    void HandToWatcher(const TFillResult& Fill, bool Wake = false);

    // Takes up to Count bytes. With a Source, reads it when fewer are
    // waiting (into the caller's buffer when none are); Fill is what that
    // read brought. A take that leaves the queue empty while a transfer
    // waits resets NotifyFd, which any later addition sets again.
    size_t Take(void* Buffer, size_t Count);
    size_t Take(void* Buffer, size_t Count, TByteSource& Source, TFillResult& Fill);
    size_t Take(void* Buffer, size_t Count, int Fd, TFillResult& Fill)
    {
        TFdSource Source(Fd);
        return Take(Buffer, Count, Source, Fill);
    }
    size_t Count() const;                                                    // decoded bytes waiting
    TComErrors TakeErrors();                                                 // accumulated errors, cleared
    void InjectForTest(const void* Bytes, size_t Count, TComErrors Errors);  // simulated line input
    void Clear();                                                            // drops the waiting bytes (errors stay)
    // The eventfd is made at its first use: by a waiting transfer, an event
    // thread or this call (a port read only by its owner's loop needs none).
    // -1 when it cannot be had.
    int NotifyFd() const;
    int PrepareNotify() const;  // 0 or an errno

    // The event thread that watches NotifyFd; a default id: none.
    void SetWatcher(std::thread::id Watcher);

    // A transfer waiting for bytes on NotifyFd: BeginWait before its first
    // Take, EndWait when done.
    void BeginWait();
    void EndWait();

private:
    bool IsWatcher() const;
    size_t ReadLocked(TByteSource& Source, TFillResult& Result, unsigned char* Out = nullptr, size_t Count = 0);
    size_t Decode(unsigned char* Raw, size_t Skip, size_t Length, TFillResult& Result);
    void NoteEventChar(const unsigned char* Bytes, size_t Length, TFillResult& Result) const;
    void KeepWithinLimit(size_t Before, TFillResult& Result);
    void Announce(TFillResult& Result, bool ByWatcher, bool ToWatcher);
    void Signal();
    int PrepareNotifyLocked() const;
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
    mutable TUniqueFd NotifyFd_;
};

}  // namespace cport
