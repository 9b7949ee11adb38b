// SPDX-License-Identifier: MIT
// A serial line behind a telnet server with the COM-PORT-OPTION.
#include "cport/net_device.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace cport {

using namespace telnet;
using TClock = std::chrono::steady_clock;

namespace {

// Which of the acknowledged settings an answer has come for.
enum TAnswerBit : uint8_t { abBaud = 1, abDataSize = 2, abParity = 4, abStopSize = 8 };

int MillisecondsLeft(TClock::time_point Deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void Signal(const UniqueFd& Fd) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(Fd.get(), &one, sizeof one);
}

void Reset(const UniqueFd& Fd) {
    uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(Fd.get(), &count, sizeof count);
}

}  // namespace

TRfc2217Device::TRfc2217Device(UniqueFd Socket, const TNetAddress& Address)
    : socket_(std::move(Socket)), endpoint_(Address.Endpoint()), codec_(true),
      modem_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), answer_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

// Offers the options and reads until the server has taken the
// COM-PORT-OPTION. Data that comes meanwhile was sent before the port was
// open and is dropped, as a local device drops its input at the open.
std::unique_ptr<TRfc2217Device> TRfc2217Device::Negotiate(UniqueFd Socket, const TNetAddress& Address,
                                                          TNetOpenFailure& Failure) {
    std::unique_ptr<TRfc2217Device> device(new TRfc2217Device(std::move(Socket), Address));
    auto failed = [&](int Error, std::string Reason) {
        Failure = {Error, std::move(Reason)};
        return nullptr;
    };
    if (!device->modem_fd_ || !device->answer_fd_) return failed(errno, "No event descriptor for " + Address.Endpoint());
    std::string opening;
    {
        std::lock_guard lock(device->decode_mutex_);
        opening = device->codec_.Opening();
    }
    if (int error = device->SendCommand(opening)) return failed(error, "Cannot talk to " + Address.Endpoint());
    const auto deadline = TClock::now() + TNetTimeouts::negotiation;
    for (;;) {
        {
            std::lock_guard lock(device->decode_mutex_);
            if (device->codec_.ComPortAccepted()) break;
            if (device->codec_.ComPortRefused())
                return failed(EPROTONOSUPPORT, Address.Endpoint() + " refuses serial line control (RFC 2217)");
        }
        pollfd p{device->socket_.get(), POLLIN, 0};
        const int n = ::poll(&p, 1, MillisecondsLeft(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::lock_guard lock(device->decode_mutex_);
            return failed(ETIMEDOUT, device->codec_.HeardFromServer()
                                         ? Address.Endpoint() + " did not agree to serial line control (RFC 2217) in time"
                                         : "No telnet negotiation from " + Address.Endpoint() +
                                               ": is it a telnet server with RFC 2217?");
        }
        unsigned char buffer[512];
        const ssize_t got = device->Read(buffer, sizeof buffer);
        if (got == 0) return failed(ECONNRESET, Address.Endpoint() + " closed the connection");
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            return failed(errno, "Connection to " + Address.Endpoint() + " lost");
    }
    return device;
}

// One socket read decoded in place. Reads that carried only commands are
// followed by the next, so that 0 keeps meaning end of file.
ssize_t TRfc2217Device::Read(void* Buffer, size_t Count) {
    auto* bytes = static_cast<unsigned char*>(Buffer);
    for (;;) {
        const ssize_t n = NetReceive(socket_.get(), bytes, Count);
        if (n <= 0) return n;
        const size_t data = DecodeLocked(bytes, static_cast<size_t>(n));
        if (data > 0) return static_cast<ssize_t>(data);
    }
}

size_t TRfc2217Device::DecodeLocked(unsigned char* Bytes, size_t Length) {
    std::lock_guard lock(decode_mutex_);
    TTelnetEvents events;
    const size_t data = codec_.Decode(Bytes, Length, Bytes, events);
    if (!events.reply.empty()) SendCommand(events.reply);   // a lost connection shows on the next read
    for (const TComPortNotice& notice : events.notices) HandleNotice(notice);
    return data;
}

void TRfc2217Device::HandleNotice(const TComPortNotice& Notice) {
    if (Notice.value.empty()) return;
    const auto first = static_cast<uint8_t>(Notice.value[0]);
    std::lock_guard lock(state_mutex_);
    // The server's answer to one of the line settings sent: kept, and the
    // acknowledgement wait woken.
    const auto Acknowledge = [this](auto& Field, auto Value, uint8_t Bit) {
        Field = Value;
        acknowledged_bits_ |= Bit;
        Signal(answer_fd_);
    };
    switch (Notice.command) {
    case cpNotifyModemState: {
        TLineSignals lines;
        if (first & ModemCTS) lines.Include(lsCTS);
        if (first & ModemDSR) lines.Include(lsDSR);
        if (first & ModemRI) lines.Include(lsRing);
        if (first & ModemCD) lines.Include(lsRLSD);
        const bool changed = !(lines == lines_) || (first & (ModemDeltaCTS | ModemDeltaDSR | ModemDeltaCD | ModemRingEnd));
        counts_.cts += (first & ModemDeltaCTS) ? 1 : 0;
        counts_.dsr += (first & ModemDeltaDSR) ? 1 : 0;
        counts_.dcd += (first & ModemDeltaCD) ? 1 : 0;
        counts_.rng += (first & ModemRingEnd) ? 1 : 0;
        lines_ = lines;
        if (changed) Signal(modem_fd_);
        break;
    }
    case cpNotifyLineState:
        counts_.frame += (first & LineFraming) ? 1 : 0;
        counts_.parity += (first & LineParity) ? 1 : 0;
        counts_.overrun += (first & LineOverrun) ? 1 : 0;
        counts_.brk += (first & LineBreak) ? 1 : 0;
        break;
    case cpSetBaudRate: Acknowledge(acknowledged_.baud, TTelnetCodec::BaudRateOf(Notice.value), abBaud); break;
    case cpSetDataSize: Acknowledge(acknowledged_.data_size, first, abDataSize); break;
    case cpSetParity: Acknowledge(acknowledged_.parity, first, abParity); break;
    case cpSetStopSize: Acknowledge(acknowledged_.stop_size, first, abStopSize); break;
    default:
        break;   // control and mask answers are not waited for
    }
}

// Data with IACs doubled. A send cut short between the two IACs of a pair
// leaves the pair to be finished first by the next send: by the retried
// 0xFF itself, or else by a NOP, which makes the lone IAC a command.
ssize_t TRfc2217Device::Write(const void* Buffer, size_t Count) {
    const auto* bytes = static_cast<const unsigned char*>(Buffer);
    std::lock_guard lock(send_mutex_);
    std::string wire;
    size_t first = 0;
    if (half_iac_) {
        if (Count > 0 && bytes[0] == IAC) first = 1;
        wire.push_back(static_cast<char>(first == 1 ? IAC : NOP));
    }
    TTelnetCodec::EscapeData(bytes + first, Count - first, wire);
    const ssize_t n = NetSend(socket_.get(), wire.data(), wire.size());
    if (n < 0) return n;
    auto sent = static_cast<size_t>(n);
    size_t at = 0, data = 0;
    if (half_iac_ && sent > 0) {
        half_iac_ = false;
        at = 1;
        data = first;
    }
    for (size_t i = first; i < Count && at < sent; ++i) {
        if (bytes[i] != IAC) {
            ++at;
            ++data;
        } else if (at + 2 <= sent) {
            at += 2;
            ++data;
        } else {
            half_iac_ = true;   // the first IAC of this byte went out
            break;
        }
    }
    return static_cast<ssize_t>(data);
}

int TRfc2217Device::SendCommand(const std::string& Bytes) {
    if (Bytes.empty()) return 0;
    std::lock_guard lock(send_mutex_);
    if (half_iac_) {
        const char nop[2] = {static_cast<char>(NOP), 0};
        if (int error = SendAllLocked(nop, 1)) return error;
        half_iac_ = false;
    }
    return SendAllLocked(Bytes.data(), Bytes.size());
}

// Commands go out whole; room for them is waited for a bounded time.
int TRfc2217Device::SendAllLocked(const char* Bytes, size_t Length) {
    const auto deadline = TClock::now() + TNetTimeouts::acknowledgement;
    size_t done = 0;
    while (done < Length) {
        const ssize_t n = NetSend(socket_.get(), Bytes + done, Length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
        pollfd p{socket_.get(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
        if (ready == 0) return ETIMEDOUT;
        if (ready < 0 && errno != EINTR) return errno;
    }
    return 0;
}

namespace {

uint8_t DataSizeOf(TDataBits Bits) { return static_cast<uint8_t>(5 + static_cast<int>(Bits)); }

uint8_t ParityOf(TParityBits Bits) {
    switch (Bits) {
    case prOdd: return cpParityOdd;
    case prEven: return cpParityEven;
    case prMark: return cpParityMark;
    case prSpace: return cpParitySpace;
    default: return cpParityNone;
    }
}

uint8_t StopSizeOf(TStopBits Bits) {
    switch (Bits) {
    case sbOne5StopBits: return cpStopOneAndHalf;
    case sbTwoStopBits: return cpStopTwo;
    default: return cpStopOne;
    }
}

}  // namespace

// What the server is to be asked for. DTR is held on unless disabled; RTS is
// on when enabled or used for handshaking and held off when toggling, as on a
// local line. The notice masks follow the port's Events.
int TRfc2217Device::ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) {
    const TComFlowControl& flow = Port.FlowControl();
    TLineValues want;
    want.baud = static_cast<uint32_t>(Port.BaudRate() == brCustom ? Port.CustomBaudRate() : BaudRateToInt(Port.BaudRate()));
    want.data_size = DataSizeOf(Port.DataBits());
    want.parity = ParityOf(Port.Parity().Bits());
    want.stop_size = StopSizeOf(Port.StopBits());
    want.out_flow = flow.OutCTSFlow() ? cpOutFlowHardware : flow.XonXoffOut() ? cpOutFlowXonXoff : cpOutFlowNone;
    want.in_flow = flow.ControlRTS() == rtsHandshake ? cpInFlowHardware
                   : flow.XonXoffIn()                 ? cpInFlowXonXoff
                                                      : cpInFlowNone;
    want.dtr = flow.ControlDTR() == dtrDisable ? cpDtrOff : cpDtrOn;
    want.rts = (flow.ControlRTS() == rtsEnable || flow.ControlRTS() == rtsHandshake) ? cpRtsOn : cpRtsOff;
    const TComEvents events = Port.Events();
    if (events.Contains(evBreak)) want.line_mask |= LineBreak;
    if (events.Contains(evError)) want.line_mask |= LineFraming | LineParity | LineOverrun;
    if (events.Contains(evCTS)) want.modem_mask |= ModemCTS | ModemDeltaCTS;
    if (events.Contains(evDSR)) want.modem_mask |= ModemDSR | ModemDeltaDSR;
    if (events.Contains(evRLSD)) want.modem_mask |= ModemCD | ModemDeltaCD;
    if (events.Contains(evRing)) want.modem_mask |= ModemRI | ModemRingEnd;
    if (want.baud == 0) return EINVAL;

    std::lock_guard lock(apply_mutex_);
    const bool all = !sent_.has_value();
    std::string batch;
    uint8_t awaited = 0;
    if (all || sent_->baud != want.baud) {
        batch += TTelnetCodec::SetBaudRate(want.baud);
        awaited |= abBaud;
    }
    auto add = [&](uint8_t TLineValues::*Field, TComPortCommand Command, uint8_t Bit) {
        if (!all && (*sent_).*Field == want.*Field) return;
        batch += TTelnetCodec::RequestByte(Command, want.*Field);
        awaited |= Bit;
    };
    add(&TLineValues::data_size, cpSetDataSize, abDataSize);
    add(&TLineValues::parity, cpSetParity, abParity);
    add(&TLineValues::stop_size, cpSetStopSize, abStopSize);
    add(&TLineValues::out_flow, cpSetControl, 0);
    add(&TLineValues::in_flow, cpSetControl, 0);
    add(&TLineValues::dtr, cpSetControl, 0);
    add(&TLineValues::rts, cpSetControl, 0);
    add(&TLineValues::line_mask, cpSetLineStateMask, 0);
    add(&TLineValues::modem_mask, cpSetModemStateMask, 0);
    if (!batch.empty()) {
        {
            std::lock_guard state(state_mutex_);
            acknowledged_bits_ &= static_cast<uint8_t>(~awaited);
        }
        int error = SendCommand(batch);
        if (error == 0 && awaited != 0) error = WaitForAcknowledgements(want, awaited);
        if (error != 0) {
            sent_.reset();   // the server's state is unknown now: everything again next time
            return error;
        }
        sent_ = want;
    }
    NetReceiveOptions(Port, Receive);
    return 0;
}

// Reads whatever waits: through the receive queue, so that data arriving
// meanwhile is kept and reported; without one (not yet attached) data is
// dropped like input before the open.
int TRfc2217Device::Pump() {
    if (queue_ != nullptr) {
        const TFillResult fill = queue_->FillFrom(*this);
        if (fill.error != 0) return fill.error;
        return fill.hang_up ? EIO : 0;
    }
    unsigned char buffer[512];
    for (;;) {
        const ssize_t n = Read(buffer, sizeof buffer);
        if (n > 0) continue;
        if (n == 0) return EIO;
        return errno == EAGAIN ? 0 : errno;
    }
}

// The answers may be read here or by the event thread, whichever reads
// first; either way the answer eventfd wakes this wait. A value other than
// the one asked for is a refusal.
int TRfc2217Device::WaitForAcknowledgements(const TLineValues& Wanted, uint8_t Awaited) {
    const auto deadline = TClock::now() + TNetTimeouts::acknowledgement;
    for (;;) {
        Reset(answer_fd_);
        if (int error = Pump()) return error;
        {
            std::lock_guard lock(state_mutex_);
            if ((acknowledged_bits_ & Awaited) == Awaited) {
                const bool same = (!(Awaited & abBaud) || acknowledged_.baud == Wanted.baud) &&
                                  (!(Awaited & abDataSize) || acknowledged_.data_size == Wanted.data_size) &&
                                  (!(Awaited & abParity) || acknowledged_.parity == Wanted.parity) &&
                                  (!(Awaited & abStopSize) || acknowledged_.stop_size == Wanted.stop_size);
                return same ? 0 : EINVAL;
            }
        }
        pollfd waits[2] = {{socket_.get(), POLLIN, 0}, {answer_fd_.get(), POLLIN, 0}};
        const int n = ::poll(waits, 2, MillisecondsLeft(deadline));
        if (n == 0) return ETIMEDOUT;
        if (n < 0 && errno != EINTR) return errno;
    }
}

int TRfc2217Device::Purge(bool Input, bool Output) {
    if (!Input && !Output) return 0;
    const uint8_t which = Input && Output ? cpPurgeBoth : Input ? cpPurgeReceive : cpPurgeTransmit;
    return SendCommand(TTelnetCodec::RequestByte(cpPurgeData, which));
}

int TRfc2217Device::ModemLines(TLineSignals& Lines) {
    std::lock_guard lock(state_mutex_);
    Lines = lines_;
    return 0;
}

// Sleeps until a modem-state notice has been read (by whoever reads the
// socket); a signal ends the sleep with EINTR.
int TRfc2217Device::WaitForModemChange() {
    pollfd p{modem_fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) return errno;
    Reset(modem_fd_);
    return 0;
}

int TRfc2217Device::SetOutputLines(bool Dtr, bool Rts) {
    std::lock_guard lock(apply_mutex_);
    const uint8_t dtr = Dtr ? cpDtrOn : cpDtrOff, rts = Rts ? cpRtsOn : cpRtsOff;
    if (sent_) {
        sent_->dtr = dtr;
        sent_->rts = rts;
    }
    return SendCommand(TTelnetCodec::RequestByte(cpSetControl, dtr) + TTelnetCodec::RequestByte(cpSetControl, rts));
}

int TRfc2217Device::SetBreak(bool On) {
    return SendCommand(TTelnetCodec::RequestByte(cpSetControl, On ? cpBreakOn : cpBreakOff));
}

int TRfc2217Device::OutputQueued(int& Bytes) {
    return ::ioctl(socket_.get(), SIOCOUTQNSD, &Bytes) == 0 ? 0 : errno;
}

int TRfc2217Device::ErrorCounts(TDriverCounts& Counts) {
    std::lock_guard lock(state_mutex_);
    Counts = counts_;
    return 0;
}

// Output the server has not put on the line yet is discarded there (best
// effort: only if the request fits at once; Close never waits).
void TRfc2217Device::Close() {
    if (!socket_) return;
    {
        std::lock_guard lock(send_mutex_);
        std::string purge = half_iac_ ? std::string(1, static_cast<char>(NOP)) : std::string();
        purge += TTelnetCodec::RequestByte(cpPurgeData, cpPurgeTransmit);
        [[maybe_unused]] ssize_t n = NetSend(socket_.get(), purge.data(), purge.size());
    }
    ::shutdown(socket_.get(), SHUT_RDWR);
    socket_.reset();
}

}  // namespace cport
