// SPDX-License-Identifier: MIT
// Internal: the hand-over of work from event threads to the thread that owns
// their port.
//
// Every thread that owns ports has a queue of its own, made on first use.
// Tasks wait in it until that thread runs them in CheckSynchronize() (or
// while it waits for an event thread to end, see ServeUntil). Queuing a task
// calls the wake hook that the owning thread installed for its queue, from
// the queuing thread. A sender reaches its owner through a THandOverGate,
// which belongs to the queue of the thread that made it. Three ways to queue:
//   SendAndWait          blocks until the task has run to its end; an error
//                        raised by the task is rethrown in the sender;
//   SendReleasedOnStart  blocks only until the owning thread starts the task;
//   Post                 does not block.
// Closing a gate (the stop request of the sending thread) withdraws a task
// that has not started yet (it will never run) and releases a sender whose
// task is already running; every later send on that gate is withdrawn at
// once. An error raised by a task whose sender no longer waits for it is
// given to ShowApplicationError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace cport::main_thread {

struct THandOver;
class TOwnerQueue;

class THandOverGate {
public:
    // Hand-overs through this gate go to the calling thread's queue.
    THandOverGate();
    ~THandOverGate();
    THandOverGate(const THandOverGate&) = delete;
    THandOverGate& operator=(const THandOverGate&) = delete;

    // Withdraws the pending hand-over of this gate, or releases its sender
    // if the task has started; later sends return Withdrawn.
    void Close();
    bool IsClosed() const;

private:
    friend struct TSendAccess;
    std::shared_ptr<TOwnerQueue> Queue_;
    mutable std::mutex Mutex_;
    bool Closed_ = false;
    std::shared_ptr<THandOver> Current_;
};

enum class THandOverResult {
    Completed,  // the task ran to its end (SendAndWait) or started (SendReleasedOnStart)
    Withdrawn,  // the gate was closed before the task started: it never runs
    Abandoned   // the gate was closed while the task was running: it finishes without the sender
};

THandOverResult SendAndWait(std::function<void()> Task, THandOverGate& Gate);
THandOverResult SendReleasedOnStart(std::function<void()> Task, THandOverGate& Gate);
void Post(std::function<void()> Task);                        // to the calling thread's queue
void Post(std::function<void()> Task, THandOverGate& Owner);  // to the gate's queue, open or closed

// On the owning thread: runs the tasks of its queue until Done() is true;
// with Only, just the hand-overs sent through that gate (other tasks wait
// for CheckSynchronize). Done is checked after every round of tasks and
// whenever WakeServers() is called; in between the thread sleeps.
void ServeUntil(const std::function<bool()>& Done, const THandOverGate* Only = nullptr);
void WakeServers();  // any thread: makes every ServeUntil check Done again

// Input read on the owning thread. When the owning thread's loop waits on
// its wait descriptor (MainThreadWaitDescriptor), an open port may have its
// device watched there too: CheckSynchronize then calls InputReady on the
// owning thread, after the queued tasks, whenever the device is ready, and
// the owner reads the input itself, with no event thread between the device
// and the handler.
class TInputWatch {
public:
    virtual ~TInputWatch() = default;
    // EpollEvents: what the device reported. True if a handler ran.
    virtual bool InputReady(uint32_t EpollEvents) = 0;
};

// Watches Fd (level-triggered, input and hang-up) on the wait descriptor of
// Gate's queue, if its thread has one. The id for UnwatchInput, 0 when not
// watched. Both on the owning thread; the watch is held weakly.
uint64_t WatchInput(THandOverGate& Gate, int Fd, std::weak_ptr<TInputWatch> Watch);
void UnwatchInput(THandOverGate& Gate, uint64_t Id, int Fd);

}  // namespace cport::main_thread
