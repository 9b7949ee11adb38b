// SPDX-License-Identifier: MIT
// Construction, destruction, Open and Close of a port.
#include "cport/com_thread.h"
#include "cport/device_state.h"

#include <exception>
#include <memory>

namespace cport {

// The settings objects are members, created in the order Parity,
// FlowControl, Timeouts, Buffer, Rs485, each with this port as owner.
TCustomComPort::TCustomComPort(TComponent* Owner) : TComponent(Owner) {}

// An open port is closed with all its events. A destructor must not throw:
// an error of Close goes to the application's error display, and the device
// and the event thread are released all the same.
TCustomComPort::~TCustomComPort()
{
    try {
        Close();
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
    if (Connected_) {
        try {
            if (ThreadStarted_)
                StopEventThread();
        } catch (...) {
            ShowApplicationError(std::current_exception());
        }
        ThreadStarted_ = false;
        CloseDevice();
        Connected_ = false;
    }
    *Alive_ = false;
}

namespace {

// Clears a sequence flag on every way out, unless the port is gone.
class TSequenceFlag {
public:
    TSequenceFlag(bool& Flag, const std::shared_ptr<bool>& Alive) : Flag_(Flag), Alive_(Alive) { Flag_ = true; }
    ~TSequenceFlag()
    {
        if (*Alive_)
            Flag_ = false;
    }
    TSequenceFlag(const TSequenceFlag&) = delete;
    TSequenceFlag& operator=(const TSequenceFlag&) = delete;

private:
    bool& Flag_;
    std::shared_ptr<bool> Alive_;
};

}  // namespace

// Opens the device, applies every setting and starts the event thread. A
// settings failure closes the device again (no close events); the handlers
// then learn the state of the three input signals. A handler that closes,
// opens or deletes the port ends the sequence there. The event thread is
// held until the sequence has ended, so no event runs a handler before.
void TCustomComPort::Open()
{
    if (Connected_)
        return;
    const std::shared_ptr<bool> Alive = Alive_;
    if (!Opening_) {
        TSequenceFlag Opening(Opening_, Alive);
        NotifyBeforeOpen();
        if (!*Alive || Connected_)
            return;
    }
    OpenDevice();
    Connected_ = true;
    try {
        ApplyAllSettings();
        if (Events_.Empty())
            ThreadStarted_ = false;
        else
            StartEventThread();
    } catch (...) {
        CloseDevice();
        Connected_ = false;
        throw;
    }
    // Lets the event thread run on every way out, unless a handler has
    // closed or deleted the port (which has stopped the thread then).
    struct TRelease {
        TCustomComPort& Port;
        const std::shared_ptr<bool>& Alive;
        ~TRelease()
        {
            if (*Alive && Port.EventThread_)
                Port.EventThread_->Release();
        }
    } Release{*this, Alive};
    auto Ended = [&] { return !*Alive || !Connected_; };
    NotifyAfterOpen();
    if (Ended())
        return;
    ReportCTS();
    if (Ended())
        return;
    ReportDSR();
    if (Ended())
        return;
    ReportRLSD();
}

// Signals off, pending transfers ended, event thread stopped (serving its
// hand-overs while it ends), device closed. A failed abort (code 5) leaves
// the port open and working. A Close from a handler of the notifications
// below goes straight on to the device; a handler that deletes the port
// ends the sequence there.
void TCustomComPort::Close()
{
    if (!Connected_)
        return;
    const std::shared_ptr<bool> Alive = Alive_;
    auto Ended = [&] { return !*Alive || !Connected_; };
    if (!Closing_) {
        TSequenceFlag Closing(Closing_, Alive);
        NotifyCTSChange(false);
        if (Ended())
            return;
        NotifyDSRChange(false);
        if (Ended())
            return;
        NotifyRLSDChange(false);
        if (Ended())
            return;
        NotifyBeforeClose();
        if (Ended())
            return;
    }
    AbortPendingIO();
    if (ThreadStarted_) {
        StopEventThread();
        ThreadStarted_ = false;
        if (Ended())
            return;  // a handler served during the stop has closed the port
    }
    CloseDevice();
    Connected_ = false;
    NotifyAfterClose();
}

void TCustomComPort::Loaded()
{
    TComponent::Loaded();
    if (!Connected_)
        return;
    Connected_ = false;
    try {
        Open();
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
}

void TCustomComPort::ApplyAllSettings()
{
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
    ApplyRs485Settings();
}

}  // namespace cport
