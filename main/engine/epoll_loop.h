// SPDX-License-Identifier: MIT
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "cport/unique_fd.h"
#include "main/engine/session_port.h"

namespace varnolink {

// Drives any number of session ports on the calling thread: one epoll wait
// for all their descriptors, woken at the earliest of their deadlines. It
// keeps nothing per thread, so a thread may have any number of loops.
//
// A stop request (RequestStop from any thread, or a watched stop descriptor
// such as a signalfd becoming readable) asks every session to stop, either
// after the request on its line (the loop goes on serving until they have)
// or at once, leaving that request sent and unconfirmed.
enum class TStopWhen { AfterTheRequest, Now };

class TEpollLoop {
public:
    TEpollLoop();
    TEpollLoop(const TEpollLoop&) = delete;
    TEpollLoop& operator=(const TEpollLoop&) = delete;

    // The ports to serve; each stays the caller's and must outlive its
    // place here (Remove it before it goes).
    void Add(TSessionPort& Port);
    void Remove(TSessionPort& Port);

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
    // Calls Tick every Every from now (a periodic redraw). Every of 0 turns
    // it off.
    void SetTick(std::chrono::milliseconds Every, std::function<void()> Tick);

    // Serves the ports until Done() is true. Done is asked after every round.
    void RunUntil(const std::function<bool()>& Done);

private:
    void Watch(int Fd, void* Tag, uint32_t Events = EPOLLIN | EPOLLRDHUP);
    void Unwatch(int Fd);
    void SyncWatches();
    void TakeStop();
    void TakeStopFd();
    // A stop raised since the wait returned, looked for before a port
    // takes the input it has just read.
    void NoticeLateStop();
    bool Serves(const void* Port) const;
    int MillisecondsToNextDeadline() const;

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
    struct TEntry {
        TSessionPort* Port;
        int Watched;          // the descriptor in epoll, -1 for none
        uint32_t Events = 0;  // what it is watched for (a port that is connecting waits to write)
    };
    std::vector<TEntry> Entries_;
};

}  // namespace varnolink
