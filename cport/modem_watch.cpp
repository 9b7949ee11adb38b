// SPDX-License-Identifier: MIT
// The modem-line watch: a helper thread blocked in TIOCMIWAIT.
#include "cport/modem_watch.h"

#include <sys/eventfd.h>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <system_error>
#include <utility>

namespace cport {

namespace {

// The signal that interrupts the wait for a modem-line change, chosen by
// the application before the first watch starts (0: SIGRTMIN+4). At the
// first watch it is taken only if its disposition is still the default, and
// given a handler that does nothing, installed without SA_RESTART so that
// the wait ends with EINTR. A signal the application handles or ignores is
// never taken over: modem lines are then not watched.
std::mutex SignalMutex;
int ChosenSignal = 0;  // under SignalMutex
std::atomic<bool> SignalTaken{false};

void IgnoreInterrupt(int) {}

// Fixed once taken: ChosenSignal no longer changes then.
int InterruptSignal()
{
    std::lock_guard Lock(SignalMutex);
    return ChosenSignal != 0 ? ChosenSignal : SIGRTMIN + 4;
}

bool IsOurs(const struct sigaction& Action)
{
    return (Action.sa_flags & SA_SIGINFO) == 0 && Action.sa_handler == IgnoreInterrupt;
}

// True when the interrupt signal is ours. Every watch start looks again:
// the application may have chosen another signal before the first, or
// installed its own disposition (a handler, SIG_IGN) since; the signal is
// then not ours and the watch does not start. Back at the default it is
// free and taken again.
bool TakeInterruptSignal()
{
    std::lock_guard Lock(SignalMutex);
    const int Signal = ChosenSignal != 0 ? ChosenSignal : SIGRTMIN + 4;
    struct sigaction Current {};
    if (sigaction(Signal, nullptr, &Current) != 0)
        return false;
    if (IsOurs(Current))
        return true;
    if ((Current.sa_flags & SA_SIGINFO) != 0 || Current.sa_handler != SIG_DFL)
        return false;
    struct sigaction Action {};
    Action.sa_handler = IgnoreInterrupt;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = 0;  // no SA_RESTART
    if (sigaction(Signal, &Action, nullptr) != 0)
        return false;
    ChosenSignal = Signal;
    SignalTaken = true;
    return true;
}

// Makes the signal ours for as long as the stops in progress need it, and
// gives the application its own disposition back after the last (unless it
// changed it again meanwhile). Without it, a watch that started while the
// signal was ours could be ended only by the next modem-line change, which
// may never come.
int Borrowers = 0;                  // under SignalMutex
struct sigaction SavedDisposition;  // the application's, while borrowed
bool RestoreDisposition = false;

class TBorrowedSignal {
public:
    TBorrowedSignal()
    {
        std::lock_guard Lock(SignalMutex);
        if (Borrowers++ > 0)
            return;
        struct sigaction Ours {};
        Ours.sa_handler = IgnoreInterrupt;
        sigemptyset(&Ours.sa_mask);
        const int Signal = ChosenSignal != 0 ? ChosenSignal : SIGRTMIN + 4;
        RestoreDisposition = sigaction(Signal, &Ours, &SavedDisposition) == 0 && !IsOurs(SavedDisposition);
    }
    ~TBorrowedSignal()
    {
        std::lock_guard Lock(SignalMutex);
        if (--Borrowers > 0 || !RestoreDisposition)
            return;
        const int Signal = ChosenSignal != 0 ? ChosenSignal : SIGRTMIN + 4;
        struct sigaction Current {};
        if (sigaction(Signal, nullptr, &Current) == 0 && IsOurs(Current))
            sigaction(Signal, &SavedDisposition, nullptr);
    }
    TBorrowedSignal(const TBorrowedSignal&) = delete;
    TBorrowedSignal& operator=(const TBorrowedSignal&) = delete;
};

}  // namespace

bool SetLineWatchSignal(int Signal)
{
    if (Signal <= 0 || Signal >= NSIG)
        return false;
    std::lock_guard Lock(SignalMutex);
    if (SignalTaken.load())
        return false;
    ChosenSignal = Signal;
    return true;
}

namespace {

struct TCounts {
    bool Valid = false;
    TDriverCounts C{};
};

TCounts ReadCounts(TDevice& Device)
{
    TCounts Counts;
    Counts.Valid = Device.ErrorCounts(Counts.C) == 0;
    return Counts;
}

// Shared by all watches: Ended_ is announced under it.
std::mutex StopMutex;
std::condition_variable StopChanged;

}  // namespace

TModemWatch::TModemWatch(TDevice& Device) : Device_(Device)
{
    NotifyFd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!NotifyFd_)
        throw EComPort(CError_ModemStatFailed, errno);
    if (Device_.ModemLines(Lines_) != 0) {
        // Without TIOCMGET there is nothing to watch; any failure counts.
        HasLines_ = false;
        Ended_ = true;
        return;
    }
    if (!TakeInterruptSignal()) {
        // The signal belongs to the application: no watch.
        HasLines_ = false;
        Ended_ = true;
        return;
    }
    try {
        Thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& E) {
        throw EComPort(CError_ModemStatFailed, E.code().value());
    }
}

TModemWatch::~TModemWatch()
{
    Stop();
}

TComEvents TModemWatch::TakeEvents()
{
    uint64_t Counter;
    [[maybe_unused]] auto N = ::read(NotifyFd_.get(), &Counter, sizeof Counter);
    std::lock_guard Lock(Mutex_);
    return std::exchange(Pending_, TComEvents{});
}

void TModemWatch::Announce(TComEvents Events)
{
    if (Events.Empty())
        return;
    {
        std::lock_guard Lock(Mutex_);
        Pending_ = Pending_ | Events;
    }
    const uint64_t One = 1;
    [[maybe_unused]] auto N = ::write(NotifyFd_.get(), &One, sizeof One);
}

void TModemWatch::Run()
{
    // The thread inherits its creator's signal mask; the interrupt must get through.
    sigset_t Interrupt;
    sigemptyset(&Interrupt);
    sigaddset(&Interrupt, InterruptSignal());
    pthread_sigmask(SIG_UNBLOCK, &Interrupt, nullptr);

    TCounts Before = ReadCounts(Device_);
    while (!Stop_.load()) {
        if (const int Error = Device_.WaitForModemChange()) {
            if (Error == EINTR)
                continue;  // the stop request, or a stray signal
            if (Error == ENOTTY)
                HasLines_ = false;  // remembered; never asked again
            break;                  // EIO and the like: the device is gone
        }
        TLineSignals Now;
        if (Device_.ModemLines(Now) != 0)
            break;
        TCounts After = ReadCounts(Device_);
        const TLineSignals Changed = TLineSignals::FromBits(Now.Bits() ^ Lines_.Bits());
        TComEvents Events;
        auto Moved = [&](int TDriverCounts::*Field) {
            return Before.Valid && After.Valid && After.C.*Field != Before.C.*Field;
        };
        if (Changed.Contains(lsCTS) || Moved(&TDriverCounts::Cts))
            Events.Include(evCTS);
        if (Changed.Contains(lsDSR) || Moved(&TDriverCounts::Dsr))
            Events.Include(evDSR);
        if (Changed.Contains(lsRLSD) || Moved(&TDriverCounts::Dcd))
            Events.Include(evRLSD);
        if (Changed.Contains(lsRing) || Moved(&TDriverCounts::Rng))
            Events.Include(evRing);
        Lines_ = Now;
        Before = After;
        Announce(Events);
    }
    {
        std::lock_guard Lock(StopMutex);
        Ended_ = true;
    }
    StopChanged.notify_all();
}

void TModemWatch::Stop()
{
    if (!Thread_.joinable())
        return;
    {
        std::unique_lock Lock(StopMutex);
        Stop_ = true;
        // A signal sent just before the thread enters its wait is lost, so
        // it is repeated until the thread has ended. A disposition the
        // application has put in place since the watch started is set
        // aside only for these few milliseconds.
        const TBorrowedSignal Borrowed;
        while (!Ended_.load()) {
            pthread_kill(Thread_.native_handle(), InterruptSignal());
            StopChanged.wait_for(Lock, std::chrono::milliseconds(10), [this] { return Ended_.load(); });
        }
    }
    Thread_.join();
}

}  // namespace cport
