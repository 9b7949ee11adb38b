// SPDX-License-Identifier: MIT
// One epoll wait for many session ports, with their deadlines in a heap, the
// descriptors and timers of the caller and the stop requests.
#include "main/engine/epoll_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <system_error>

namespace varnolink {

namespace {

constexpr const char* SetUpWhat = "setting up the session loop";

// An epoll tag: what the descriptor is (the top two bits), the generation of
// its slot (30 bits) and the slot (32 bits).
enum class TTagKind : uint64_t { Port = 0, Readable = 1, Own = 2 };
constexpr uint32_t GenerationMask = 0x3FFF'FFFF;

constexpr uint64_t TagOf(TTagKind Kind, uint32_t Slot, uint32_t Generation)
{
    return (static_cast<uint64_t>(Kind) << 62) | (static_cast<uint64_t>(Generation & GenerationMask) << 32) | Slot;
}

constexpr TTagKind KindOf(uint64_t Tag)
{
    return static_cast<TTagKind>(Tag >> 62);
}

constexpr uint32_t SlotOf(uint64_t Tag)
{
    return static_cast<uint32_t>(Tag & 0xFFFF'FFFF);
}

constexpr uint32_t GenerationOf(uint64_t Tag)
{
    return static_cast<uint32_t>(Tag >> 32) & GenerationMask;
}

// The loop's own descriptors.
constexpr uint64_t StopTag = TagOf(TTagKind::Own, 0, 0);
constexpr uint64_t StopFdTag = TagOf(TTagKind::Own, 1, 0);

// The heap's order: the earliest deadline on top.
bool Later(const auto& A, const auto& B)
{
    return A.Deadline > B.Deadline;
}

}  // namespace

TEpollLoop::TEpollLoop()
    : Epoll_(cport::CreatedFd(::epoll_create1(EPOLL_CLOEXEC), SetUpWhat)),
      Stop_(cport::CreatedFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), SetUpWhat))
{
    Watch(Stop_.get(), StopTag);
}

TEpollLoop::~TEpollLoop()
{
    for (TEntry& Entry : Entries_) {
        if (Entry.Port != nullptr) {
            Entry.Port->Loop_ = nullptr;
        }
    }
}

void TEpollLoop::Watch(int Fd, uint64_t Tag, uint32_t Events)
{
    epoll_event Event{};
    Event.events = Events;
    Event.data.u64 = Tag;
    if (::epoll_ctl(Epoll_.get(), EPOLL_CTL_ADD, Fd, &Event) != 0)
        throw std::system_error(errno, std::generic_category(), "watching a descriptor");
}

void TEpollLoop::Unwatch(int Fd)
{
    // A descriptor already closed has left the epoll set by itself.
    ::epoll_ctl(Epoll_.get(), EPOLL_CTL_DEL, Fd, nullptr);
}

void TEpollLoop::Add(TSessionPort& Port)
{
    if (Port.Loop_ == this)
        return;
    if (Port.Loop_ != nullptr)
        Port.Loop_->Remove(Port);
    uint32_t Slot = 0;
    if (!FreeSlots_.empty()) {
        Slot = FreeSlots_.back();
        FreeSlots_.pop_back();
    } else {
        Slot = static_cast<uint32_t>(Entries_.size());
        Entries_.emplace_back();
    }
    TEntry& Entry = Entries_[Slot];
    Entry.Port = &Port;
    Entry.Watched = -1;
    Entry.Events = 0;
    Entry.Filed.reset();
    ++Ports_;
    Port.Loop_ = this;
    Port.LoopSlot_ = Slot;
    PortChanged(Slot);
}

void TEpollLoop::Remove(TSessionPort& Port)
{
    if (Port.Loop_ != this)
        return;
    const uint32_t Slot = Port.LoopSlot_;
    UnwatchPort(Slot);
    TEntry& Entry = Entries_[Slot];
    // Its events of this round, its deadlines in the heap and its place in
    // the list of changes are told apart by the generation or the null port.
    Entry.Port = nullptr;
    Entry.Generation = (Entry.Generation + 1) & GenerationMask;
    Entry.Filed.reset();
    FreeSlots_.push_back(Slot);
    --Ports_;
    Port.Loop_ = nullptr;
}

bool TEpollLoop::WatchReadable(int Fd, std::function<void()> OnReadable)
{
    UnwatchReadable(Fd);
    auto Free = std::find_if(Readable_.begin(), Readable_.end(), [](const TReadableWatch& W) { return W.Fd < 0; });
    if (Free == Readable_.end())
        Free = Readable_.insert(Readable_.end(), TReadableWatch{});
    const auto Slot = static_cast<uint32_t>(Free - Readable_.begin());
    epoll_event Event{};
    Event.events = EPOLLIN;
    Event.data.u64 = TagOf(TTagKind::Readable, Slot, Free->Generation);
    if (::epoll_ctl(Epoll_.get(), EPOLL_CTL_ADD, Fd, &Event) != 0) {
        // A regular file or /dev/null is always ready: it cannot be waited on.
        if (errno == EPERM)
            return false;
        throw std::system_error(errno, std::generic_category(), "watching a descriptor");
    }
    Free->Fd = Fd;
    Free->OnReadable = std::move(OnReadable);
    return true;
}

void TEpollLoop::UnwatchReadable(int Fd)
{
    for (TReadableWatch& Watch : Readable_) {
        if (Watch.Fd == Fd && Fd >= 0) {
            Unwatch(Fd);
            Watch.Fd = -1;
            Watch.Generation = (Watch.Generation + 1) & GenerationMask;
            Watch.OnReadable = nullptr;
        }
    }
}

void TEpollLoop::WatchStop(int Fd, TStopWhen When)
{
    if (StopFd_ >= 0)
        Unwatch(StopFd_);
    StopFd_ = Fd;
    StopFdWhen_ = When;
    if (Fd >= 0)
        Watch(Fd, StopFdTag);
}

void TEpollLoop::SetTimer(TWhen When, std::function<void()> Tick)
{
    TickWhen_ = Tick ? std::move(When) : TWhen{};
    Tick_ = std::move(Tick);
}

void TEpollLoop::SetTick(std::chrono::milliseconds Every, std::function<void()> Tick)
{
    if (Every.count() <= 0 || !Tick) {
        SetTimer({}, {});
        return;
    }
    // The next time is kept with the timer and moved on along its grid
    // before each call.
    auto Next = std::make_shared<TSessionTime>(TSessionClock::now() + Every);
    SetTimer([Next] { return std::optional<TSessionTime>(*Next); },
             [Next, Every, Tick = std::move(Tick)] {
                 const TSessionTime Now = TSessionClock::now();
                 while (*Next <= Now)
                     *Next += Every;
                 Tick();
             });
}

void TEpollLoop::RequestStop(TStopWhen When)
{
    if (When == TStopWhen::Now)
        StopNow_ = true;
    Stopped_ = true;
    const uint64_t One = 1;
    // A full counter already wakes the wait; nothing else can fail here.
    [[maybe_unused]] const ssize_t Written = ::write(Stop_.get(), &One, sizeof One);
}

void TEpollLoop::PortChanged(uint32_t Slot)
{
    // The port the loop is calling is taken as a whole after the call.
    if (Calling_ == Slot)
        return;
    TEntry& Entry = Entries_[Slot];
    if (!Entry.Changed) {
        Entry.Changed = true;
        Changed_.push_back(Slot);
    }
}

template <typename F>
void TEpollLoop::CallPort(uint32_t Slot, F&& Call)
{
    TSessionPort* const Port = Entries_[Slot].Port;
    const uint32_t Generation = Entries_[Slot].Generation;
    const std::optional<uint32_t> Outer = Calling_;
    Calling_ = Slot;
    struct TRestore {
        std::optional<uint32_t>& Calling;
        std::optional<uint32_t> Outer;
        ~TRestore() { Calling = Outer; }
    } Restore{Calling_, Outer};
    Call(*Port);
    // (A port its own call took out of the loop is gone from it.)
    if (Entries_[Slot].Port == Port && Entries_[Slot].Generation == Generation)
        Sync(Slot);
}

void TEpollLoop::UnwatchPort(uint32_t Slot, bool StillOpen)
{
    TEntry& Entry = Entries_[Slot];
    if (Entry.Watched < 0)
        return;
    const auto Fd = static_cast<std::size_t>(Entry.Watched);
    // A number another port has taken since is that port's watch now.
    if (Fd < WatchedBy_.size() && WatchedBy_[Fd] == Slot + 1) {
        if (StillOpen)
            Unwatch(Entry.Watched);
        WatchedBy_[Fd] = 0;
    }
    Entry.Watched = -1;
}

void TEpollLoop::Sync(uint32_t Slot)
{
    TEntry& Entry = Entries_[Slot];
    TSessionPort& Port = *Entry.Port;
    const int Fd = Port.Descriptor();
    // A descriptor the port no longer gives has been closed (a close, an
    // open's step), except for a lost device's, which stays open until the
    // port is closed.
    if (Entry.Watched >= 0 && Entry.Watched != Fd)
        UnwatchPort(Slot, Port.DeviceLost());
    if (Fd >= 0) {
        const uint32_t Events = Port.WatchEvents();
        epoll_event Event{};
        Event.events = Events;
        Event.data.u64 = TagOf(TTagKind::Port, Slot, Entry.Generation);
        if (Entry.Watched < 0) {
            const auto At = static_cast<std::size_t>(Fd);
            if (At >= WatchedBy_.size())
                WatchedBy_.resize(std::max(At + 1, WatchedBy_.size() * 2), 0);
            // The port that had this number before has closed it.
            if (const uint32_t Before = WatchedBy_[At]; Before != 0 && Before != Slot + 1)
                Entries_[Before - 1].Watched = -1;
            if (::epoll_ctl(Epoll_.get(), EPOLL_CTL_ADD, Fd, &Event) != 0 &&
                (errno != EEXIST || ::epoll_ctl(Epoll_.get(), EPOLL_CTL_MOD, Fd, &Event) != 0))
                throw std::system_error(errno, std::generic_category(), "watching a descriptor");
            WatchedBy_[At] = Slot + 1;
            Entry.Watched = Fd;
            Entry.Events = Events;
        } else if (Events != Entry.Events) {
            // The same descriptor, watched for something else now (a
            // connection made: from room to write to input).
            if (::epoll_ctl(Epoll_.get(), EPOLL_CTL_MOD, Fd, &Event) != 0)
                throw std::system_error(errno, std::generic_category(), "watching a descriptor");
            Entry.Events = Events;
        }
    }
    const std::optional<TSessionTime> Deadline = Port.NextDeadline();
    if (Deadline != Entry.Filed) {
        Entry.Filed = Deadline;
        if (Deadline) {
            Deadlines_.push_back({*Deadline, Slot, Entry.Generation});
            std::push_heap(Deadlines_.begin(), Deadlines_.end(), Later<TDue, TDue>);
        }
    }
}

void TEpollLoop::SyncChanged()
{
    for (const uint32_t Slot : Changed_)
        if (Entries_[Slot].Port != nullptr)
            Sync(Slot);
    // Deadlines moved on leave their old entries behind; past a bound the
    // heap is made anew from what is filed.
    if (Deadlines_.size() > 4 * Ports_ + 1024)
        CompactDeadlines();
}

void TEpollLoop::CompactDeadlines()
{
    Deadlines_.clear();
    for (std::size_t Slot = 0; Slot < Entries_.size(); ++Slot) {
        const TEntry& Entry = Entries_[Slot];
        if (Entry.Port != nullptr && Entry.Filed)
            Deadlines_.push_back({*Entry.Filed, static_cast<uint32_t>(Slot), Entry.Generation});
    }
    std::make_heap(Deadlines_.begin(), Deadlines_.end(), Later<TDue, TDue>);
}

bool TEpollLoop::Valid(const TDue& Due) const
{
    const TEntry& Entry = Entries_[Due.Slot];
    return Entry.Port != nullptr && Entry.Generation == Due.Generation && Entry.Filed == Due.Deadline;
}

void TEpollLoop::TakeDue(TSessionTime Now, std::vector<uint32_t>& Due)
{
    while (!Deadlines_.empty() && Deadlines_.front().Deadline <= Now) {
        std::pop_heap(Deadlines_.begin(), Deadlines_.end(), Later<TDue, TDue>);
        const TDue Top = Deadlines_.back();
        Deadlines_.pop_back();
        if (!Valid(Top))
            continue;
        // Taken: the port files its deadline anew after its call.
        Entries_[Top.Slot].Filed.reset();
        Due.push_back(Top.Slot);
    }
}

void TEpollLoop::TakeStop()
{
    if (StopNow_ && !StopNowPassedOn_) {
        StopNowPassedOn_ = StopPassedOn_ = true;
        for (uint32_t Slot = 0; Slot < Entries_.size(); ++Slot)
            if (Entries_[Slot].Port != nullptr)
                CallPort(Slot, [](TSessionPort& Port) { Port.StopNow(); });
        return;
    }
    if (!Stopped_ || StopPassedOn_)
        return;
    StopPassedOn_ = true;
    for (uint32_t Slot = 0; Slot < Entries_.size(); ++Slot)
        if (Entries_[Slot].Port != nullptr)
            CallPort(Slot, [](TSessionPort& Port) { Port.RequestStop(); });
}

void TEpollLoop::TakeStopFd()
{
    // Not ours to read: stop watching it, the request is taken.
    Unwatch(StopFd_);
    StopFd_ = -1;
    if (StopFdWhen_ == TStopWhen::Now)
        StopNow_ = true;
    Stopped_ = true;
}

// The replies read in this round may have been sent after a stop that the
// wait did not report yet (a port woke for earlier bytes, an echo): the stop
// then comes first. The replies have only queued their next requests, so one
// look before those are written is enough. RequestStop's flag is set before
// its wake, so only a watched descriptor needs a look.
void TEpollLoop::NoticeLateStop()
{
    if (!Stopped_ && StopFd_ >= 0) {
        pollfd Stop{StopFd_, POLLIN, 0};
        if (::poll(&Stop, 1, 0) == 1 && (Stop.revents & POLLIN) != 0)
            TakeStopFd();
    }
    TakeStop();
}

int TEpollLoop::MillisecondsToNextDeadline()
{
    // Entries no longer filed are dropped on the way to the earliest one.
    while (!Deadlines_.empty() && !Valid(Deadlines_.front())) {
        std::pop_heap(Deadlines_.begin(), Deadlines_.end(), Later<TDue, TDue>);
        Deadlines_.pop_back();
    }
    std::optional<TSessionTime> Earliest;
    if (!Deadlines_.empty())
        Earliest = Deadlines_.front().Deadline;
    if (TickWhen_)
        if (const auto Due = TickWhen_())
            Earliest = Earliest ? std::min(*Earliest, *Due) : *Due;
    if (!Earliest)
        return -1;
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(*Earliest - TSessionClock::now()).count();
    return static_cast<int>(std::clamp<long long>(Left, 0, INT_MAX));
}

void TEpollLoop::RunUntil(const std::function<bool()>& Done)
{
    std::vector<epoll_event> Events;
    std::vector<uint32_t> Visit;
    // The ports that took input this round, to be settled after the stop's look.
    struct TRead {
        uint32_t Slot, Generation;
    };
    std::vector<TRead> Read;
    for (;;) {
        TakeStop();
        SyncChanged();
        if (Done())
            return;
        // Done may have opened ports or begun opens (a plant's next rows).
        SyncChanged();
        // Room for every descriptor at once: a reply that is waiting must be
        // read before the deadlines of this round are looked at.
        Events.resize(Ports_ + Readable_.size() + 2);
        const int Ready =
            ::epoll_wait(Epoll_.get(), Events.data(), static_cast<int>(Events.size()), MillisecondsToNextDeadline());
        if (Ready < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waiting for the ports");
        const TSessionTime Now = TSessionClock::now();
        // A stop seen in the same wait as a reply comes first: the reply
        // then ends its chain instead of starting the next request.
        for (int Index = 0; Index < Ready; ++Index) {
            const uint64_t Tag = Events[static_cast<std::size_t>(Index)].data.u64;
            if (Tag == StopTag) {
                uint64_t Count = 0;
                [[maybe_unused]] const ssize_t Read = ::read(Stop_.get(), &Count, sizeof Count);
            } else if (Tag == StopFdTag && StopFd_ >= 0) {
                TakeStopFd();
            }
        }
        TakeStop();
        Read.clear();
        for (int Index = 0; Index < Ready; ++Index) {
            const epoll_event& Event = Events[static_cast<std::size_t>(Index)];
            const uint64_t Tag = Event.data.u64;
            const uint32_t Slot = SlotOf(Tag);
            // (A port or watch an earlier event's handler removed is skipped.)
            if (KindOf(Tag) == TTagKind::Port) {
                if (Slot < Entries_.size() && Entries_[Slot].Port != nullptr &&
                    Entries_[Slot].Generation == GenerationOf(Tag)) {
                    // An open's step is taken whole; input waits for the stop's look.
                    if (Entries_[Slot].Port->Opening())
                        CallPort(Slot, [&](TSessionPort& Port) { Port.Readable(Event.events, Now); });
                    else {
                        CallPort(Slot, [&](TSessionPort& Port) { Port.ReadInput(Event.events, Now); });
                        Read.push_back({Slot, Entries_[Slot].Generation});
                    }
                }
            } else if (KindOf(Tag) == TTagKind::Readable) {
                if (Slot < Readable_.size() && Readable_[Slot].Fd >= 0 &&
                    Readable_[Slot].Generation == GenerationOf(Tag)) {
                    // A copy: the callback may end its own watch.
                    const std::function<void()> OnReadable = Readable_[Slot].OnReadable;
                    OnReadable();
                }
            }
        }
        if (!Read.empty()) {
            NoticeLateStop();
            for (const TRead& Taken : Read)
                if (Entries_[Taken.Slot].Port != nullptr && Entries_[Taken.Slot].Generation == Taken.Generation)
                    CallPort(Taken.Slot, [](TSessionPort& Port) { Port.Settle(); });
        }
        // The ports whose deadline has come, and those touched from outside
        // since the last round (what their sessions hold is handed on).
        Visit.clear();
        TakeDue(Now, Visit);
        for (const uint32_t Slot : Changed_)
            Entries_[Slot].Changed = false;
        Visit.insert(Visit.end(), Changed_.begin(), Changed_.end());
        Changed_.clear();
        for (const uint32_t Slot : Visit)
            if (Entries_[Slot].Port != nullptr)
                CallPort(Slot, [&](TSessionPort& Port) { Port.TimePassed(Now); });
        if (TickWhen_) {
            if (const auto Due = TickWhen_(); Due && Now >= *Due)
                Tick_();
        }
    }
}

}  // namespace varnolink
