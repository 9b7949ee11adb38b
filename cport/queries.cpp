// SPDX-License-Identifier: MIT
// Queries about the line (bytes waiting, modem signals, line errors) and the
// report helpers built on them.
#include "cport/device_state.h"

#include <cerrno>
#include <cstdint>

namespace cport {

// Decodes whatever the kernel holds, so that the marks in it are counted.
void TCustomComPort::TDeviceState::DrainForQuery() {
    const TFillResult fill = rx.FillFrom(*device);
    if (fill.error != 0) throw EComPort(CError_ClearComFailed, fill.error);
}

bool TCustomComPort::TDeviceState::TakeCountedErrors(TComErrors& Errors) {
    std::lock_guard lock(counts_mutex);
    TDriverCounts now;
    if (const int error = device->ErrorCounts(now)) {
        if (error != ENOTTY) throw EComPort(CError_ClearComFailed, error);
        return false;
    }
    const TDriverCounts& before = counts;
    if (now.frame != before.frame) Errors.Include(leFrame);
    if (now.parity != before.parity) Errors.Include(leRxParity);
    if (now.overrun != before.overrun) Errors.Include(leOverrun);
    if (now.brk != before.brk) Errors.Include(leBreak);
    if (now.buf_overrun != before.buf_overrun) Errors.Include(leRxOverflow);
    counts = now;
    return true;
}

// Bytes a read could return at once. Like the classic query it also clears
// the line-error state: errors that came before it are not seen by a later
// TakeLineErrors.
int32_t TCustomComPort::InputQueueCount() {
    TDeviceLease lease(*this);
    if (!lease.get()) throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& device = *lease.get();
    TFillResult fill;
    const size_t count = device.rx.FillAndCount(*device.device, fill, true);
    if (fill.error != 0) throw EComPort(CError_ClearComFailed, fill.error);
    TComErrors dropped;
    device.TakeCountedErrors(dropped);
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

// Errors of the received stream and the driver's counts, each reported once.
// Where the driver counts framing and parity errors its counts tell the two
// apart, which the marks in the stream cannot. Parity errors are dropped
// unless Parity.Check is on.
TComErrors TCustomComPort::TakeLineErrors() {
    TDeviceLease lease(*this);
    if (!lease.get()) throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& device = *lease.get();
    device.DrainForQuery();
    TComErrors errors = device.rx.TakeErrors();
    TComErrors counted;
    if (device.TakeCountedErrors(counted))
        errors = (errors & TComErrors{leBreak, leIOError, leMode, leRxOverflow, leTxFull}) | counted;
    if (!device.rx.Options().parity_check) errors.Exclude(leRxParity);
    return errors;
}

// A device without modem lines (a pseudo-terminal, some USB adapters) gives
// the empty set; that is asked once per open.
TLineSignals TCustomComPort::ModemSignals() {
    TDeviceLease lease(*this);
    if (!lease.get()) throw EComPort(CError_ModemStatFailed, EBADF);
    TLineSignals signals;
    const int error = lease.get()->device->ModemLines(signals);
    if (error == ENOTTY) return {};
    if (error != 0) throw EComPort(CError_ModemStatFailed, error);
    return signals;
}

void TCustomComPort::ReportCTS() { NotifyCTSChange(ModemSignals().Contains(lsCTS)); }
void TCustomComPort::ReportDSR() { NotifyDSRChange(ModemSignals().Contains(lsDSR)); }
void TCustomComPort::ReportRLSD() { NotifyRLSDChange(ModemSignals().Contains(lsRLSD)); }

void TCustomComPort::ReportLineErrors() {
    const TComErrors errors = TakeLineErrors();
    if (!errors.Empty()) NotifyError(errors);
}

void TCustomComPort::ReportRing() { NotifyRing(); }
void TCustomComPort::ReportBreak() { NotifyBreak(); }
void TCustomComPort::ReportRx80Full() { NotifyRx80Full(); }

}  // namespace cport
