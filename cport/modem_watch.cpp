// The modem-line watch: a helper thread blocked in TIOCMIWAIT.
#include "cport/modem_watch.h"

#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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

bool NoSuchControl(int Error) { return Error == ENOTTY || Error == EINVAL; }

struct TCounts {
    bool valid = false;
    serial_icounter_struct c{};
};

TCounts ReadCounts(int Fd) {
    TCounts counts;
    counts.valid = ::ioctl(Fd, TIOCGICOUNT, &counts.c) == 0;
    return counts;
}

// Shared by all watches: ended_ is announced under it.
std::mutex stop_mutex;
std::condition_variable stop_changed;

}  // namespace

TModemWatch::TModemWatch(int DeviceFd) : fd_(DeviceFd) {
    notify_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (::ioctl(fd_, TIOCMGET, &lines_) != 0) {
        // Without TIOCMGET there is nothing to watch; any failure counts.
        has_lines_ = false;
        ended_ = true;
        return;
    }
    InstallInterruptHandler();
    thread_ = std::thread([this] { Run(); });
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

    TCounts before = ReadCounts(fd_);
    while (!stop_.load()) {
        const int mask = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
        if (::ioctl(fd_, TIOCMIWAIT, mask) != 0) {
            const int error = errno;
            if (error == EINTR) continue;               // the stop request, or a stray signal
            if (NoSuchControl(error)) has_lines_ = false; // remembered; never asked again
            break;                                      // EIO and the like: the device is gone
        }
        int now = 0;
        if (::ioctl(fd_, TIOCMGET, &now) != 0) break;
        TCounts after = ReadCounts(fd_);
        const int changed = now ^ lines_;
        TComEvents events;
        auto moved = [&](int serial_icounter_struct::*field) {
            return before.valid && after.valid && after.c.*field != before.c.*field;
        };
        if ((changed & TIOCM_CTS) || moved(&serial_icounter_struct::cts)) events.Include(evCTS);
        if ((changed & TIOCM_DSR) || moved(&serial_icounter_struct::dsr)) events.Include(evDSR);
        if ((changed & TIOCM_CD) || moved(&serial_icounter_struct::dcd)) events.Include(evRLSD);
        if ((changed & TIOCM_RNG) || moved(&serial_icounter_struct::rng)) events.Include(evRing);
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
