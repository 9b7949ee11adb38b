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
std::mutex signal_mutex;
int chosen_signal = 0;        // under signal_mutex
std::atomic<bool> signal_taken{false};

void IgnoreInterrupt(int) {}

// Fixed once taken: chosen_signal no longer changes then.
int InterruptSignal() {
    std::lock_guard lock(signal_mutex);
    return chosen_signal != 0 ? chosen_signal : SIGRTMIN + 4;
}

// True when the interrupt signal is ours. Until it is, every watch start
// looks again (the application may have chosen another one meanwhile).
bool TakeInterruptSignal() {
    std::lock_guard lock(signal_mutex);
    if (signal_taken.load()) return true;
    const int signal = chosen_signal != 0 ? chosen_signal : SIGRTMIN + 4;
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) return false;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return false;
    struct sigaction action {};
    action.sa_handler = IgnoreInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no SA_RESTART
    if (sigaction(signal, &action, nullptr) != 0) return false;
    chosen_signal = signal;
    signal_taken = true;
    return true;
}

// Still ours when the watch stops? An application that has since installed
// its own disposition would be killed (default), never interrupted (ignore,
// SA_RESTART) or surprised by a call of its handler.
bool InterruptSignalStillOurs() {
    struct sigaction current {};
    if (sigaction(InterruptSignal(), nullptr, &current) != 0) return false;
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == IgnoreInterrupt;
}

}  // namespace

bool SetLineWatchSignal(int Signal) {
    if (Signal <= 0 || Signal >= NSIG) return false;
    std::lock_guard lock(signal_mutex);
    if (signal_taken.load()) return false;
    chosen_signal = Signal;
    return true;
}

namespace {

struct TCounts {
    bool valid = false;
    TDriverCounts c{};
};

TCounts ReadCounts(TDevice& Device) {
    TCounts counts;
    counts.valid = Device.ErrorCounts(counts.c) == 0;
    return counts;
}

// Shared by all watches: ended_ is announced under it.
std::mutex stop_mutex;
std::condition_variable stop_changed;

}  // namespace

TModemWatch::TModemWatch(TDevice& Device) : device_(Device) {
    notify_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!notify_fd_) throw EComPort(CError_ModemStatFailed, errno);
    if (device_.ModemLines(lines_) != 0) {
        // Without TIOCMGET there is nothing to watch; any failure counts.
        has_lines_ = false;
        ended_ = true;
        return;
    }
    if (!TakeInterruptSignal()) {
        // The signal belongs to the application: no watch.
        has_lines_ = false;
        ended_ = true;
        return;
    }
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        throw EComPort(CError_ModemStatFailed, e.code().value());
    }
}

TModemWatch::~TModemWatch() { Stop(); }

TComEvents TModemWatch::TakeEvents() {
    uint64_t counter;
    [[maybe_unused]] auto n = ::read(notify_fd_.get(), &counter, sizeof counter);
    std::lock_guard lock(mutex_);
    return std::exchange(pending_, TComEvents{});
}

void TModemWatch::Announce(TComEvents Events) {
    if (Events.Empty()) return;
    {
        std::lock_guard lock(mutex_);
        pending_ = pending_ | Events;
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(notify_fd_.get(), &one, sizeof one);
}

void TModemWatch::Run() {
    // The thread inherits its creator's signal mask; the interrupt must get through.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, InterruptSignal());
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);

    TCounts before = ReadCounts(device_);
    while (!stop_.load()) {
        if (const int error = device_.WaitForModemChange()) {
            if (error == EINTR) continue;                  // the stop request, or a stray signal
            if (error == ENOTTY) has_lines_ = false;       // remembered; never asked again
            break;                                         // EIO and the like: the device is gone
        }
        TLineSignals now;
        if (device_.ModemLines(now) != 0) break;
        TCounts after = ReadCounts(device_);
        const TLineSignals changed = TLineSignals::FromBits(now.Bits() ^ lines_.Bits());
        TComEvents events;
        auto moved = [&](int TDriverCounts::*field) {
            return before.valid && after.valid && after.c.*field != before.c.*field;
        };
        if (changed.Contains(lsCTS) || moved(&TDriverCounts::cts)) events.Include(evCTS);
        if (changed.Contains(lsDSR) || moved(&TDriverCounts::dsr)) events.Include(evDSR);
        if (changed.Contains(lsRLSD) || moved(&TDriverCounts::dcd)) events.Include(evRLSD);
        if (changed.Contains(lsRing) || moved(&TDriverCounts::rng)) events.Include(evRing);
        lines_ = now;
        before = after;
        Announce(events);
    }
    {
        std::lock_guard lock(stop_mutex);
        ended_ = true;
    }
    stop_changed.notify_all();
}

void TModemWatch::Stop() {
    if (!thread_.joinable()) return;
    {
        std::unique_lock lock(stop_mutex);
        stop_ = true;
        // A signal sent just before the thread enters its wait is lost, so
        // it is repeated until the thread has ended. A disposition the
        // application has put in place since is left alone: the wait then
        // ends with the next modem-line change.
        const bool ours = InterruptSignalStillOurs();
        while (!ended_.load()) {
            if (ours) pthread_kill(thread_.native_handle(), InterruptSignal());
            if (ours)
                stop_changed.wait_for(lock, std::chrono::milliseconds(10), [this] { return ended_.load(); });
            else
                stop_changed.wait(lock, [this] { return ended_.load(); });
        }
    }
    thread_.join();
}

}  // namespace cport
