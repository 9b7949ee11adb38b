// SPDX-License-Identifier: MIT
// One epoll wait for many session ports, with their deadlines and the stop
// requests.
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

// Tags of the loop's own descriptors; a port's tag is its entry.
char StopTag;
char StopFdTag;

}  // namespace

TEpollLoop::TEpollLoop()
    : Epoll_(cport::CreatedFd(::epoll_create1(EPOLL_CLOEXEC), SetUpWhat)),
      Stop_(cport::CreatedFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), SetUpWhat))
{
    Watch(Stop_.get(), &StopTag);
}

void TEpollLoop::Watch(int Fd, void* Tag, uint32_t Events)
{
    epoll_event Event{};
    Event.events = Events;
    Event.data.ptr = Tag;
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
    Port.BeforeInput = [this] { NoticeLateStop(); };
    Entries_.push_back({&Port, -1});
    SyncWatches();
}

void TEpollLoop::Remove(TSessionPort& Port)
{
    const auto At = std::find_if(Entries_.begin(), Entries_.end(), [&](const TEntry& E) { return E.Port == &Port; });
    if (At == Entries_.end())
        return;
    if (At->Watched >= 0)
        Unwatch(At->Watched);
    Port.BeforeInput = nullptr;
    Entries_.erase(At);
}

void TEpollLoop::WatchStop(int Fd, TStopWhen When)
{
    if (StopFd_ >= 0)
        Unwatch(StopFd_);
    StopFd_ = Fd;
    StopFdWhen_ = When;
    if (Fd >= 0)
        Watch(Fd, &StopFdTag);
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
    // The next time is kept with the timer and moved on each call.
    auto Next = std::make_shared<TSessionTime>(TSessionClock::now() + Every);
    SetTimer([Next] { return std::optional<TSessionTime>(*Next); },
             [Next, Every, Tick = std::move(Tick)] {
                 *Next = TSessionClock::now() + Every;
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

// A port's descriptor changes when it is opened, closed or its device is
// lost: the epoll set follows. Entries keep their place in the vector, so
// the entry's address is the tag; Add and Remove re-sync.
void TEpollLoop::SyncWatches()
{
    // Every stale watch goes before any new one is made: a descriptor
    // number one port gave up may already be another port's.
    for (TEntry& Entry : Entries_) {
        if (Entry.Watched >= 0 && Entry.Port->Descriptor() != Entry.Watched) {
            Unwatch(Entry.Watched);
            Entry.Watched = -1;
        }
    }
    for (TEntry& Entry : Entries_) {
        const int Fd = Entry.Port->Descriptor();
        const uint32_t Events = Entry.Port->WatchEvents();
        if (Fd >= 0 && Entry.Watched < 0) {
            Watch(Fd, Entry.Port, Events);
            Entry.Watched = Fd;
            Entry.Events = Events;
        } else if (Fd >= 0 && Events != Entry.Events) {
            // The same descriptor, watched for something else now (a
            // connection made: from room to write to input).
            epoll_event Event{};
            Event.events = Events;
            Event.data.ptr = Entry.Port;
            if (::epoll_ctl(Epoll_.get(), EPOLL_CTL_MOD, Fd, &Event) != 0)
                throw std::system_error(errno, std::generic_category(), "watching a descriptor");
            Entry.Events = Events;
        }
    }
}

bool TEpollLoop::Serves(const void* Port) const
{
    return std::any_of(Entries_.begin(), Entries_.end(), [&](const TEntry& E) { return E.Port == Port; });
}

void TEpollLoop::TakeStop()
{
    if (StopNow_ && !StopNowPassedOn_) {
        StopNowPassedOn_ = StopPassedOn_ = true;
        for (const TEntry& Entry : Entries_)
            Entry.Port->StopNow();
        return;
    }
    if (!Stopped_ || StopPassedOn_)
        return;
    StopPassedOn_ = true;
    for (const TEntry& Entry : Entries_)
        Entry.Port->RequestStop();
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

// A reply read in this round may have been sent after a stop that the wait
// did not report yet (the port woke for earlier bytes, an echo): the stop
// then comes first. RequestStop's flag is set before its wake, so only a
// watched descriptor needs a look.
void TEpollLoop::NoticeLateStop()
{
    if (!Stopped_ && StopFd_ >= 0) {
        pollfd Stop{StopFd_, POLLIN, 0};
        if (::poll(&Stop, 1, 0) == 1 && (Stop.revents & POLLIN) != 0)
            TakeStopFd();
    }
    TakeStop();
}

int TEpollLoop::MillisecondsToNextDeadline() const
{
    std::optional<TSessionTime> Earliest;
    for (const TEntry& Entry : Entries_)
        if (const auto Deadline = Entry.Port->NextDeadline())
            Earliest = Earliest ? std::min(*Earliest, *Deadline) : *Deadline;
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
    for (;;) {
        TakeStop();
        SyncWatches();
        if (Done())
            return;
        // Done may have opened ports or begun opens (a plant's next rows).
        SyncWatches();
        // Room for every port at once: a reply that is waiting must be read
        // before the deadlines of this round are looked at.
        Events.resize(Entries_.size() + 2);
        const int Ready =
            ::epoll_wait(Epoll_.get(), Events.data(), static_cast<int>(Events.size()), MillisecondsToNextDeadline());
        if (Ready < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waiting for the ports");
        const TSessionTime Now = TSessionClock::now();
        // A stop seen in the same wait as a reply comes first: the reply
        // then ends its chain instead of starting the next request.
        for (int Index = 0; Index < Ready; ++Index) {
            const void* Tag = Events[static_cast<std::size_t>(Index)].data.ptr;
            if (Tag == &StopTag) {
                uint64_t Count = 0;
                [[maybe_unused]] const ssize_t Read = ::read(Stop_.get(), &Count, sizeof Count);
            } else if (Tag == &StopFdTag && StopFd_ >= 0) {
                TakeStopFd();
            }
        }
        TakeStop();
        for (int Index = 0; Index < Ready; ++Index) {
            const epoll_event& Event = Events[static_cast<std::size_t>(Index)];
            // (A port removed by an earlier event's handler is skipped.)
            if (Event.data.ptr != &StopTag && Event.data.ptr != &StopFdTag && Serves(Event.data.ptr))
                static_cast<TSessionPort*>(Event.data.ptr)->Readable(Event.events, Now);
        }
        for (std::size_t Index = 0; Index < Entries_.size(); ++Index)
            Entries_[Index].Port->TimePassed(Now);
        if (TickWhen_) {
            if (const auto Due = TickWhen_(); Due && Now >= *Due)
                Tick_();
        }
    }
}

}  // namespace varnolink
