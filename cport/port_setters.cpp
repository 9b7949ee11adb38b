// SPDX-License-Identifier: MIT
// Setters of the port's own settings. Line settings are stored and handed to
// ApplyLineSettings, which reaches the device only while the port is open and
// not loading; Port moves an open port to the new device; SyncMethod cannot
// change while the port is open; Events is read at the next Open.
#include "cport/changed_setting.h"
#include "cport/comport.h"

namespace cport {

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

}  // namespace cport
