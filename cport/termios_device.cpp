// SPDX-License-Identifier: MIT
// The kernel serial device behind an open port.
#include "cport/termios_device.h"

#include "cport/line_settings.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace cport {

namespace {

int IoctlError(int Result) { return Result == 0 ? 0 : errno; }

bool NoSuchControl(int Error) { return Error == ENOTTY || Error == EINVAL; }

// The slave side of a pseudo-terminal (Unix 98 majors 136 to 143).
bool IsPseudoTerminal(int Fd) {
    struct stat st {};
    if (::fstat(Fd, &st) != 0) return false;
    const unsigned int major_number = major(st.st_rdev);
    return S_ISCHR(st.st_mode) && major_number >= 136 && major_number <= 143;
}

// Gives up the TIOCEXCL of a device whose open fails after it was taken.
class TExclusiveHold {
public:
    explicit TExclusiveHold(int Fd) : fd_(Fd) {}
    ~TExclusiveHold() {
        if (fd_ >= 0) ::ioctl(fd_, TIOCNXCL);
    }
    TExclusiveHold(const TExclusiveHold&) = delete;
    TExclusiveHold& operator=(const TExclusiveHold&) = delete;
    void Keep() { fd_ = -1; }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<TTermiosDevice> TTermiosDevice::Open(const std::string& Path, int& Error) {
    std::unique_ptr<TTermiosDevice> device(new TTermiosDevice);
    device->fd_.reset(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int fd = device->fd_.get();
    auto failed = [&](int E) {
        Error = E;
        return nullptr;
    };
    if (fd < 0) return failed(errno);
    if (!::isatty(fd)) return failed(errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return failed(errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return failed(errno);
    TExclusiveHold hold(fd);
    if (int error = ReadLineRecord(fd, device->original_)) return failed(error);
    if (::tcflush(fd, TCIFLUSH) != 0) return failed(errno);
    hold.Keep();
    Error = 0;
    return device;
}

TTermiosDevice::~TTermiosDevice() { Close(); }

int TTermiosDevice::Absent(std::atomic<bool>& Flag, int Error) {
    if (!NoSuchControl(Error)) return Error;
    Flag = false;
    return ENOTTY;
}

ssize_t TTermiosDevice::Read(void* Buffer, size_t Count) { return ::read(fd_.get(), Buffer, Count); }

ssize_t TTermiosDevice::Write(const void* Buffer, size_t Count) {
    return ::write(fd_.get(), Buffer, Count);
}

// The whole line record in one TCSETS2, then DTR and RTS. A record the
// device refuses, or a rate it does not take, leaves the previous record in
// place. A device without modem lines keeps the DTR/RTS settings stored only.
int TTermiosDevice::ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) {
    const int fd = fd_.get();
    TKernelTermios current;
    if (int error = ReadLineRecord(fd, current)) return error;
    TLineSetup setup;
    try {
        setup = BuildLineSetup(Port, current);
    } catch (const EComPort& e) {
        return e.SystemErrorCode();
    }
    // A driver that keeps no error counts cannot report errors after the
    // fact: they are marked in the stream instead. A pseudo-terminal has no
    // line errors to report.
    if (!setup.receive.marked && !has_counts_.load() && !IsPseudoTerminal(fd)) {
        setup.record.c_iflag = (setup.record.c_iflag & ~static_cast<uint32_t>(IGNBRK)) | INPCK | PARMRK;
        setup.receive.marked = true;
    }
    if (int error = WriteLineRecord(fd, setup.record)) return error;
    const int error = SetOutputLines(setup.dtr_on, setup.rts_on);
    if (error != 0 && error != ENOTTY) {
        RestoreLineRecord(fd, current);
        return error;
    }
    Receive = setup.receive;
    RequestLowLatency();
    return 0;
}

void TTermiosDevice::RequestLowLatency() {
    if (low_latency_tried_) return;
    low_latency_tried_ = true;
    serial_struct serial{};
    if (::ioctl(fd_.get(), TIOCGSERIAL, &serial) != 0) return;
    if (serial.flags & ASYNC_LOW_LATENCY) return;
    const int original = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd_.get(), TIOCSSERIAL, &serial) != 0) return;
    original_serial_flags_ = original;
    low_latency_set_ = true;
}

int TTermiosDevice::Purge(bool Input, bool Output) {
    if (!Input && !Output) return 0;
    const int which = Input && Output ? TCIOFLUSH : (Input ? TCIFLUSH : TCOFLUSH);
    return IoctlError(::tcflush(fd_.get(), which));
}

int TTermiosDevice::ModemLines(TLineSignals& Lines) {
    Lines = {};
    if (!has_modem_lines_.load(std::memory_order_relaxed)) return ENOTTY;
    int bits = 0;
    if (int error = IoctlError(::ioctl(fd_.get(), TIOCMGET, &bits))) return Absent(has_modem_lines_, error);
    if (bits & TIOCM_CTS) Lines.Include(lsCTS);
    if (bits & TIOCM_DSR) Lines.Include(lsDSR);
    if (bits & TIOCM_RNG) Lines.Include(lsRing);
    if (bits & TIOCM_CD) Lines.Include(lsRLSD);
    return 0;
}

int TTermiosDevice::WaitForModemChange() {
    if (!has_modem_lines_.load(std::memory_order_relaxed)) return ENOTTY;
    const int mask = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
    const int error = IoctlError(::ioctl(fd_.get(), TIOCMIWAIT, mask));
    return error == EINTR ? EINTR : Absent(has_modem_lines_, error);
}

int TTermiosDevice::SetOutputLines(bool Dtr, bool Rts) {
    if (!has_modem_lines_.load(std::memory_order_relaxed)) return ENOTTY;
    for (auto [line, on] : {std::pair{TIOCM_DTR, Dtr}, std::pair{TIOCM_RTS, Rts}}) {
        if (int error = IoctlError(::ioctl(fd_.get(), on ? TIOCMBIS : TIOCMBIC, &line)))
            return Absent(has_modem_lines_, error);
    }
    return 0;
}

int TTermiosDevice::SetBreak(bool On) {
    return IoctlError(::ioctl(fd_.get(), On ? TIOCSBRK : TIOCCBRK));
}

int TTermiosDevice::OutputQueued(int& Bytes) {
    Bytes = 0;
    return IoctlError(::ioctl(fd_.get(), TIOCOUTQ, &Bytes));
}

int TTermiosDevice::TransmitterEmpty(bool& Empty) {
    Empty = true;
    if (!has_lsr_.load(std::memory_order_relaxed)) return ENOTTY;
    unsigned int lsr = 0;
    if (int error = IoctlError(::ioctl(fd_.get(), TIOCSERGETLSR, &lsr))) return Absent(has_lsr_, error);
    Empty = (lsr & TIOCSER_TEMT) != 0;
    return 0;
}

int TTermiosDevice::ErrorCounts(TDriverCounts& Counts) {
    if (!has_counts_.load(std::memory_order_relaxed)) return ENOTTY;
    serial_icounter_struct now{};
    if (int error = IoctlError(::ioctl(fd_.get(), TIOCGICOUNT, &now))) return Absent(has_counts_, error);
    Counts.frame = now.frame;
    Counts.parity = now.parity;
    Counts.overrun = now.overrun;
    Counts.brk = now.brk;
    Counts.buf_overrun = now.buf_overrun;
    Counts.cts = now.cts;
    Counts.dsr = now.dsr;
    Counts.rng = now.rng;
    Counts.dcd = now.dcd;
    return 0;
}

// Output still queued is dropped first: with flow control held off or a
// slow line, close() would otherwise wait for the driver's closing wait (30 s
// on a UART), and putting back the saved record may release flow control.
// Failures are not reported: the descriptor goes in any case.
void TTermiosDevice::Close() {
    if (!fd_) return;
    const int fd = fd_.get();
    ::tcflush(fd, TCOFLUSH);
    if (low_latency_set_) {
        serial_struct serial{};
        if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = original_serial_flags_;
            ::ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    RestoreLineRecord(fd, original_);
    ::ioctl(fd, TIOCNXCL);
    fd_.reset();
}

}  // namespace cport
