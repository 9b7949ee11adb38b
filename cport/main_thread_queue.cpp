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
    explicit THandOver(std::function<void()> Work) : Task(std::move(Work)) {}

    std::function<void()> Task;
    std::mutex Mutex;
    std::condition_variable Changed;
    TTaskState State = TTaskState::Queued;
    bool SenderWaitsForEnd = false;   // the sender takes the task's error
    bool Abandoned = false;              // the gate closed while the task ran
    const THandOverGate* Gate = nullptr; // the gate of a send; none for a post
    std::exception_ptr Error;
};

class TOwnerQueue {
public:
    std::mutex Mutex;
    std::condition_variable WorkOrWake;
    std::deque<std::shared_ptr<THandOver>> Items;
    std::shared_ptr<const TWakeHook> WakeHook;
};

namespace {

// WakeServers reaches every queue through this list. Never destroyed: an
// event thread may still wake while the process exits.
struct TQueueList {
    std::mutex Mutex;
    std::vector<std::weak_ptr<TOwnerQueue>> Queues;
    std::atomic<uint64_t> Wakes{0};
};

TQueueList& Queues() {
    static TQueueList* const List = new TQueueList;
    return *List;
}

// The calling thread's queue, made and listed on first use. Gates and
// event threads that still refer to it keep it after the thread has ended.
TOwnerQueue& QueueOfThisThread(std::shared_ptr<TOwnerQueue>* Share = nullptr) {
    thread_local std::shared_ptr<TOwnerQueue> Own;
    if (!Own) {
        Own = std::make_shared<TOwnerQueue>();
        TQueueList& List = Queues();
        std::lock_guard Lock(List.Mutex);
        std::erase_if(List.Queues, [](const std::weak_ptr<TOwnerQueue>& Q) { return Q.expired(); });
        List.Queues.push_back(Own);
    }
    if (Share) *Share = Own;
    return *Own;
}

void Enqueue(TOwnerQueue& Q, std::shared_ptr<THandOver> Item) {
    std::shared_ptr<const TWakeHook> Hook;
    {
        std::lock_guard Lock(Q.Mutex);
        Q.Items.push_back(std::move(Item));
        Hook = Q.WakeHook;
    }
    Q.WorkOrWake.notify_all();
    if (Hook && *Hook) (*Hook)();
}

// Runs one dequeued task on the calling (owning) thread.
bool RunTask(THandOver& Item) {
    bool SenderWaitsForStart;
    {
        std::lock_guard Lock(Item.Mutex);
        if (Item.State != TTaskState::Queued) return false;   // withdrawn
        Item.State = TTaskState::Running;
        SenderWaitsForStart = !Item.SenderWaitsForEnd;
    }
    // Releases a SendReleasedOnStart sender; a SendAndWait sender is not
    // woken for nothing while the task runs.
    if (SenderWaitsForStart) Item.Changed.notify_all();

    std::exception_ptr Error;
    try {
        Item.Task();
    } catch (...) {
        Error = std::current_exception();
    }
    Item.Task = nullptr;   // captured state is released on this thread

    // The error goes to the waiting sender or to the display, never both;
    // this thread keeps no reference to an error it hands on.
    bool Show = false;
    {
        std::lock_guard Lock(Item.Mutex);
        Item.State = TTaskState::Done;
        if (Error) {
            if (Item.SenderWaitsForEnd && !Item.Abandoned)
                Item.Error = std::move(Error);
            else
                Show = true;
        }
    }
    Item.Changed.notify_all();
    if (Show) ShowApplicationError(Error);
    return true;
}

}  // namespace

// Gives the send functions access to the gate's pending hand-over.
struct TSendAccess {
    // Registers Item as the gate's pending hand-over; false if the gate is closed.
    static bool Begin(THandOverGate& Gate, const std::shared_ptr<THandOver>& Item) {
        std::lock_guard Lock(Gate.Mutex_);
        if (Gate.Closed_) return false;
        Gate.Current_ = Item;
        return true;
    }
    static void End(THandOverGate& Gate) {
        std::lock_guard Lock(Gate.Mutex_);
        Gate.Current_.reset();
    }
    static TOwnerQueue& Queue(THandOverGate& Gate) { return *Gate.Queue_; }
};

THandOverGate::THandOverGate() { QueueOfThisThread(&Queue_); }

THandOverGate::~THandOverGate() = default;

void THandOverGate::Close() {
    std::shared_ptr<THandOver> Item;
    {
        std::lock_guard Lock(Mutex_);
        Closed_ = true;
        Item = Current_;
    }
    if (!Item) return;
    {
        std::lock_guard Lock(Item->Mutex);
        if (Item->State == TTaskState::Queued) Item->State = TTaskState::Withdrawn;
        Item->Abandoned = true;
    }
    Item->Changed.notify_all();
}

bool THandOverGate::IsClosed() const {
    std::lock_guard Lock(Mutex_);
    return Closed_;
}

namespace {

THandOverResult Send(std::function<void()> Task, THandOverGate& Gate, bool WaitForEnd) {
    auto Item = std::make_shared<THandOver>(std::move(Task));
    Item->SenderWaitsForEnd = WaitForEnd;
    Item->Gate = &Gate;
    if (!TSendAccess::Begin(Gate, Item)) return THandOverResult::Withdrawn;
    Enqueue(TSendAccess::Queue(Gate), Item);

    THandOverResult Result;
    std::exception_ptr Error;
    {
        std::unique_lock Lock(Item->Mutex);
        Item->Changed.wait(Lock, [&] {
            if (Item->State == TTaskState::Withdrawn) return true;
            if (Item->State == TTaskState::Queued) return false;
            return !WaitForEnd || Item->State == TTaskState::Done || Item->Abandoned;
        });
        if (Item->State == TTaskState::Withdrawn) {
            Result = THandOverResult::Withdrawn;
        } else if (WaitForEnd && Item->State != TTaskState::Done) {
            Result = THandOverResult::Abandoned;   // its error, if any, goes to the display
        } else {
            Result = THandOverResult::Completed;
            Error = std::exchange(Item->Error, nullptr);
        }
    }
    TSendAccess::End(Gate);
    if (Error) std::rethrow_exception(Error);
    return Result;
}

// Takes the next task to run (of Only, when given) off the queue; none when
// there is none. The caller holds the queue's lock.
std::shared_ptr<THandOver> TakeNextLocked(TOwnerQueue& Q, const THandOverGate* Only) {
    auto It = Q.Items.begin();
    if (Only) It = std::find_if(It, Q.Items.end(), [Only](const auto& Item) { return Item->Gate == Only; });
    if (It == Q.Items.end()) return nullptr;
    std::shared_ptr<THandOver> Item = std::move(*It);
    Q.Items.erase(It);
    return Item;
}

// Runs the tasks queued when the call began (of Only, when given): a stream
// of new hand-overs cannot keep the owning thread in here.
bool RunQueued(TOwnerQueue& Q, const THandOverGate* Only) {
    size_t Budget;
    {
        std::lock_guard Lock(Q.Mutex);
        Budget = Q.Items.size();
    }
    bool Ran = false;
    while (Budget-- > 0) {
        std::shared_ptr<THandOver> Item;
        {
            std::lock_guard Lock(Q.Mutex);
            Item = TakeNextLocked(Q, Only);
        }
        if (!Item) break;
        if (RunTask(*Item)) Ran = true;
    }
    return Ran;
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
    TQueueList& List = Queues();
    std::vector<std::shared_ptr<TOwnerQueue>> Queues;
    {
        std::lock_guard Lock(List.Mutex);
        List.Wakes.fetch_add(1);
        for (const auto& Weak : List.Queues)
            if (auto Q = Weak.lock()) Queues.push_back(std::move(Q));
    }
    for (const auto& Q : Queues) {
        // Taking the lock orders the wake after a server's check of the count.
        { std::lock_guard Lock(Q->Mutex); }
        Q->WorkOrWake.notify_all();
    }
}

void ServeUntil(const std::function<bool()>& Done, const THandOverGate* Only) {
    TOwnerQueue& Q = QueueOfThisThread();
    TQueueList& list = Queues();
    auto HasWork = [&] {
        if (!Only) return !Q.Items.empty();
        return std::any_of(Q.Items.begin(), Q.Items.end(),
                           [Only](const auto& Item) { return Item->Gate == Only; });
    };
    for (;;) {
        const uint64_t seen = list.Wakes.load();
        RunQueued(Q, Only);
        if (Done()) return;
        std::unique_lock Lock(Q.Mutex);
        Q.WorkOrWake.wait(Lock, [&] { return HasWork() || list.Wakes.load() != seen; });
    }
}

}  // namespace main_thread

// The hook of the calling thread's queue.
void SetMainThreadWakeHook(TWakeHook Hook) {
    auto Shared = Hook ? std::make_shared<const TWakeHook>(std::move(Hook)) : nullptr;
    main_thread::TOwnerQueue& Q = main_thread::QueueOfThisThread();
    std::lock_guard Lock(Q.Mutex);
    Q.WakeHook = std::move(Shared);
}

bool CheckSynchronize() { return main_thread::RunQueued(main_thread::QueueOfThisThread(), nullptr); }

}  // namespace cport
