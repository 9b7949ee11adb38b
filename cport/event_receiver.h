// SPDX-License-Identifier: MIT
// Internal: the per-port receiver of the event thread's messages under
// smWindowSync.
//
// The event thread sends one EventMessage per event, with the event's flag
// (the classic serial event mask value, see EventsToMask) as parameter, and
// DeviceLostMessage once when the device has gone away. A message is a task
// in the main-thread queue; the sender is released as soon as the receiver
// starts on it. On the owning thread EventWindowProc runs the matching report
// helper if the port is Connected (otherwise the message is dropped); an
// error raised there is given to the application's error display.
//
// The receiver exists while the port has an event thread with smWindowSync.
// Messages reach it through an anchor that its destructor clears, so a
// message still queued after the receiver is gone does nothing.
#pragma once

#include "cport/comport.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace cport {

class TEventReceiver {
public:
    static constexpr uint32_t EventMessage = 1025;       // first private message number + 1
    static constexpr uint32_t DeviceLostMessage = 1026;  // the device has gone away

    explicit TEventReceiver(TCustomComPort* ComPort);
    ~TEventReceiver();
    TEventReceiver(const TEventReceiver&) = delete;
    TEventReceiver& operator=(const TEventReceiver&) = delete;

    // Handles one message on the owning thread; never throws.
    void EventWindowProc(uint32_t Message, uint32_t Param);

    // The way messages reach the receiver: cleared when it is destroyed.
    struct TAnchor {
        TEventReceiver* Receiver = nullptr;
    };
    std::shared_ptr<TAnchor> Anchor() const { return Anchor_; }
    // A task for the main-thread queue that delivers one message to the
    // anchored receiver, if it still exists when the task runs.
    static std::function<void()> MessageTask(std::shared_ptr<TAnchor> Anchor, uint32_t Message, uint32_t Param);

private:
    TCustomComPort* Port_;
    std::shared_ptr<TAnchor> Anchor_;
};

}  // namespace cport
