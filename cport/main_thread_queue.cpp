// The process-wide hand-over queue, CheckSynchronize and the wake hook.
#include "cport/main_thread_queue.h"

#include "cport/comport.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <utility>

namespace cport {
namespace main_thread {

enum class TTaskState { Queued, Running, Done, Withdrawn };

struct THandOver {
    explicit THandOver(std::function<void()> Task) : task(std::move(Task)) {}

    std::function<void()> task;
    std::mutex mutex;
    std::condition_variable changed;
    TTaskState state = TTaskState::Queued;
    bool sender_waits_for_end = false;   // the sender takes the task's error
    bool abandoned = false;              // the gate closed while the task ran
    std::exception_ptr error;
};

namespace {

struct TQueue {
    std::mutex mutex;
    std::condition_variable work_or_wake;
    std::deque<std::shared_ptr<THandOver>> items;
    uint64_t wake_count = 0;
    std::shared_ptr<const TWakeHook> wake_hook;
};

// Never destroyed: an event thread may still queue or wake while the
// process exits.
TQueue& Queue() {
    static TQueue* const queue = new TQueue;
    return *queue;
}

void Enqueue(std::shared_ptr<THandOver> Item) {
    TQueue& q = Queue();
    std::shared_ptr<const TWakeHook> hook;
    {
        std::lock_guard lock(q.mutex);
        q.items.push_back(std::move(Item));
        hook = q.wake_hook;
    }
    q.work_or_wake.notify_all();
    if (hook && *hook) (*hook)();
}

// Runs one dequeued task on the calling (owning) thread.
bool RunTask(THandOver& Item) {
    bool sender_waits_for_start;
    {
        std::lock_guard lock(Item.mutex);
        if (Item.state != TTaskState::Queued) return false;   // withdrawn
        Item.state = TTaskState::Running;
        sender_waits_for_start = !Item.sender_waits_for_end;
    }
    // Releases a SendReleasedOnStart sender; a SendAndWait sender is not
    // woken for nothing while the task runs.
    if (sender_waits_for_start) Item.changed.notify_all();

    std::exception_ptr error;
    try {
        Item.task();
    } catch (...) {
        error = std::current_exception();
    }
    Item.task = nullptr;   // captured state is released on this thread

    // The error goes to the waiting sender or to the display, never both;
    // this thread keeps no reference to an error it hands on.
    bool show = false;
    {
        std::lock_guard lock(Item.mutex);
        Item.state = TTaskState::Done;
        if (error) {
            if (Item.sender_waits_for_end && !Item.abandoned)
                Item.error = std::move(error);
            else
                show = true;
        }
    }
    Item.changed.notify_all();
    if (show) ShowApplicationError(error);
    return true;
}

}  // namespace

// Gives the send functions access to the gate's pending hand-over.
struct TSendAccess {
    // Registers Item as the gate's pending hand-over; false if the gate is closed.
    static bool Begin(THandOverGate& Gate, const std::shared_ptr<THandOver>& Item) {
        std::lock_guard lock(Gate.mutex_);
        if (Gate.closed_) return false;
        Gate.current_ = Item;
        return true;
    }
    static void End(THandOverGate& Gate) {
        std::lock_guard lock(Gate.mutex_);
        Gate.current_.reset();
    }
};

void THandOverGate::Close() {
    std::shared_ptr<THandOver> item;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        item = current_;
    }
    if (!item) return;
    {
        std::lock_guard lock(item->mutex);
        if (item->state == TTaskState::Queued) item->state = TTaskState::Withdrawn;
        item->abandoned = true;
    }
    item->changed.notify_all();
}

bool THandOverGate::IsClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

namespace {

THandOverResult Send(std::function<void()> Task, THandOverGate& Gate, bool WaitForEnd) {
    auto item = std::make_shared<THandOver>(std::move(Task));
    item->sender_waits_for_end = WaitForEnd;
    if (!TSendAccess::Begin(Gate, item)) return THandOverResult::Withdrawn;
    Enqueue(item);

    THandOverResult result;
    std::exception_ptr error;
    {
        std::unique_lock lock(item->mutex);
        item->changed.wait(lock, [&] {
            if (item->state == TTaskState::Withdrawn) return true;
            if (item->state == TTaskState::Queued) return false;
            return !WaitForEnd || item->state == TTaskState::Done || item->abandoned;
        });
        if (item->state == TTaskState::Withdrawn) {
            result = THandOverResult::Withdrawn;
        } else if (WaitForEnd && item->state != TTaskState::Done) {
            result = THandOverResult::Abandoned;   // its error, if any, goes to the display
        } else {
            result = THandOverResult::Completed;
            error = std::exchange(item->error, nullptr);
        }
    }
    TSendAccess::End(Gate);
    if (error) std::rethrow_exception(error);
    return result;
}

}  // namespace

THandOverResult SendAndWait(std::function<void()> Task, THandOverGate& Gate) {
    return Send(std::move(Task), Gate, true);
}

THandOverResult SendReleasedOnStart(std::function<void()> Task, THandOverGate& Gate) {
    return Send(std::move(Task), Gate, false);
}

void Post(std::function<void()> Task) {
    Enqueue(std::make_shared<THandOver>(std::move(Task)));
}

void WakeServers() {
    TQueue& q = Queue();
    {
        std::lock_guard lock(q.mutex);
        ++q.wake_count;
    }
    q.work_or_wake.notify_all();
}

void ServeUntil(const std::function<bool()>& Done) {
    TQueue& q = Queue();
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard lock(q.mutex);
            seen = q.wake_count;
        }
        CheckSynchronize();
        if (Done()) return;
        std::unique_lock lock(q.mutex);
        q.work_or_wake.wait(lock, [&] { return !q.items.empty() || q.wake_count != seen; });
    }
}

}  // namespace main_thread

void SetMainThreadWakeHook(TWakeHook Hook) {
    auto hook = Hook ? std::make_shared<const TWakeHook>(std::move(Hook)) : nullptr;
    main_thread::TQueue& q = main_thread::Queue();
    std::lock_guard lock(q.mutex);
    q.wake_hook = std::move(hook);
}

bool CheckSynchronize() {
    main_thread::TQueue& q = main_thread::Queue();
    // Only the tasks queued when the call began: a stream of new hand-overs
    // cannot keep the owning thread in here.
    size_t budget;
    {
        std::lock_guard lock(q.mutex);
        budget = q.items.size();
    }
    bool ran = false;
    while (budget-- > 0) {
        std::shared_ptr<main_thread::THandOver> item;
        {
            std::lock_guard lock(q.mutex);
            if (q.items.empty()) break;
            item = std::move(q.items.front());
            q.items.pop_front();
        }
        if (main_thread::RunTask(*item)) ran = true;
    }
    return ran;
}

}  // namespace cport
