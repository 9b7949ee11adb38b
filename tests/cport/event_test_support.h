// Shared pieces of the event-thread tests: a pseudo-terminal whose master
// plays the far end, the owning thread's loop (the wake hook writes an
// eventfd; the loop sleeps on it and calls CheckSynchronize), an error
// recorder, a watchdog that ends a hanging test, and a thread counter.
#pragma once

#include "cport/comport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace event_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The far end of the line: the master of a pseudo-terminal.
class FarEnd {
public:
    FarEnd() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no pty name");
        path_ = name;
    }
    ~FarEnd() { HangUp(); }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    const std::string& Path() const { return path_; }
    int Fd() const { return master_; }
    void Write(const std::string& Bytes) const {
        size_t done = 0;
        while (done < Bytes.size()) {
            const ssize_t n = ::write(master_, Bytes.data() + done, Bytes.size() - done);
            if (n < 0) throw std::runtime_error("far-end write failed");
            done += static_cast<size_t>(n);
        }
    }
    void HangUp() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string path_;
};

// The owning thread's event loop.
class OwnerLoop {
public:
    OwnerLoop() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        cport::SetMainThreadWakeHook([this] {
            wakes_.fetch_add(1);
            const uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
        });
    }
    ~OwnerLoop() {
        cport::CheckSynchronize();
        cport::SetMainThreadWakeHook(nullptr);
        ::close(wake_);
    }
    OwnerLoop(const OwnerLoop&) = delete;
    OwnerLoop& operator=(const OwnerLoop&) = delete;

    // Sleeps until woken or the time is up; then serves the queue.
    void ServeOnce(std::chrono::milliseconds Limit) {
        pollfd p{wake_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(Limit.count())) == 1) {
            uint64_t counter;
            [[maybe_unused]] auto n = ::read(wake_, &counter, sizeof counter);
        }
        cport::CheckSynchronize();
    }
    // Serves until Done() holds; false if Limit passed first. Done is also
    // checked every few milliseconds, for what happens on other threads
    // without a hand-over (smNone).
    bool ServeUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 5000ms) {
        const auto end = Clock::now() + Limit;
        while (!Done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return false;
            ServeOnce(std::min(left, std::chrono::milliseconds(5)));
        }
        return true;
    }
    // Serves for the whole time given (for checks that something does not happen).
    void ServeFor(std::chrono::milliseconds Time) {
        ServeUntil([] { return false; }, Time);
    }
    // Sleeps until woken, without serving.
    bool WaitForWake(std::chrono::milliseconds Limit = 5000ms) {
        pollfd p{wake_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(Limit.count())) == 1;
    }
    int Wakes() const { return wakes_.load(); }

private:
    int wake_;
    std::atomic<int> wakes_{0};
};

// Records what reaches the application's error display.
class ErrorRecorder {
public:
    ErrorRecorder() {
        cport::SetApplicationErrorDisplay([this](std::exception_ptr e) {
            std::string text;
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& error) {
                text = error.what();
            } catch (...) {
                text = "?";
            }
            std::lock_guard lock(mutex_);
            shown_.push_back(text);
            threads_.push_back(std::this_thread::get_id());
        });
    }
    ~ErrorRecorder() { cport::SetApplicationErrorDisplay(nullptr); }
    std::vector<std::string> Shown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }
    std::vector<std::thread::id> Threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> shown_;
    std::vector<std::thread::id> threads_;
};

// Ends the process with a message if the scope lasts longer than Limit: a
// hang becomes a failure with a name instead of a stuck run.
class Watchdog {
public:
    Watchdog(std::string What, std::chrono::seconds Limit) : what_(std::move(What)) {
        thread_ = std::thread([this, Limit] {
            std::unique_lock lock(mutex_);
            if (!done_cv_.wait_for(lock, Limit, [this] { return done_; })) {
                std::fprintf(stderr, "watchdog: '%s' still running after %lld s\n", what_.c_str(),
                             static_cast<long long>(Limit.count()));
                std::abort();
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// Threads of this process right now.
inline int ThreadCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

// A joined thread may stay listed for a moment while the kernel reaps it.
inline bool ThreadCountBecomes(int Expected, std::chrono::milliseconds Limit = 2000ms) {
    const auto end = Clock::now() + Limit;
    while (ThreadCount() != Expected) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A port on the slave side of Line, with the given events and hand-over.
inline void SetUpPort(cport::TComPort& Port, const FarEnd& Line, cport::TComEvents Events,
                      cport::TSyncMethod Sync) {
    Port.SetPort(Line.Path());
    Port.SetEvents(Events);
    Port.SetSyncMethod(Sync);
}

}  // namespace event_test
