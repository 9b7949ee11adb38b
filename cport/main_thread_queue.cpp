// SPDX-License-Identifier: MIT
// The owning threads' hand-over queues, CheckSynchronize and the wake hooks.
#include "cport/main_thread_queue.h"

#include "cport/comport.h"
#include "cport/unique_fd.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cerrno>
#include <deque>
#include <exception>
#include <map>
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
    bool SenderWaitsForEnd = false;       // the sender takes the task's error
    bool Abandoned = false;               // the gate closed while the task ran
    const THandOverGate* Gate = nullptr;  // the gate of a send; none for a post
    std::exception_ptr Error;
};

class TOwnerQueue {
public:
    std::mutex Mutex;
    std::condition_variable WorkOrWake;
    std::deque<std::shared_ptr<THandOver>> Items;
    std::shared_ptr<const TWakeHook> WakeHook;

    // The wait descriptor, once asked for: an epoll set of WaitWake (written
    // for every task queued, id 0) and the watched devices (their ids).
    // Made once, never closed while the thread lives.
    TUniqueFd WaitEpoll, WaitWake;
    std::map<uint64_t, std::weak_ptr<TInputWatch>> Inputs;
    uint64_t NextInput = 1;
};

namespace {

// WakeServers reaches every queue through this list. Never destroyed: an
// event thread may still wake while the process exits.
struct TQueueList {
    std::mutex Mutex;
    std::vector<std::weak_ptr<TOwnerQueue>> Queues;
    std::atomic<uint64_t> Wakes{0};
};

TQueueList& Queues()
{
    static TQueueList* const List = new TQueueList;
    return *List;
}

// The calling thread's queue, made and listed on first use. Gates and
// event threads that still refer to it keep it after the thread has ended.
TOwnerQueue& QueueOfThisThread(std::shared_ptr<TOwnerQueue>* Share = nullptr)
{
    thread_local std::shared_ptr<TOwnerQueue> Own;
    if (!Own) {
        Own = std::make_shared<TOwnerQueue>();
        TQueueList& List = Queues();
        std::lock_guard Lock(List.Mutex);
        std::erase_if(List.Queues, [](const std::weak_ptr<TOwnerQueue>& Q) { return Q.expired(); });
        List.Queues.push_back(Own);
    }
    if (Share)
        *Share = Own;
    return *Own;
}

void WriteOne(int Fd)
{
    const uint64_t One = 1;
    [[maybe_unused]] auto N = ::write(Fd, &One, sizeof One);
}

void Enqueue(TOwnerQueue& Q, std::shared_ptr<THandOver> Item)
{
    std::shared_ptr<const TWakeHook> Hook;
    int WakeFd;
    {
        std::lock_guard Lock(Q.Mutex);
        Q.Items.push_back(std::move(Item));
        Hook = Q.WakeHook;
        WakeFd = Q.WaitWake.get();
    }
    Q.WorkOrWake.notify_all();
    if (Hook && *Hook)
        (*Hook)();
    if (WakeFd >= 0)
        WriteOne(WakeFd);
}

// Runs one dequeued task on the calling (owning) thread.
bool RunTask(THandOver& Item)
{
    bool SenderWaitsForStart;
    {
        std::lock_guard Lock(Item.Mutex);
        if (Item.State != TTaskState::Queued)
            return false;  // withdrawn
        Item.State = TTaskState::Running;
        SenderWaitsForStart = !Item.SenderWaitsForEnd;
    }
    // Releases a SendReleasedOnStart sender; a SendAndWait sender is not
    // woken for nothing while the task runs.
    if (SenderWaitsForStart)
        Item.Changed.notify_all();

    std::exception_ptr Error;
    try {
        Item.Task();
    } catch (...) {
        Error = std::current_exception();
    }
    Item.Task = nullptr;  // captured state is released on this thread

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
    if (Show)
        ShowApplicationError(Error);
    return true;
}

}  // namespace

// Gives the send functions access to the gate's pending hand-over.
struct TSendAccess {
    // Registers Item as the gate's pending hand-over; false if the gate is closed.
    static bool Begin(THandOverGate& Gate, const std::shared_ptr<THandOver>& Item)
    {
        std::lock_guard Lock(Gate.Mutex_);
        if (Gate.Closed_)
            return false;
        Gate.Current_ = Item;
        return true;
    }
    static void End(THandOverGate& Gate)
    {
        std::lock_guard Lock(Gate.Mutex_);
        Gate.Current_.reset();
    }
    static TOwnerQueue& Queue(THandOverGate& Gate) { return *Gate.Queue_; }
};

THandOverGate::THandOverGate()
{
    QueueOfThisThread(&Queue_);
}

THandOverGate::~THandOverGate() = default;

void THandOverGate::Close()
{
    std::shared_ptr<THandOver> Item;
    {
        std::lock_guard Lock(Mutex_);
        Closed_ = true;
        Item = Current_;
    }
    if (!Item)
        return;
    {
        std::lock_guard Lock(Item->Mutex);
        if (Item->State == TTaskState::Queued)
            Item->State = TTaskState::Withdrawn;
        Item->Abandoned = true;
    }
    Item->Changed.notify_all();
}

bool THandOverGate::IsClosed() const
{
    std::lock_guard Lock(Mutex_);
    return Closed_;
}

namespace {

THandOverResult Send(std::function<void()> Task, THandOverGate& Gate, bool WaitForEnd)
{
    auto Item = std::make_shared<THandOver>(std::move(Task));
    Item->SenderWaitsForEnd = WaitForEnd;
    Item->Gate = &Gate;
    if (!TSendAccess::Begin(Gate, Item))
        return THandOverResult::Withdrawn;
    Enqueue(TSendAccess::Queue(Gate), Item);

    THandOverResult Result;
    std::exception_ptr Error;
    {
        std::unique_lock Lock(Item->Mutex);
        Item->Changed.wait(Lock, [&] {
            if (Item->State == TTaskState::Withdrawn)
                return true;
            if (Item->State == TTaskState::Queued)
                return false;
            return !WaitForEnd || Item->State == TTaskState::Done || Item->Abandoned;
        });
        if (Item->State == TTaskState::Withdrawn) {
            Result = THandOverResult::Withdrawn;
        } else if (WaitForEnd && Item->State != TTaskState::Done) {
            Result = THandOverResult::Abandoned;  // its error, if any, goes to the display
        } else {
            Result = THandOverResult::Completed;
            Error = std::exchange(Item->Error, nullptr);
        }
    }
    TSendAccess::End(Gate);
    if (Error)
        std::rethrow_exception(Error);
    return Result;
}

// Takes the next task to run (of Only, when given) off the queue; none when
// there is none. The caller holds the queue's lock.
std::shared_ptr<THandOver> TakeNextLocked(TOwnerQueue& Q, const THandOverGate* Only)
{
    auto It = Q.Items.begin();
    if (Only)
        It = std::find_if(It, Q.Items.end(), [Only](const auto& Item) { return Item->Gate == Only; });
    if (It == Q.Items.end())
        return nullptr;
    std::shared_ptr<THandOver> Item = std::move(*It);
    Q.Items.erase(It);
    return Item;
}

// Runs the tasks queued when the call began (of Only, when given): a stream
// of new hand-overs cannot keep the owning thread in here.
bool RunQueued(TOwnerQueue& Q, const THandOverGate* Only)
{
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
        if (!Item)
            break;
        if (RunTask(*Item))
            Ran = true;
    }
    return Ran;
}

}  // namespace

THandOverResult SendAndWait(std::function<void()> Task, THandOverGate& Gate)
{
    return Send(std::move(Task), Gate, true);
}

THandOverResult SendReleasedOnStart(std::function<void()> Task, THandOverGate& Gate)
{
    return Send(std::move(Task), Gate, false);
}

void Post(std::function<void()> Task)
{
    Enqueue(QueueOfThisThread(), std::make_shared<THandOver>(std::move(Task)));
}

void Post(std::function<void()> Task, THandOverGate& Owner)
{
    Enqueue(TSendAccess::Queue(Owner), std::make_shared<THandOver>(std::move(Task)));
}

void WakeServers()
{
    TQueueList& List = Queues();
    std::vector<std::shared_ptr<TOwnerQueue>> Queues;
    {
        std::lock_guard Lock(List.Mutex);
        List.Wakes.fetch_add(1);
        for (const auto& Weak : List.Queues)
            if (auto Q = Weak.lock())
                Queues.push_back(std::move(Q));
    }
    for (const auto& Q : Queues) {
        // Taking the lock orders the wake after a server's check of the count.
        {
            std::lock_guard Lock(Q->Mutex);
        }
        Q->WorkOrWake.notify_all();
    }
}

void ServeUntil(const std::function<bool()>& Done, const THandOverGate* Only)
{
    TOwnerQueue& Q = QueueOfThisThread();
    TQueueList& AllQueues = Queues();
    auto HasWork = [&] {
        if (!Only)
            return !Q.Items.empty();
        return std::any_of(Q.Items.begin(), Q.Items.end(), [Only](const auto& Item) { return Item->Gate == Only; });
    };
    for (;;) {
        const uint64_t SeenWakes = AllQueues.Wakes.load();
        RunQueued(Q, Only);
        if (Done())
            return;
        std::unique_lock Lock(Q.Mutex);
        Q.WorkOrWake.wait(Lock, [&] { return HasWork() || AllQueues.Wakes.load() != SeenWakes; });
    }
}

uint64_t WatchInput(THandOverGate& Gate, int Fd, std::weak_ptr<TInputWatch> Watch)
{
    TOwnerQueue& Q = TSendAccess::Queue(Gate);
    std::lock_guard Lock(Q.Mutex);
    if (!Q.WaitEpoll)
        return 0;
    const uint64_t Id = Q.NextInput++;
    epoll_event Ev{};
    Ev.events = EPOLLIN | EPOLLRDHUP;
    Ev.data.u64 = Id;
    if (::epoll_ctl(Q.WaitEpoll.get(), EPOLL_CTL_ADD, Fd, &Ev) != 0)
        return 0;
    Q.Inputs.emplace(Id, std::move(Watch));
    return Id;
}

void UnwatchInput(THandOverGate& Gate, uint64_t Id, int Fd)
{
    TOwnerQueue& Q = TSendAccess::Queue(Gate);
    std::lock_guard Lock(Q.Mutex);
    if (Q.Inputs.erase(Id) > 0)
        ::epoll_ctl(Q.WaitEpoll.get(), EPOLL_CTL_DEL, Fd, nullptr);
}

namespace {

struct TReadyInput {
    uint64_t Id;
    std::shared_ptr<TInputWatch> Watch;
    uint32_t Events;
};

// The devices the wait descriptor reports ready now, with their watches;
// the wake eventfd is reset on the way.
std::vector<TReadyInput> ReadyInputs(TOwnerQueue& Q)
{
    std::vector<TReadyInput> Ready;
    epoll_event Events[16];
    const int N = ::epoll_wait(Q.WaitEpoll.get(), Events, 16, 0);
    std::lock_guard Lock(Q.Mutex);
    for (int I = 0; I < N; ++I) {
        if (Events[I].data.u64 == 0) {  // tasks queued: reset before they run, so later ones wake again
            uint64_t Counter;
            [[maybe_unused]] auto Read = ::read(Q.WaitWake.get(), &Counter, sizeof Counter);
            continue;
        }
        const auto It = Q.Inputs.find(Events[I].data.u64);
        if (It == Q.Inputs.end())
            continue;
        if (auto Watch = It->second.lock())
            Ready.push_back({It->first, std::move(Watch), Events[I].events});
    }
    return Ready;
}

// Runs the queued tasks, then serves the devices found ready before them.
// A device unwatched meanwhile (a task or a handler has closed its port) is
// skipped.
bool CheckSynchronizeOwner(TOwnerQueue& Q)
{
    if (!Q.WaitEpoll)
        return RunQueued(Q, nullptr);
    const std::vector<TReadyInput> Ready = ReadyInputs(Q);
    bool Ran = RunQueued(Q, nullptr);
    for (const TReadyInput& Input : Ready) {
        bool Watched;
        {
            std::lock_guard Lock(Q.Mutex);
            Watched = Q.Inputs.count(Input.Id) > 0;
        }
        if (Watched && Input.Watch->InputReady(Input.Events))
            Ran = true;
    }
    return Ran;
}

}  // namespace

}  // namespace main_thread

int MainThreadWaitDescriptor()
{
    main_thread::TOwnerQueue& Q = main_thread::QueueOfThisThread();
    std::lock_guard Lock(Q.Mutex);
    if (Q.WaitEpoll)
        return Q.WaitEpoll.get();
    TUniqueFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!Epoll)
        throw EComPort(CError_WaitFailed, errno);
    TUniqueFd Wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!Wake)
        throw EComPort(CError_WaitFailed, errno);
    epoll_event Ev{};
    Ev.events = EPOLLIN;
    Ev.data.u64 = 0;
    if (::epoll_ctl(Epoll.get(), EPOLL_CTL_ADD, Wake.get(), &Ev) != 0)
        throw EComPort(CError_WaitFailed, errno);
    if (!Q.Items.empty())
        main_thread::WriteOne(Wake.get());  // tasks queued before
    Q.WaitEpoll = std::move(Epoll);
    Q.WaitWake = std::move(Wake);
    return Q.WaitEpoll.get();
}

// The hook of the calling thread's queue.
void SetMainThreadWakeHook(TWakeHook Hook)
{
    auto Shared = Hook ? std::make_shared<const TWakeHook>(std::move(Hook)) : nullptr;
    main_thread::TOwnerQueue& Q = main_thread::QueueOfThisThread();
    std::lock_guard Lock(Q.Mutex);
    Q.WakeHook = std::move(Shared);
}

bool CheckSynchronize()
{
    return main_thread::CheckSynchronizeOwner(main_thread::QueueOfThisThread());
}

}  // namespace cport
