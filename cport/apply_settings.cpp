// Handing the settings groups to an open device.
#include "cport/device_state.h"
#include "cport/line_settings.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace cport {

namespace {

bool NoSuchControl(int Error) { return Error == ENOTTY || Error == EINVAL; }

int SetModemLine(int Fd, int Line, bool On) {
    return ::ioctl(Fd, On ? TIOCMBIS : TIOCMBIC, &Line) == 0 ? 0 : errno;
}

}  // namespace

// Drivers of USB adapters otherwise hold received bytes back for several
// milliseconds. Best effort: a driver without the request is left as it is.

void TCustomComPort::TDeviceState::RequestLowLatency() {
    if (low_latency_tried) return;
    low_latency_tried = true;
    serial_struct serial{};
    if (::ioctl(fd.get(), TIOCGSERIAL, &serial) != 0) return;
    if (serial.flags & ASYNC_LOW_LATENCY) return;
    const int original = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd.get(), TIOCSSERIAL, &serial) != 0) return;
    original_serial_flags = original;
    low_latency_set = true;
}

// The whole line record in one TCSETS2, then DTR and RTS. A record the
// device refuses, or a rate it does not take, leaves the previous
// configuration in place (code 7). A device without modem lines keeps the
// DTR/RTS settings stored only.
void TCustomComPort::ApplyLineSettings() {
    if (!connected_ || Loading() || !device_) return;
    TDeviceState& device = *device_;
    const int fd = device.fd.get();
    TKernelTermios current;
    if (int error = ReadLineRecord(fd, current)) throw EComPort(CError_SetStateFailed, error);
    const TLineSetup setup = BuildLineSetup(*this, current);
    if (int error = WriteLineRecord(fd, setup.record)) throw EComPort(CError_SetStateFailed, error);

    if (device.has_modem_lines) {
        int error = SetModemLine(fd, TIOCM_DTR, setup.dtr_on);
        if (error == 0) error = SetModemLine(fd, TIOCM_RTS, setup.rts_on);
        if (NoSuchControl(error)) {
            device.has_modem_lines = false;
        } else if (error != 0) {
            RestoreLineRecord(fd, current);
            throw EComPort(CError_SetStateFailed, error);
        }
    }
    device.rx.SetOptions(setup.receive);
    device.RequestLowLatency();
}

// The transfer layer applies the time-outs with poll(); here they are only
// checked and handed over. The one combination the classic driver refuses
// (all three read values all ones) is refused the same way.
void TCustomComPort::ApplyTimeoutSettings() {
    if (!connected_ || Loading() || !device_) return;
    const auto ri = static_cast<uint32_t>(timeouts_.ReadInterval());
    const auto rm = static_cast<uint32_t>(timeouts_.ReadTotalMultiplier());
    const auto rc = static_cast<uint32_t>(timeouts_.ReadTotalConstant());
    if (ri == UINT32_MAX && rm == UINT32_MAX && rc == UINT32_MAX)
        throw EComPort(CError_TimeoutsFailed, EINVAL);
    TTransferTimeouts& t = device_->timeouts;
    t.read_interval = ri;
    t.read_multiplier = rm;
    t.read_constant = rc;
    t.write_multiplier = static_cast<uint32_t>(timeouts_.WriteTotalMultiplier());
    t.write_constant = static_cast<uint32_t>(timeouts_.WriteTotalConstant());
}

// The kernel's queues have fixed sizes. InputSize bounds the port's own
// receive queue (never below its minimum) and sets the 80 % mark that the
// event thread reads when it starts; a negative size is refused.
void TCustomComPort::ApplyBufferSizes() {
    if (!connected_ || Loading() || !device_) return;
    if (buffer_.InputSize() < 0 || buffer_.OutputSize() < 0)
        throw EComPort(CError_SetupComFailed, EINVAL);
    const auto input = static_cast<size_t>(buffer_.InputSize());
    device_->rx.SetLimit(std::max(input, TReceiveQueue::kMinimumLimit));
}

}  // namespace cport
