// Setters of the port's own settings. Line settings are stored and handed to
// ApplyLineSettings, which reaches the device only while the port is open and
// not loading; Port moves an open port to the new device; SyncMethod cannot
// change while the port is open; Events is read at the next Open.
#include "cport/comport.h"

namespace cport {

namespace {

template <typename T>
bool StoreIfChanged(T& Field, const T& Value) {
    if (Field == Value) return false;
    Field = Value;
    return true;
}

}  // namespace

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (StoreIfChanged(baud_rate_, Value)) ApplyLineSettings();
}

void TCustomComPort::SetCustomBaudRate(int32_t Value) {
    if (StoreIfChanged(custom_baud_rate_, Value)) ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits Value) {
    if (StoreIfChanged(data_bits_, Value)) ApplyLineSettings();
}

void TCustomComPort::SetStopBits(TStopBits Value) {
    if (StoreIfChanged(stop_bits_, Value)) ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool Value) {
    if (StoreIfChanged(discard_null_, Value)) ApplyLineSettings();
}

void TCustomComPort::SetEventChar(char Value) {
    if (StoreIfChanged(event_char_, Value)) ApplyLineSettings();
}

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
