// Internal: the hand-over of work from event threads to the thread that owns
// the ports.
//
// Tasks wait in one process-wide queue until the owning thread runs them in
// CheckSynchronize() (or while it waits for an event thread to end, see
// ServeUntil). Queuing a task calls the application's wake hook from the
// queuing thread. Three ways to queue:
//   SendAndWait          blocks until the task has run to its end; an error
//                        raised by the task is rethrown in the sender;
//   SendReleasedOnStart  blocks only until the owning thread starts the task;
//   Post                 does not block.
// A sender waits through a THandOverGate. Closing the gate (the stop request
// of the sending thread) withdraws a task that has not started yet (it will
// never run) and releases a sender whose task is already running; every
// later send on that gate is withdrawn at once. An error raised by a task
// whose sender no longer waits for it is given to ShowApplicationError.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace cport::main_thread {

struct THandOver;

class THandOverGate {
public:
    // Withdraws the pending hand-over of this gate, or releases its sender
    // if the task has started; later sends return Withdrawn.
    void Close();
    bool IsClosed() const;

private:
    friend struct TSendAccess;
    mutable std::mutex mutex_;
    bool closed_ = false;
    std::shared_ptr<THandOver> current_;
};

enum class THandOverResult {
    Completed,   // the task ran to its end (SendAndWait) or started (SendReleasedOnStart)
    Withdrawn,   // the gate was closed before the task started: it never runs
    Abandoned    // the gate was closed while the task was running: it finishes without the sender
};

THandOverResult SendAndWait(std::function<void()> Task, THandOverGate& Gate);
THandOverResult SendReleasedOnStart(std::function<void()> Task, THandOverGate& Gate);
void Post(std::function<void()> Task);

// On the owning thread: runs queued tasks until Done() is true. Done is
// checked after every round of tasks and whenever WakeServers() is called;
// in between the thread sleeps.
void ServeUntil(const std::function<bool()>& Done);
void WakeServers();   // any thread: makes ServeUntil check Done again

}  // namespace cport::main_thread
