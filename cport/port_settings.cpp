// SPDX-License-Identifier: MIT
// The port's own settings: their setters, and handing each settings group to
// an open device.
#include "cport/changed_setting.h"
#include "cport/comport.h"
#include "cport/device_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

namespace cport {

// ---------------------------------------------------------------------------
// Setters of the port's own settings. Line settings are stored and handed to
// ApplyLineSettings, which reaches the device only while the port is open and
// not loading; Port moves an open port to the new device; SyncMethod cannot
// change while the port is open; Events is read at the next Open.

namespace {

constexpr auto ApplyLine = &TCustomComPort::ApplyLineSettings;

}  // namespace

void TCustomComPort::SetBaudRate(TBaudRate Value)
{
    StoreChanged(BaudRate_, Value, this, ApplyLine);
}
void TCustomComPort::SetCustomBaudRate(int32_t Value)
{
    StoreChanged(CustomBaudRate_, Value, this, ApplyLine);
}
void TCustomComPort::SetDataBits(TDataBits Value)
{
    StoreChanged(DataBits_, Value, this, ApplyLine);
}
void TCustomComPort::SetStopBits(TStopBits Value)
{
    StoreChanged(StopBits_, Value, this, ApplyLine);
}
void TCustomComPort::SetDiscardNull(bool Value)
{
    StoreChanged(DiscardNull_, Value, this, ApplyLine);
}
void TCustomComPort::SetEventChar(char Value)
{
    StoreChanged(EventChar_, Value, this, ApplyLine);
}

// While loading the value is only remembered: the end of loading opens the
// port if it was stored as True.
void TCustomComPort::SetConnected(bool Value)
{
    if (Loading()) {
        Connected_ = Value;
        return;
    }
    if (Value == Connected_)
        return;
    if (Value)
        Open();
    else
        Close();
}

// A new name on an open port closes it and opens the new device, with all the
// open and close events. If that Open fails the error propagates and the port
// stays closed under the new name.
void TCustomComPort::SetPort(const std::string& Value)
{
    if (Value == Port_)
        return;
    Port_ = Value;
    if (Connected_ && !Loading()) {
        Close();
        Open();
    }
}

// The hand-over method is fixed while the event thread runs with it.
void TCustomComPort::SetSyncMethod(TSyncMethod Value)
{
    if (Value == SyncMethod_)
        return;
    if (Connected_ && !Loading())
        throw EComPort(CError_ConnChangeProp);
    SyncMethod_ = Value;
}

void TCustomComPort::SetEvents(TComEvents Value)
{
    Events_ = Value;
}

// ---------------------------------------------------------------------------
// Handing the settings groups to an open device.

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
