// SPDX-License-Identifier: MIT
// Obtaining and releasing the device, and the device state around it.
#include "cport/device_state.h"
#include "cport/net_device.h"
#include "cport/termios_device.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <new>

namespace cport {

int TCustomComPort::TDeviceState::Init(std::unique_ptr<TDevice> Opened)
{
    Device = std::move(Opened);
    if (int Error = AbortFd.Init())
        return Error;
    TxFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!TxFd)
        return errno;
    if (int Error = Rx.Init())
        return Error;
    // The driver's error counts from here on are this port's (a driver
    // without counts is noted by the device).
    Device->ErrorCounts(Counts);
    return 0;
}

// Exclusive read-write access to an existing serial device (see
// termios_device.h); input queued before the open is dropped.
void TCustomComPort::OpenDevice()
{
    if (Device_)
        return;
    std::unique_ptr<TDevice> Opened;
    if (const auto Address = NetAddressOf(Port_)) {
        // A network port: the reason of a failure goes below the message.
        TNetOpenFailure Failure;
        Opened = OpenNetDevice(*Address, Failure, TelnetCheckWait_);
        if (!Opened)
            throw EComPort(CError_OpenFailed, Failure.Error, Failure.Reason);
    } else {
        int Error = 0;
        Opened = TTermiosDevice::Open(DevicePathOf(Port_), Error);
        if (!Opened)
            throw EComPort(CError_OpenFailed, Error);
    }
    AdoptDevice(std::move(Opened));
}

// The device state around an opened device. A failure releases the device
// with the state (its Close puts back what the open found).
void TCustomComPort::AdoptDevice(std::unique_ptr<TDevice> Opened)
{
    if (Device_)
        return;
    std::unique_ptr<TDeviceState> State(new (std::nothrow) TDeviceState);
    if (!State)
        throw EComPort(CError_OpenFailed, ENOMEM);
    TDevice& Device = *Opened;
    if (int Error = State->Init(std::move(Opened)))
        throw EComPort(CError_OpenFailed, Error);
    AttachNetQueue(Device, State->Rx);
    Device_ = std::move(State);
    LiveDevice_.store(Device_.get());
}

// Every transfer or query still running on another thread ends first; then the
// device puts back what it had before the open and is released. Failures
// are not reported: the device goes in any case.
void TCustomComPort::CloseDevice()
{
    if (!Device_)
        return;
    TDeviceState& Device = *Device_;
    // No new call gets the state; the waits of those under way end, and
    // they leave. (A call takes its lease before it looks at LiveDevice_,
    // and this looks at the users after withdrawing it: one of the two sees
    // the other.)
    LiveDevice_.store(nullptr);
    Device.AbortFd.Shutdown();
    for (int Users = DeviceUsers_.load(); Users != 0; Users = DeviceUsers_.load())
        DeviceUsers_.wait(Users);
    Device.Rx.SetWatcher({});
    Device.Device->Close();
    Device_.reset();
}

}  // namespace cport
