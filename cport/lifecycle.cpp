// SPDX-License-Identifier: MIT
// Construction, destruction, Open and Close of a port.
#include "cport/com_thread.h"
#include "cport/device_state.h"
#include "cport/event_receiver.h"

#include <exception>
#include <memory>

namespace cport {

// The settings objects are members, created in the order Parity,
// FlowControl, Timeouts, Buffer, each with this port as owner.
TCustomComPort::TCustomComPort(TComponent* Owner) : TComponent(Owner) {}

// An open port is closed with all its events. A destructor must not throw:
// an error of Close goes to the application's error display, and the device
// and the event thread are released all the same.
TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
    if (connected_) {
        try {
            if (thread_started_) StopEventThread();
        } catch (...) {
            ShowApplicationError(std::current_exception());
        }
        thread_started_ = false;
        CloseDevice();
        connected_ = false;
    }
    *alive_ = false;
}

namespace {

// Clears a sequence flag on every way out, unless the port is gone.
class TSequenceFlag {
public:
    TSequenceFlag(bool& Flag, const std::shared_ptr<bool>& Alive) : flag_(Flag), alive_(Alive) { flag_ = true; }
    ~TSequenceFlag() {
        if (*alive_) flag_ = false;
    }
    TSequenceFlag(const TSequenceFlag&) = delete;
    TSequenceFlag& operator=(const TSequenceFlag&) = delete;

private:
    bool& flag_;
    std::shared_ptr<bool> alive_;
};

}  // namespace

// Opens the device, applies every setting and starts the event thread. A
// settings failure closes the device again (no close events); the handlers
// then learn the state of the three input signals. A handler that closes,
// opens or deletes the port ends the sequence there. The event thread is
// held until the sequence has ended, so no event runs a handler before.
void TCustomComPort::Open() {
    if (connected_) return;
    const std::shared_ptr<bool> alive = alive_;
    if (!opening_) {
        TSequenceFlag opening(opening_, alive);
        NotifyBeforeOpen();
        if (!*alive || connected_) return;
    }
    OpenDevice();
    connected_ = true;
    try {
        ApplyAllSettings();
        if (events_.Empty())
            thread_started_ = false;
        else
            StartEventThread();
    } catch (...) {
        CloseDevice();
        connected_ = false;
        throw;
    }
    // Lets the event thread run on every way out, unless a handler has
    // closed or deleted the port (which has stopped the thread then).
    struct TRelease {
        TCustomComPort& port;
        const std::shared_ptr<bool>& alive;
        ~TRelease() {
            if (*alive && port.event_thread_) port.event_thread_->Release();
        }
    } release{*this, alive};
    auto ended = [&] { return !*alive || !connected_; };
    NotifyAfterOpen();
    if (ended()) return;
    ReportCTS();
    if (ended()) return;
    ReportDSR();
    if (ended()) return;
    ReportRLSD();
}

// Signals off, pending transfers ended, event thread stopped (serving its
// hand-overs while it ends), device closed. A failed abort (code 5) leaves
// the port open and working. A Close from a handler of the notifications
// below goes straight on to the device; a handler that deletes the port
// ends the sequence there.
void TCustomComPort::Close() {
    if (!connected_) return;
    const std::shared_ptr<bool> alive = alive_;
    auto ended = [&] { return !*alive || !connected_; };
    if (!closing_) {
        TSequenceFlag closing(closing_, alive);
        NotifyCTSChange(false);
        if (ended()) return;
        NotifyDSRChange(false);
        if (ended()) return;
        NotifyRLSDChange(false);
        if (ended()) return;
        NotifyBeforeClose();
        if (ended()) return;
    }
    AbortPendingIO();
    if (thread_started_) {
        StopEventThread();
        thread_started_ = false;
        if (ended()) return;   // a handler served during the stop has closed the port
    }
    CloseDevice();
    connected_ = false;
    NotifyAfterClose();
}

void TCustomComPort::Loaded() {
    TComponent::Loaded();
    if (!connected_) return;
    connected_ = false;
    try {
        Open();
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
}

void TCustomComPort::ApplyAllSettings() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

}  // namespace cport
