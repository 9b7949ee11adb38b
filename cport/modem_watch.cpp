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

// The signal that interrupts TIOCMIWAIT. Its handler does nothing; it is
// installed without SA_RESTART so that the ioctl returns EINTR.
int InterruptSignal() { return SIGRTMIN + 4; }

void IgnoreInterrupt(int) {}

void InstallInterruptHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = IgnoreInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;   // no SA_RESTART
        sigaction(InterruptSignal(), &action, nullptr);
    });
}

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
    InstallInterruptHandler();
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
        // A signal sent just before the thread enters TIOCMIWAIT is lost, so
        // it is repeated until the thread has ended.
        while (!ended_.load()) {
            pthread_kill(thread_.native_handle(), InterruptSignal());
            stop_changed.wait_for(lock, std::chrono::milliseconds(10), [this] { return ended_.load(); });
        }
    }
    thread_.join();
}

}  // namespace cport
