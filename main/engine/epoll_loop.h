// SPDX-License-Identifier: MIT
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "cport/unique_fd.h"
#include "main/engine/session_port.h"

namespace varnolink {

// Drives any number of session ports on the calling thread: one epoll wait
// for all their descriptors, woken at the earliest of their deadlines. It
// keeps nothing per thread, so a thread may have any number of loops. Besides
// the ports it serves descriptors that are not its own (the operator's
// input) and timers.
//
// The ports' deadlines are kept in a heap, and a port tells the loop when
// something in it changed (a chain started, a read, an open), so a round
// costs the ports that had input, the ports whose deadline is due and the
// ports touched since the last round, not every port it serves.
//
// A stop request (RequestStop from any thread, or a watched stop descriptor
// such as a signalfd becoming readable) asks every session to stop, either
// after the request on its line (the loop goes on serving until they have)
// or at once, leaving that request sent and unconfirmed.
enum class TStopWhen { AfterTheRequest, Now };

class TEpollLoop {
public:
    TEpollLoop();
    ~TEpollLoop();  // lets go of the ports it still serves
    TEpollLoop(const TEpollLoop&) = delete;
    TEpollLoop& operator=(const TEpollLoop&) = delete;

    // The ports to serve; each stays the caller's. A port that goes leaves
    // the loop by itself.
    void Add(TSessionPort& Port);
    void Remove(TSessionPort& Port);

    // Calls OnReadable whenever Fd, a descriptor the loop does not own (the
    // operator's input), is readable or has ended, while RunUntil serves;
    // OnReadable reads it (a descriptor left readable calls it every round).
    // False when Fd cannot be waited on: epoll takes no regular file and no
    // /dev/null. Watching a descriptor again replaces its callback.
    bool WatchReadable(int Fd, std::function<void()> OnReadable);
    // Also from inside its own callback.
    void UnwatchReadable(int Fd);

    // A descriptor that becomes readable when the user asks to stop; it is
    // watched, never read or closed (-1: none).
    void WatchStop(int Fd, TStopWhen When = TStopWhen::AfterTheRequest);
    // Any thread. A later stop Now overrides an earlier one after the request.
    void RequestStop(TStopWhen When = TStopWhen::AfterTheRequest);
    bool StopRequested() const { return Stopped_; }

    // Calls Tick once the time When names has come, while RunUntil serves;
    // the wait wakes for it, nothing polls. When is asked anew every round,
    // so it may follow the sessions (a countdown aligned to a reply's
    // deadline); nullopt: nothing due. An empty Tick turns it off.
    using TWhen = std::function<std::optional<TSessionTime>()>;
    void SetTimer(TWhen When, std::function<void()> Tick);
    // Calls Tick every Every from now, on a fixed grid as a periodic timer
    // does: a Tick that took longer than Every is followed by the next at
    // once, and the times it overran are not made up. Every of 0 turns it
    // off.
    void SetTick(std::chrono::milliseconds Every, std::function<void()> Tick);

    // Serves the ports until Done() is true. Done is asked after every round.
    void RunUntil(const std::function<bool()>& Done);

private:
    friend class TSessionPort;

    // A port's place; the slot number and its generation are the port's tag
    // in epoll and in the heap, so an event or a deadline of a port that has
    // left (and whose slot has been taken again) is told apart.
    struct TEntry {
        TSessionPort* Port = nullptr;
        uint32_t Generation = 0;
        int Watched = -1;                   // the descriptor in epoll, -1 for none
        uint32_t Events = 0;                // what it is watched for (a port that is connecting waits to write)
        std::optional<TSessionTime> Filed;  // the deadline the heap holds for it
        bool Changed = false;               // listed in Changed_
    };
    struct TDue {
        TSessionTime Deadline;
        uint32_t Slot;
        uint32_t Generation;
    };
    struct TReadableWatch {
        int Fd = -1;
        uint32_t Generation = 0;
        std::function<void()> OnReadable;
    };

    // The port in Slot has changed (it tells the loop itself).
    void PortChanged(uint32_t Slot);
    // The port's descriptor, what it waits for and its deadline, into epoll
    // and the heap.
    void Sync(uint32_t Slot);
    void SyncChanged();
    // StillOpen false: the port has closed the descriptor, which left the
    // epoll set with it; its number is not touched again (another thread
    // may have it by now).
    void UnwatchPort(uint32_t Slot, bool StillOpen = true);
    // Calls the port in Slot; what changed in it is taken at once.
    template <typename F>
    void CallPort(uint32_t Slot, F&& Call);
    // The ports whose filed deadline has come by Now.
    void TakeDue(TSessionTime Now, std::vector<uint32_t>& Due);
    bool Valid(const TDue& Due) const;
    void CompactDeadlines();

    void Watch(int Fd, uint64_t Tag, uint32_t Events = EPOLLIN | EPOLLRDHUP);
    void Unwatch(int Fd);
    void TakeStop();
    void TakeStopFd();
    // A stop raised since the wait returned, looked for once the round's
    // input has been read and before the requests it queued are written.
    void NoticeLateStop();
    int MillisecondsToNextDeadline();

    cport::TUniqueFd Epoll_;
    cport::TUniqueFd Stop_;
    int StopFd_ = -1;
    TStopWhen StopFdWhen_ = TStopWhen::AfterTheRequest;
    std::atomic<bool> Stopped_{false};
    std::atomic<bool> StopNow_{false};
    bool StopPassedOn_ = false;
    bool StopNowPassedOn_ = false;
    TWhen TickWhen_;
    std::function<void()> Tick_;

    std::vector<TEntry> Entries_;
    std::vector<uint32_t> FreeSlots_;
    std::size_t Ports_ = 0;
    // Ports touched from outside the loop's own calls since the last round:
    // their watches and deadlines are taken before the wait, and each gets
    // TimePassed after it (to hand on what a call left in its session).
    std::vector<uint32_t> Changed_;
    // The slot each watched port descriptor belongs to (+1; 0: none): a
    // number one port gave up may already be another port's.
    std::vector<uint32_t> WatchedBy_;
    std::vector<TDue> Deadlines_;  // a min-heap; entries no longer filed are skipped
    std::optional<uint32_t> Calling_;
    std::vector<TReadableWatch> Readable_;
};

}  // namespace varnolink
