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

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace cport {

namespace {

int IoctlError(int Result)
{
    return Result == 0 ? 0 : errno;
}

bool NoSuchControl(int Error)
{
    return Error == ENOTTY || Error == EINVAL;
}

// The slave side of a pseudo-terminal (Unix 98 majors 136 to 143).
bool IsPseudoTerminal(int Fd)
{
    struct stat St {};
    if (::fstat(Fd, &St) != 0)
        return false;
    const unsigned int MajorNumber = major(St.st_rdev);
    return S_ISCHR(St.st_mode) && MajorNumber >= 136 && MajorNumber <= 143;
}

// Gives up the TIOCEXCL of a device whose open fails after it was taken.
class TExclusiveHold {
public:
    explicit TExclusiveHold(int Fd) : Fd_(Fd) {}
    ~TExclusiveHold()
    {
        if (Fd_ >= 0)
            ::ioctl(Fd_, TIOCNXCL);
    }
    TExclusiveHold(const TExclusiveHold&) = delete;
    TExclusiveHold& operator=(const TExclusiveHold&) = delete;
    void Keep() { Fd_ = -1; }

private:
    int Fd_;
};

}  // namespace

std::unique_ptr<TTermiosDevice> TTermiosDevice::Open(const std::string& Path, int& Error)
{
    std::unique_ptr<TTermiosDevice> Device(new TTermiosDevice);
    Device->Fd_.Reset(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int Fd = Device->Fd_.get();
    auto Failed = [&](int E) {
        Error = E;
        return nullptr;
    };
    if (Fd < 0)
        return Failed(errno);
    if (!::isatty(Fd))
        return Failed(errno);
    if (::flock(Fd, LOCK_EX | LOCK_NB) != 0)
        return Failed(errno);
    if (::ioctl(Fd, TIOCEXCL) != 0)
        return Failed(errno);
    TExclusiveHold Hold(Fd);
    if (int ReadError = ReadLineRecord(Fd, Device->Original_))
        return Failed(ReadError);
    if (::tcflush(Fd, TCIFLUSH) != 0)
        return Failed(errno);
    Hold.Keep();
    Error = 0;
    return Device;
}

TTermiosDevice::~TTermiosDevice()
{
    Close();
}

int TTermiosDevice::Absent(std::atomic<bool>& Flag, int Error)
{
    if (!NoSuchControl(Error))
        return Error;
    Flag = false;
    return ENOTTY;
}

ssize_t TTermiosDevice::Read(void* Buffer, size_t Count)
{
    return ::read(Fd_.get(), Buffer, Count);
}

ssize_t TTermiosDevice::Write(const void* Buffer, size_t Count)
{
    return ::write(Fd_.get(), Buffer, Count);
}

// The whole line record in one TCSETS2, then DTR and RTS. A record the
// device refuses, or a rate it does not take, leaves the previous record in
// place. A device without modem lines keeps the DTR/RTS settings stored only,
// and so does RTS in RS-485 mode, where the driver drives it.
int TTermiosDevice::ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive)
{
    const int Fd = Fd_.get();
    TKernelTermios Current;
    if (int Error = ReadLineRecord(Fd, Current))
        return Error;
    TLineSetup Setup;
    try {
        Setup = BuildLineSetup(Port, Current);
    } catch (const EComPort& E) {
        return E.SystemErrorCode();
    }
    // A driver that keeps no error counts cannot report errors after the
    // fact: they are marked in the stream instead. A pseudo-terminal has no
    // line errors to report.
    if (!Setup.Receive.Marked && !HasCounts_.load() && !IsPseudoTerminal(Fd)) {
        Setup.Record.c_iflag = (Setup.Record.c_iflag & ~static_cast<uint32_t>(IGNBRK)) | INPCK | PARMRK;
        Setup.Receive.Marked = true;
    }
    if (int Error = WriteLineRecord(Fd, Setup.Record))
        return Error;
    const int Error = Rs485On_ ? SetOutputLine(TIOCM_DTR, Setup.DtrOn) : SetOutputLines(Setup.DtrOn, Setup.RtsOn);
    if (Error != 0 && Error != ENOTTY) {
        RestoreLineRecord(Fd, Current);
        return Error;
    }
    Receive = Setup.Receive;
    RequestLowLatency();
    return 0;
}

serial_rs485 BuildRs485Record(const TComRs485& Rs485, const serial_rs485& Current)
{
    constexpr uint32_t Owned =
        SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX;
    serial_rs485 Record = Current;
    uint32_t Flags = Current.flags & ~Owned;
    if (Rs485.Enabled())
        Flags |= SER_RS485_ENABLED;
    if (Rs485.RtsOnSend())
        Flags |= SER_RS485_RTS_ON_SEND;
    if (Rs485.RtsAfterSend())
        Flags |= SER_RS485_RTS_AFTER_SEND;
    if (Rs485.RxDuringTx())
        Flags |= SER_RS485_RX_DURING_TX;
    Record.flags = Flags;
    Record.delay_rts_before_send = static_cast<uint32_t>(std::max(Rs485.DelayBeforeSendMs(), 0));
    Record.delay_rts_after_send = static_cast<uint32_t>(std::max(Rs485.DelayAfterSendMs(), 0));
    return Record;
}

// The driver's record is read first: its flags that the port does not set
// (bus termination, addressing) are kept, and the first one read is what
// Close puts back.
int TTermiosDevice::ApplyRs485(const TComRs485& Rs485)
{
    const int Fd = Fd_.get();
    serial_rs485 Current{};
    if (int Error = IoctlError(::ioctl(Fd, TIOCGRS485, &Current)))
        return Error;
    serial_rs485 Record = BuildRs485Record(Rs485, Current);
    if (int Error = IoctlError(::ioctl(Fd, TIOCSRS485, &Record)))
        return Error;
    if (!OriginalRs485_)
        OriginalRs485_ = Current;
    Rs485On_ = Rs485.Enabled();
    return 0;
}

void TTermiosDevice::RequestLowLatency()
{
    if (LowLatencyTried_)
        return;
    LowLatencyTried_ = true;
    serial_struct Serial{};
    if (::ioctl(Fd_.get(), TIOCGSERIAL, &Serial) != 0)
        return;
    if (Serial.flags & ASYNC_LOW_LATENCY)
        return;
    const int Original = Serial.flags;
    Serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(Fd_.get(), TIOCSSERIAL, &Serial) != 0)
        return;
    OriginalSerialFlags_ = Original;
    LowLatencySet_ = true;
}

int TTermiosDevice::Purge(bool Input, bool Output)
{
    if (!Input && !Output)
        return 0;
    const int Which = Input && Output ? TCIOFLUSH : (Input ? TCIFLUSH : TCOFLUSH);
    return IoctlError(::tcflush(Fd_.get(), Which));
}

int TTermiosDevice::ModemLines(TLineSignals& Lines)
{
    Lines = {};
    if (!HasModemLines_.load(std::memory_order_relaxed))
        return ENOTTY;
    int Bits = 0;
    if (int Error = IoctlError(::ioctl(Fd_.get(), TIOCMGET, &Bits)))
        return Absent(HasModemLines_, Error);
    if (Bits & TIOCM_CTS)
        Lines.Include(lsCTS);
    if (Bits & TIOCM_DSR)
        Lines.Include(lsDSR);
    if (Bits & TIOCM_RNG)
        Lines.Include(lsRing);
    if (Bits & TIOCM_CD)
        Lines.Include(lsRLSD);
    return 0;
}

int TTermiosDevice::WaitForModemChange()
{
    if (!HasModemLines_.load(std::memory_order_relaxed))
        return ENOTTY;
    const int Mask = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
    const int Error = IoctlError(::ioctl(Fd_.get(), TIOCMIWAIT, Mask));
    return Error == EINTR ? EINTR : Absent(HasModemLines_, Error);
}

int TTermiosDevice::SetOutputLine(int Line, bool On)
{
    if (!HasModemLines_.load(std::memory_order_relaxed))
        return ENOTTY;
    if (int Error = IoctlError(::ioctl(Fd_.get(), On ? TIOCMBIS : TIOCMBIC, &Line)))
        return Absent(HasModemLines_, Error);
    return 0;
}

int TTermiosDevice::SetOutputLines(bool Dtr, bool Rts)
{
    if (int Error = SetOutputLine(TIOCM_DTR, Dtr))
        return Error;
    return SetOutputLine(TIOCM_RTS, Rts);
}

int TTermiosDevice::SetBreak(bool On)
{
    return IoctlError(::ioctl(Fd_.get(), On ? TIOCSBRK : TIOCCBRK));
}

int TTermiosDevice::OutputQueued(int& Bytes)
{
    Bytes = 0;
    return IoctlError(::ioctl(Fd_.get(), TIOCOUTQ, &Bytes));
}

int TTermiosDevice::TransmitterEmpty(bool& Empty)
{
    Empty = true;
    if (!HasLsr_.load(std::memory_order_relaxed))
        return ENOTTY;
    unsigned int Lsr = 0;
    if (int Error = IoctlError(::ioctl(Fd_.get(), TIOCSERGETLSR, &Lsr)))
        return Absent(HasLsr_, Error);
    Empty = (Lsr & TIOCSER_TEMT) != 0;
    return 0;
}

int TTermiosDevice::ErrorCounts(TDriverCounts& Counts)
{
    if (!HasCounts_.load(std::memory_order_relaxed))
        return ENOTTY;
    serial_icounter_struct Now{};
    if (int Error = IoctlError(::ioctl(Fd_.get(), TIOCGICOUNT, &Now)))
        return Absent(HasCounts_, Error);
    Counts.Frame = Now.frame;
    Counts.Parity = Now.parity;
    Counts.Overrun = Now.overrun;
    Counts.Brk = Now.brk;
    Counts.BufOverrun = Now.buf_overrun;
    Counts.Cts = Now.cts;
    Counts.Dsr = Now.dsr;
    Counts.Rng = Now.rng;
    Counts.Dcd = Now.dcd;
    return 0;
}

// Output still queued is dropped first: with flow control held off or a
// slow line, close() would otherwise wait for the driver's closing wait (30 s
// on a UART), and putting back the saved record may release flow control.
// The RS-485 record goes back before the line record, as ApplyRs485 found it.
// Failures are not reported: the descriptor goes in any case.
void TTermiosDevice::Close()
{
    if (!Fd_)
        return;
    const int Fd = Fd_.get();
    ::tcflush(Fd, TCOFLUSH);
    if (LowLatencySet_) {
        serial_struct Serial{};
        if (::ioctl(Fd, TIOCGSERIAL, &Serial) == 0) {
            Serial.flags = OriginalSerialFlags_;
            ::ioctl(Fd, TIOCSSERIAL, &Serial);
        }
    }
    if (OriginalRs485_)
        ::ioctl(Fd, TIOCSRS485, &*OriginalRs485_);
    RestoreLineRecord(Fd, Original_);
    ::ioctl(Fd, TIOCNXCL);
    Fd_.Reset();
}

}  // namespace cport
