// Construction, destruction, Open and Close of a port.
#include "cport/com_thread.h"
#include "cport/device_state.h"
#include "cport/event_receiver.h"

#include <exception>

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
    if (!connected_) return;
    try {
        if (thread_started_) StopEventThread();
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
    thread_started_ = false;
    CloseDevice();
    connected_ = false;
}

// Opens the device, applies every setting and starts the event thread. A
// settings failure closes the device again (no close events); the handlers
// then learn the state of the three input signals. A handler that closes or
// opens the port itself ends the sequence there.
void TCustomComPort::Open() {
    if (connected_) return;
    NotifyBeforeOpen();
    if (connected_) return;
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
    NotifyAfterOpen();
    if (!connected_) return;
    ReportCTS();
    ReportDSR();
    ReportRLSD();
}

// Signals off, pending transfers ended, event thread stopped (serving its
// hand-overs while it ends), device closed. A failed abort (code 5) leaves
// the port open and working.
void TCustomComPort::Close() {
    if (!connected_) return;
    NotifyCTSChange(false);
    NotifyDSRChange(false);
    NotifyRLSDChange(false);
    NotifyBeforeClose();
    if (!connected_) return;
    AbortPendingIO();
    if (thread_started_) {
        StopEventThread();
        thread_started_ = false;
        if (!connected_) return;   // a handler served during the stop has closed the port
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
