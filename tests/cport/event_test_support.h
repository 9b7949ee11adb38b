// SPDX-License-Identifier: MIT
// Shared pieces of the suites with an event thread: the suites'
// pseudo-terminal (tests/support/pty_pair.h), whose master plays the far
// end, the owning thread's loop (the wake hook writes an eventfd; the loop
// sleeps on it and calls CheckSynchronize), an error recorder, a watchdog
// that ends a hanging test, a thread counter, and a port set up on a line.
#pragma once

#include "cport/comport.h"
#include "device_pty.h"
#include "soak_support.h"
#include "tests/support/owner_loop.h"

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

// The far end of the line: the master of the suites' pseudo-terminal.
using soak_test::ThreadCount;
using soak_test::ThreadCountBecomes;
using test_support::TPtyPair;

// The owning thread's event loop.
using OwnerLoop = test_support::TOwnerLoop;

// Records what reaches the application's error display.
class ErrorRecorder {
public:
    ErrorRecorder()
    {
        cport::SetApplicationErrorDisplay([this](std::exception_ptr E) {
            std::string Text;
            try {
                std::rethrow_exception(E);
            } catch (const std::exception& Error) {
                Text = Error.what();
            } catch (...) {
                Text = "?";
            }
            std::lock_guard Lock(Mutex_);
            Shown_.push_back(Text);
            Threads_.push_back(std::this_thread::get_id());
        });
    }
    ~ErrorRecorder() { cport::SetApplicationErrorDisplay(nullptr); }
    std::vector<std::string> Shown() const
    {
        std::lock_guard Lock(Mutex_);
        return Shown_;
    }
    std::vector<std::thread::id> Threads() const
    {
        std::lock_guard Lock(Mutex_);
        return Threads_;
    }

private:
    mutable std::mutex Mutex_;
    std::vector<std::string> Shown_;
    std::vector<std::thread::id> Threads_;
};

// Ends the process with a message if the scope lasts longer than Limit: a
// hang becomes a failure with a name instead of a stuck run.
class Watchdog {
public:
    Watchdog(std::string What, std::chrono::seconds Limit) : What_(std::move(What))
    {
        Thread_ = std::thread([this, Limit] {
            std::unique_lock Lock(Mutex_);
            if (!DoneCv_.wait_for(Lock, Limit, [this] { return Done_; })) {
                std::fprintf(stderr, "watchdog: '%s' still running after %lld s\n", What_.c_str(),
                             static_cast<long long>(Limit.count()));
                std::abort();
            }
        });
    }
    ~Watchdog()
    {
        {
            std::lock_guard Lock(Mutex_);
            Done_ = true;
        }
        DoneCv_.notify_all();
        Thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string What_;
    std::mutex Mutex_;
    std::condition_variable DoneCv_;
    bool Done_ = false;
    std::thread Thread_;
};

// A port on the slave side of Line, with the given events and hand-over.
inline void SetUpPort(cport::TComPort& Port, const TPtyPair& Line, cport::TComEvents Events, cport::TSyncMethod Sync)
{
    Port.SetPort(Line.SlavePath());
    Port.SetEvents(Events);
    Port.SetSyncMethod(Sync);
}

}  // namespace event_test
