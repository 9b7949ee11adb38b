// SPDX-License-Identifier: MIT
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>

namespace varnolink::sim {

// The body of a simulator's thread: runs Loop; an error that ends it is kept
// in LastError, and those waiting for the end (Changed) see Running cleared.
template <typename TLoop>
void RunKeepingError(TLoop Loop, std::mutex& Mutex, std::condition_variable& Changed, bool& Running,
                     std::string& LastError)
{
    try {
        Loop();
    } catch (const std::exception& Error) {
        std::lock_guard Lock(Mutex);
        LastError = Error.what();
    }
    std::lock_guard Lock(Mutex);
    Running = false;
    Changed.notify_all();
}

}  // namespace varnolink::sim
