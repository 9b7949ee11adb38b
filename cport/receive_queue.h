// Internal: the port's receive queue.
//
// Every byte read from the device goes through this queue, whichever thread
// reads it (the event thread when it runs, otherwise the reading call
// itself), so the order of bytes is kept and InputQueueCount, ReadText and
// the events agree. The device runs with INPCK|PARMRK (IGNPAR and IGNBRK
// off), so the kernel marks a parity or framing error as \377 \0 c, a break
// as \377 \0 \0 and a literal 0xFF as \377 \377; FillFrom decodes these
// marks, counts the line errors, replaces bytes received with an error by
// ReplaceChar when asked, drops NULs when DiscardNull is on, and notes the
// arrival of the event character.
#pragma once

#include "cport/comport.h"
#include "cport/unique_fd.h"

#include <cstddef>
#include <deque>
#include <mutex>

namespace cport {

struct TFillResult {
    size_t added = 0;          // decoded bytes appended to the queue
    bool event_char = false;   // the event character was among them
    TComErrors errors;         // line errors found in this read
    bool hang_up = false;      // the device is gone (read of 0, EIO, POLLHUP)
};

// Settings FillFrom applies while decoding, copied from the port at open and
// whenever the line settings are applied.
struct TReceiveOptions {
    bool parity_check = false;
    bool replace = false;
    char replace_char = 0;
    bool discard_null = false;
    char event_char = 0;
};

class TReceiveQueue {
public:
    TReceiveQueue();
    void SetOptions(const TReceiveOptions& Options);
    TFillResult FillFrom(int fd);                 // reads everything waiting, never blocks
    size_t Count() const;                         // decoded bytes waiting
    size_t Take(void* Buffer, size_t Count);      // removes up to Count bytes
    TComErrors TakeErrors();                      // accumulated errors, cleared
    void InjectForTest(const void* Bytes, size_t Count, TComErrors Errors);  // simulated line input
    void Clear();
    int NotifyFd() const { return notify_fd_.get(); }   // eventfd, readable after bytes are added

private:
    mutable std::mutex mutex_;
    std::deque<unsigned char> bytes_;
    TComErrors errors_;
    TReceiveOptions options_;
    int pending_mark_ = 0;    // PARMRK decoding state carried across reads
    UniqueFd notify_fd_;
};

}  // namespace cport
