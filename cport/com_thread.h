// SPDX-License-Identifier: MIT
// Internal: the event thread of an open port.
//
// One TComThread runs per open port whose Events were not empty at Open. It
// sleeps in epoll on
//   - the device's PollFd (EPOLLIN | EPOLLRDHUP): input is read into the
//     port's receive queue (TReceiveQueue::FillFrom), which yields evRxChar
//     (bytes added), evRxFlag (the event character came), evRx80Full (the
//     queue count crossed 80 % of Buffer.InputSize), evError / evBreak (line
//     errors marked in the stream, overruns from the driver's counts);
//   - the receive queue's notify eventfd (edge-triggered), so that input
//     that reaches the queue by another path (a reading call on another
//     thread, simulated line input) is reported too;
//   - the port's tx eventfd, signalled after each write, and a timerfd that
//     re-checks the device's output queue until it has drained (evTxEmpty);
//   - the modem watch's eventfd: a helper thread blocks in the device's wait
//     for a modem-line change and reports CTS/DSR/RLSD/RING changes (evCTS,
//     evDSR, evRLSD, evRing);
//   - its own stop eventfd.
// Nothing is polled on a timer: every wake has a cause.
//
// Each wake collects one event set (only events of the mask read at start)
// and dispatches it by the port's SyncMethod:
//   smThreadSync  ProcessEvents runs on the owning thread through a blocking
//                 hand-over; the event thread waits until it has ended and
//                 gets any error raised in it;
//   smWindowSync  one report per event, in the fixed order, each run on the
//                 owning thread while the port is open; each send returns
//                 as soon as the owning thread starts on it;
//   smNone        ProcessEvents runs on the event thread.
// An error raised while an event set is processed is given once to the
// application's error display (on the owning thread) and the thread goes on
// serving events. When the device goes away (hang-up, EIO, end of file) the
// thread reports leIOError once through the same dispatch (when evError is in
// the mask) and then waits only for the stop request.
//
// Stopping (the destructor, on the owning thread): the stop eventfd wakes the
// thread; a hand-over it is blocked in is withdrawn if the owning thread has
// not started on it, and the thread is released from it if it has (a handler
// that closes its own port). The destructor then waits for the thread's end
// while serving the hand-overs of this thread only; other work queued for
// the owning thread waits for its own loop. Nothing the thread waits for can
// depend on the owning thread any more, so Close never deadlocks. Called on
// the event thread itself (smNone, a handler closing its port) the thread is
// left to end on its own as soon as the handler returns.
#pragma once

#include "cport/comport.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

namespace cport {

// Every event in the fixed processing order, with its flag in the classic
// serial event mask and the port's report helper for it.
struct TEventEntry {
    TComEvent Event;
    uint32_t Flag;
    void (TCustomComPort::*Report)();
};
extern const std::array<TEventEntry, 10> EventTable;

class TComThread {
public:
    // Creates the thread held: it waits for nothing until Release, which
    // Open calls once the port is fully open, so no event reaches a handler
    // of a port still opening. Reads the port's Events, EventPriority,
    // SyncMethod, Buffer.InputSize and bit rate here, on the creating
    // thread; they are not read again while the thread runs. Hand-overs go
    // to the creating thread, the port's owner.
    explicit TComThread(TCustomComPort* ComPort);
    // SignalStop, then waits for the thread to end while serving its own
    // hand-overs.
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    // Lets the held thread run (owning thread; once is enough).
    void Release();

    // Wakes the thread for its end; a hand-over it waits in is withdrawn
    // unless the owning thread has already started on it.
    void SignalStop();

    TComEvents Events() const { return Events_; }  // the mask in force
    std::thread::id ThreadId() const;

    // The processing of one event set in the fixed order, on the thread that
    // runs it. Stops early once Stopped is set (a handler has closed the port).
    static void ProcessEvents(TCustomComPort& ComPort, TComEvents Pending, const std::atomic<bool>& Stopped);
    // The report for a device that has gone away: NotifyError with leIOError.
    static void ReportDeviceLost(TCustomComPort& ComPort);

    // Simulated line input for tests: Bytes and Errors reach the port's
    // receive queue as if decoded from the device, and are reported by the
    // event thread like any arrival.
    static void InjectLineInputForTest(TCustomComPort& ComPort, const void* Bytes, size_t Count, TComErrors Errors);

    struct TShared;  // state shared by the thread object and the running thread

private:
    TComEvents Events_;
    std::shared_ptr<TShared> Shared_;
    std::thread Thread_;
    bool Released_ = false;
};

}  // namespace cport
