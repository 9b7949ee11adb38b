// SPDX-License-Identifier: MIT
// The owning threads' hand-over queues, CheckSynchronize and the wake hooks.
#include "cport/main_thread_queue.h"

#include "cport/comport.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <utility>
#include <vector>

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
    const THandOverGate* gate = nullptr; // the gate of a send; none for a post
    std::exception_ptr error;
};

class TOwnerQueue {
public:
    std::mutex mutex;
    std::condition_variable work_or_wake;
    std::deque<std::shared_ptr<THandOver>> items;
    std::shared_ptr<const TWakeHook> wake_hook;
};

namespace {

// WakeServers reaches every queue through this list. Never destroyed: an
// event thread may still wake while the process exits.
struct TQueueList {
    std::mutex mutex;
    std::vector<std::weak_ptr<TOwnerQueue>> queues;
    std::atomic<uint64_t> wakes{0};
};

TQueueList& Queues() {
    static TQueueList* const list = new TQueueList;
    return *list;
}

// The calling thread's queue, made and listed on first use. Gates and
// event threads that still refer to it keep it after the thread has ended.
TOwnerQueue& QueueOfThisThread(std::shared_ptr<TOwnerQueue>* Share = nullptr) {
    thread_local std::shared_ptr<TOwnerQueue> own;
    if (!own) {
        own = std::make_shared<TOwnerQueue>();
        TQueueList& list = Queues();
        std::lock_guard lock(list.mutex);
        std::erase_if(list.queues, [](const std::weak_ptr<TOwnerQueue>& q) { return q.expired(); });
        list.queues.push_back(own);
    }
    if (Share) *Share = own;
    return *own;
}

void Enqueue(TOwnerQueue& q, std::shared_ptr<THandOver> Item) {
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
    static TOwnerQueue& Queue(THandOverGate& Gate) { return *Gate.queue_; }
};

THandOverGate::THandOverGate() { QueueOfThisThread(&queue_); }

THandOverGate::~THandOverGate() = default;

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
    item->gate = &Gate;
    if (!TSendAccess::Begin(Gate, item)) return THandOverResult::Withdrawn;
    Enqueue(TSendAccess::Queue(Gate), item);

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

// Takes the next task to run (of Only, when given) off the queue; none when
// there is none. The caller holds the queue's lock.
std::shared_ptr<THandOver> TakeNextLocked(TOwnerQueue& q, const THandOverGate* Only) {
    auto it = q.items.begin();
    if (Only) it = std::find_if(it, q.items.end(), [Only](const auto& item) { return item->gate == Only; });
    if (it == q.items.end()) return nullptr;
    std::shared_ptr<THandOver> item = std::move(*it);
    q.items.erase(it);
    return item;
}

// Runs the tasks queued when the call began (of Only, when given): a stream
// of new hand-overs cannot keep the owning thread in here.
bool RunQueued(TOwnerQueue& q, const THandOverGate* Only) {
    size_t budget;
    {
        std::lock_guard lock(q.mutex);
        budget = q.items.size();
    }
    bool ran = false;
    while (budget-- > 0) {
        std::shared_ptr<THandOver> item;
        {
            std::lock_guard lock(q.mutex);
            item = TakeNextLocked(q, Only);
        }
        if (!item) break;
        if (RunTask(*item)) ran = true;
    }
    return ran;
}

}  // namespace

THandOverResult SendAndWait(std::function<void()> Task, THandOverGate& Gate) {
    return Send(std::move(Task), Gate, true);
}

THandOverResult SendReleasedOnStart(std::function<void()> Task, THandOverGate& Gate) {
    return Send(std::move(Task), Gate, false);
}

void Post(std::function<void()> Task) {
    Enqueue(QueueOfThisThread(), std::make_shared<THandOver>(std::move(Task)));
}

void Post(std::function<void()> Task, THandOverGate& Owner) {
    Enqueue(TSendAccess::Queue(Owner), std::make_shared<THandOver>(std::move(Task)));
}

void WakeServers() {
    TQueueList& list = Queues();
    std::vector<std::shared_ptr<TOwnerQueue>> queues;
    {
        std::lock_guard lock(list.mutex);
        list.wakes.fetch_add(1);
        for (const auto& weak : list.queues)
            if (auto q = weak.lock()) queues.push_back(std::move(q));
    }
    for (const auto& q : queues) {
        // Taking the lock orders the wake after a server's check of the count.
        { std::lock_guard lock(q->mutex); }
        q->work_or_wake.notify_all();
    }
}

void ServeUntil(const std::function<bool()>& Done, const THandOverGate* Only) {
    TOwnerQueue& q = QueueOfThisThread();
    TQueueList& list = Queues();
    auto has_work = [&] {
        if (!Only) return !q.items.empty();
        return std::any_of(q.items.begin(), q.items.end(),
                           [Only](const auto& item) { return item->gate == Only; });
    };
    for (;;) {
        const uint64_t seen = list.wakes.load();
        RunQueued(q, Only);
        if (Done()) return;
        std::unique_lock lock(q.mutex);
        q.work_or_wake.wait(lock, [&] { return has_work() || list.wakes.load() != seen; });
    }
}

}  // namespace main_thread

// The hook of the calling thread's queue.
void SetMainThreadWakeHook(TWakeHook Hook) {
    auto hook = Hook ? std::make_shared<const TWakeHook>(std::move(Hook)) : nullptr;
    main_thread::TOwnerQueue& q = main_thread::QueueOfThisThread();
    std::lock_guard lock(q.mutex);
    q.wake_hook = std::move(hook);
}

bool CheckSynchronize() { return main_thread::RunQueued(main_thread::QueueOfThisThread(), nullptr); }

}  // namespace cport
