// SPDX-License-Identifier: MIT
// Setters of the port's own settings. Line settings are stored and handed to
// ApplyLineSettings, which reaches the device only while the port is open and
// not loading; Port moves an open port to the new device; SyncMethod cannot
// change while the port is open; Events is read at the next Open.
#include "cport/changed_setting.h"
#include "cport/comport.h"

namespace cport {

namespace {

constexpr auto kLine = &TCustomComPort::ApplyLineSettings;

}  // namespace

void TCustomComPort::SetBaudRate(TBaudRate Value) { StoreChanged(baud_rate_, Value, this, kLine); }
void TCustomComPort::SetCustomBaudRate(int32_t Value) { StoreChanged(custom_baud_rate_, Value, this, kLine); }
void TCustomComPort::SetDataBits(TDataBits Value) { StoreChanged(data_bits_, Value, this, kLine); }
void TCustomComPort::SetStopBits(TStopBits Value) { StoreChanged(stop_bits_, Value, this, kLine); }
void TCustomComPort::SetDiscardNull(bool Value) { StoreChanged(discard_null_, Value, this, kLine); }
void TCustomComPort::SetEventChar(char Value) { StoreChanged(event_char_, Value, this, kLine); }

// While loading the value is only remembered: the end of loading opens the
// port if it was stored as True.
void TCustomComPort::SetConnected(bool Value) {
    if (Loading()) {
        connected_ = Value;
        return;
    }
    if (Value == connected_) return;
    if (Value)
        Open();
    else
        Close();
}

// A new name on an open port closes it and opens the new device, with all the
// open and close events. If that Open fails the error propagates and the port
// stays closed under the new name.
void TCustomComPort::SetPort(const std::string& Value) {
    if (Value == port_) return;
    port_ = Value;
    if (connected_ && !Loading()) {
        Close();
        Open();
    }
}

// The hand-over method is fixed while the event thread runs with it.
void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (Value == sync_method_) return;
    if (connected_ && !Loading()) throw EComPort(CError_ConnChangeProp);
    sync_method_ = Value;
}

void TCustomComPort::SetEvents(TComEvents Value) { events_ = Value; }

}  // namespace cport
