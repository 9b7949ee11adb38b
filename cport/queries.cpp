// Queries about the line (bytes waiting, modem signals, line errors) and the
// report helpers built on them.
#include "cport/device_state.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace cport {

int ReadLineCounts(int Fd, TLineCounts& Counts) {
    serial_icounter_struct now{};
    if (::ioctl(Fd, TIOCGICOUNT, &now) != 0) return errno;
    Counts.frame = now.frame;
    Counts.parity = now.parity;
    Counts.overrun = now.overrun;
    Counts.brk = now.brk;
    Counts.buf_overrun = now.buf_overrun;
    return 0;
}

namespace {

bool NoSuchControl(int Error) { return Error == ENOTTY || Error == EINVAL; }

}  // namespace

// Decodes whatever the kernel holds, so that the marks in it are counted.
void TCustomComPort::TDeviceState::DrainForQuery() {
    const TFillResult fill = rx.FillFrom(fd.get());
    if (fill.error != 0) throw EComPort(CError_ClearComFailed, fill.error);
}

bool TCustomComPort::TDeviceState::TakeCountedErrors(TComErrors& Errors) {
    if (!has_counts.load(std::memory_order_relaxed)) return false;
    std::lock_guard lock(counts_mutex);
    if (!has_counts) return false;
    TLineCounts now;
    if (const int error = ReadLineCounts(fd.get(), now)) {
        if (!NoSuchControl(error)) throw EComPort(CError_ClearComFailed, error);
        has_counts = false;
        return false;
    }
    const TLineCounts& before = counts;
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
    if (!device_) throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& device = *device_;
    TFillResult fill;
    const size_t count = device.rx.FillAndCount(device.fd.get(), fill, true);
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
    if (!device_) throw EComPort(CError_ClearComFailed, EBADF);
    TDeviceState& device = *device_;
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
    if (!device_) throw EComPort(CError_ModemStatFailed, EBADF);
    TDeviceState& device = *device_;
    if (!device.has_modem_lines) return {};
    int lines = 0;
    if (::ioctl(device.fd.get(), TIOCMGET, &lines) != 0) {
        const int error = errno;
        if (!NoSuchControl(error)) throw EComPort(CError_ModemStatFailed, error);
        device.has_modem_lines = false;
        return {};
    }
    TLineSignals signals;
    if (lines & TIOCM_CTS) signals.Include(lsCTS);
    if (lines & TIOCM_DSR) signals.Include(lsDSR);
    if (lines & TIOCM_RNG) signals.Include(lsRing);
    if (lines & TIOCM_CD) signals.Include(lsRLSD);
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
