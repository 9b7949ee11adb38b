// SPDX-License-Identifier: MIT
// Obtaining and releasing the device, and the device state around it.
#include "cport/device_state.h"
#include "cport/net_device.h"
#include "cport/termios_device.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <new>

namespace cport {

int TCustomComPort::TDeviceState::Init(std::unique_ptr<TDevice> Opened) {
    device = std::move(Opened);
    if (int error = abort_fd.Init()) return error;
    tx_fd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!tx_fd) return errno;
    if (int error = rx.Init()) return error;
    // The driver's error counts from here on are this port's (a driver
    // without counts is noted by the device).
    device->ErrorCounts(counts);
    return 0;
}

// Exclusive read-write access to an existing serial device (see
// termios_device.h); input queued before the open is dropped.
void TCustomComPort::OpenDevice() {
    if (device_) return;
    int error = 0;
    std::unique_ptr<TDevice> opened;
    if (const auto address = NetAddressOf(port_)) {
        // A network port: the reason of a failure goes below the message.
        TNetOpenFailure failure;
        opened = OpenNetDevice(*address, failure);
        if (!opened) throw EComPort(CError_OpenFailed, failure.error, failure.reason);
    } else {
        opened = TTermiosDevice::Open(DevicePathOf(port_), error);
        if (!opened) throw EComPort(CError_OpenFailed, error);
    }
    std::unique_ptr<TDeviceState> state(new (std::nothrow) TDeviceState);
    if (!state) throw EComPort(CError_OpenFailed, ENOMEM);
    TDevice& device = *opened;
    if ((error = state->Init(std::move(opened)))) throw EComPort(CError_OpenFailed, error);
    AttachNetQueue(device, state->rx);
    device_ = std::move(state);
    live_device_.store(device_.get());
}

// Every transfer or query still running on another thread ends first; then the
// device puts back what it had before the open and is released. Failures
// are not reported: the device goes in any case.
void TCustomComPort::CloseDevice() {
    if (!device_) return;
    TDeviceState& device = *device_;
    // No new call gets the state; the waits of those under way end, and
    // they leave. (A call takes its lease before it looks at live_device_,
    // and this looks at the users after withdrawing it: one of the two sees
    // the other.)
    live_device_.store(nullptr);
    device.abort_fd.Shutdown();
    for (int users = device_users_.load(); users != 0; users = device_users_.load())
        device_users_.wait(users);
    device.rx.SetWatcher({});
    device.device->Close();
    device_.reset();
}

}  // namespace cport
