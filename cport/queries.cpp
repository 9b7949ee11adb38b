// SPDX-License-Identifier: MIT
// Queries about the line (bytes waiting, modem signals, line errors) and the
// report helpers built on them.
#include "cport/device_state.h"

#include <cerrno>
#include <cstdint>

namespace cport {

// Decodes whatever the kernel holds, so that the marks in it are counted.
void TCustomComPort::TDeviceState::DrainForQuery()
{
    const TFillResult Fill = Rx.FillFrom(*Device);
    if (Fill.Error != 0)
        throw EComPort(CError_ClearComFailed, Fill.Error);
}

bool TCustomComPort::TDeviceState::TakeCountedErrors(TComErrors& Errors)
{
    std::lock_guard Lock(CountsMutex);
    if (!CountsSupported)
        return false;
    TDriverCounts Now;
    if (const int Error = Device->ErrorCounts(Now)) {
        if (Error != ENOTTY)
            throw EComPort(CError_ClearComFailed, Error);
        CountsSupported = false;  // not asked again while the device is open
        return false;
    }
    Errors = Errors | Now.LineErrorsSince(Counts);
    Counts = Now;
    return true;
}

// Bytes a read could return at once. Like the classic query it also clears
// the line-error state: errors that came before it are not seen by a later
// TakeLineErrors.
int32_t TCustomComPort::InputQueueCount()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& Device = *Lease.get();
    const TFillResult Fill = Device.Rx.FillFrom(*Device.Device);
    if (Fill.Error != 0)
        throw EComPort(CError_ClearComFailed, Fill.Error);
    const size_t Count = Fill.Waiting;
    Device.Rx.TakeErrors();
    TComErrors Dropped;
    Device.TakeCountedErrors(Dropped);
    return Count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(Count);
}

int32_t TCustomComPort::InputWaitDescriptor()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ClearComFailed, EBADF);
    return Lease.get()->Device->PollFd();
}

// Errors of the received stream and the driver's counts, each reported once.
// Where the driver counts framing and parity errors its counts tell the two
// apart, which the marks in the stream cannot. Parity errors are dropped
// unless Parity.Check is on.
TComErrors TCustomComPort::TakeLineErrors()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& Device = *Lease.get();
    Device.DrainForQuery();
    TComErrors Errors = Device.Rx.TakeErrors();
    TComErrors Counted;
    if (Device.TakeCountedErrors(Counted))
        Errors = (Errors & TComErrors{leBreak, leIOError, leMode, leRxOverflow, leTxFull}) | Counted;
    if (!Device.Rx.Options().ParityCheck)
        Errors.Exclude(leRxParity);
    return Errors;
}

// A device without modem lines (a pseudo-terminal, some USB adapters) gives
// the empty set; that is asked once per open.
TLineSignals TCustomComPort::ModemSignals()
{
    TDeviceLease Lease(*this);
    if (!Lease.get())
        throw EComPort(CError_ModemStatFailed, EBADF);
    TLineSignals Signals;
    const int Error = Lease.get()->Device->ModemLines(Signals);
    if (Error == ENOTTY)
        return {};
    if (Error != 0)
        throw EComPort(CError_ModemStatFailed, Error);
    return Signals;
}

void TCustomComPort::ReportCTS()
{
    NotifyCTSChange(ModemSignals().Contains(lsCTS));
}
void TCustomComPort::ReportDSR()
{
    NotifyDSRChange(ModemSignals().Contains(lsDSR));
}
void TCustomComPort::ReportRLSD()
{
    NotifyRLSDChange(ModemSignals().Contains(lsRLSD));
}

void TCustomComPort::ReportLineErrors()
{
    const TComErrors Errors = TakeLineErrors();
    if (!Errors.Empty())
        NotifyError(Errors);
}

void TCustomComPort::ReportRing()
{
    NotifyRing();
}
void TCustomComPort::ReportBreak()
{
    NotifyBreak();
}
void TCustomComPort::ReportRx80Full()
{
    NotifyRx80Full();
}

}  // namespace cport
