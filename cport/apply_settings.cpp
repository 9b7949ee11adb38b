// SPDX-License-Identifier: MIT
// Handing the settings groups to an open device.
#include "cport/device_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

namespace cport {

// The whole line record at once; a record the device refuses, or a rate it
// does not take, leaves the previous configuration in place (code 7).
void TCustomComPort::ApplyLineSettings()
{
    if (!Connected_ || Loading() || !Device_)
        return;
    TDeviceState& Device = *Device_;
    TReceiveOptions Receive;
    if (int Error = Device.Device->ApplyLine(*this, Receive))
        throw EComPort(CError_SetStateFailed, Error);
    Device.Rx.SetOptions(Receive);
}

// The transfer layer applies the time-outs with poll(); here they are only
// checked and handed over. The one combination the classic driver refuses
// (all three read values all ones) is refused the same way.
void TCustomComPort::ApplyTimeoutSettings()
{
    if (!Connected_ || Loading() || !Device_)
        return;
    const auto Ri = static_cast<uint32_t>(Timeouts_.ReadInterval());
    const auto Rm = static_cast<uint32_t>(Timeouts_.ReadTotalMultiplier());
    const auto Rc = static_cast<uint32_t>(Timeouts_.ReadTotalConstant());
    if (Ri == UINT32_MAX && Rm == UINT32_MAX && Rc == UINT32_MAX)
        throw EComPort(CError_TimeoutsFailed, EINVAL);
    TTransferTimeouts& T = Device_->Timeouts;
    T.ReadInterval = Ri;
    T.ReadMultiplier = Rm;
    T.ReadConstant = Rc;
    T.WriteMultiplier = static_cast<uint32_t>(Timeouts_.WriteTotalMultiplier());
    T.WriteConstant = static_cast<uint32_t>(Timeouts_.WriteTotalConstant());
}

// The kernel's queues have fixed sizes. InputSize bounds the port's own
// receive queue (never below its minimum) and sets the 80 % mark that the
// event thread reads when it starts; a negative size is refused.
void TCustomComPort::ApplyBufferSizes()
{
    if (!Connected_ || Loading() || !Device_)
        return;
    if (Buffer_.InputSize() < 0 || Buffer_.OutputSize() < 0)
        throw EComPort(CError_SetupComFailed, EINVAL);
    const auto Input = static_cast<size_t>(Buffer_.InputSize());
    try {
        Device_->Rx.SetLimit(std::max(Input, TReceiveQueue::MinimumLimit));
    } catch (const std::bad_alloc&) {
        throw EComPort(CError_SetupComFailed, ENOMEM);
    }
}

// Nothing reaches a device whose RS-485 mode this port has never turned on,
// so ordinary ports, pseudo-terminals and network ports are not asked. Once
// the device has taken a setup it is given every later one, turning the
// mode off included. A device without the mode answers ENOTTY (some drivers
// EINVAL); an EINVAL from a device that has taken a setup refuses the values.
void TCustomComPort::ApplyRs485Settings()
{
    if (!Connected_ || Loading() || !Device_)
        return;
    TDeviceState& Device = *Device_;
    if (!Rs485_.Enabled() && !Device.Rs485Given)
        return;
    if (Rs485_.DelayBeforeSendMs() < 0 || Rs485_.DelayAfterSendMs() < 0)
        throw EComPort(CError_Rs485Failed, EINVAL);
    const int Error = Device.Device->ApplyRs485(Rs485_);
    if (Error == ENOTTY || (Error == EINVAL && !Device.Rs485Given))
        throw EComPort(CError_Rs485Failed, Error, "the device has no RS-485 mode");
    if (Error != 0)
        throw EComPort(CError_Rs485Failed, Error);
    Device.Rs485Given = true;
}

}  // namespace cport
