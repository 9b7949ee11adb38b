// SPDX-License-Identifier: MIT
// Internal: the watch on the modem status lines of an open device.
//
// The device's wait for a modem-line change (TDevice::WaitForModemChange)
// blocks until CTS, DSR, DCD or RI changes and is not woken by closing the
// device, so it runs in a helper thread of its own. Stop() interrupts it with
// a signal whose handler is installed without SA_RESTART (the wait ends with
// EINTR) and joins the thread. The signal is the one SetLineWatchSignal
// chose (comport.h), taken only while its disposition is the default and
// looked at again at every start; when it is not ours the watch does not
// start. An application that takes the signal while a watch runs has its
// disposition set aside for the few milliseconds Stop needs. The changes found are
// accumulated as events and announced on an eventfd that the event thread
// waits on.
//
// A device that answers ENOTTY (a pseudo-terminal, for instance) has no
// modem lines: the watch notes that
// once and ends; it never asks again. Any other failure (EIO when the device
// has gone away) ends the watch as well.
#pragma once

#include "cport/comport.h"
#include "cport/device.h"
#include "cport/unique_fd.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace cport {

class TModemWatch {
public:
    // Probes the lines on the calling thread; starts the helper thread only
    // when the device has modem lines.
    explicit TModemWatch(TDevice& Device);
    ~TModemWatch();  // Stop()
    TModemWatch(const TModemWatch&) = delete;
    TModemWatch& operator=(const TModemWatch&) = delete;

    bool HasModemLines() const { return HasLines_.load(); }
    bool Running() const { return Thread_.joinable() && !Ended_.load(); }
    int NotifyFd() const { return NotifyFd_.get(); }  // readable when TakeEvents has something
    TComEvents TakeEvents();                          // evCTS, evDSR, evRLSD, evRing seen since the last call
    void Stop();                                      // interrupts the wait and joins the thread

private:
    void Run();
    void Announce(TComEvents Events);

    TDevice& Device_;
    TUniqueFd NotifyFd_;
    std::atomic<bool> HasLines_{true};
    std::atomic<bool> Stop_{false};
    std::atomic<bool> Ended_{false};
    std::mutex Mutex_;
    TComEvents Pending_;
    TLineSignals Lines_;  // state last seen (helper thread only after start)
    std::thread Thread_;
};

}  // namespace cport
