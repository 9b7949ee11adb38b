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

// Rounded up, so that a wait never ends before its deadline; 0 once it has passed.
int MillisecondsLeft(TClock::time_point Deadline, TClock::time_point Now)
{
    const auto Left = std::chrono::duration_cast<std::chrono::microseconds>(Deadline - Now).count();
    return Left > 0 ? static_cast<int>((Left + 999) / 1000) : 0;
}

void Signal(const TUniqueFd& Fd)
{
    const uint64_t One = 1;
    [[maybe_unused]] ssize_t N = ::write(Fd.get(), &One, sizeof One);
}

void Reset(const TUniqueFd& Fd)
{
    uint64_t Count;
    [[maybe_unused]] ssize_t N = ::read(Fd.get(), &Count, sizeof Count);
}

}  // namespace

TRfc2217Device::TRfc2217Device(TUniqueFd Socket, const TNetAddress& Address, TNetClock Now)
    : Socket_(std::move(Socket)),
      Endpoint_(Address.Endpoint()),
      Now_(Now),
      Codec_(true),
      ModemFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      AnswerFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

// Offers the options and reads until the server has taken the
// COM-PORT-OPTION. Data that comes meanwhile was sent before the port was
// open and is dropped, as a local device drops its input at the open. The
// limit runs from the start, however much the server sends meanwhile.
std::unique_ptr<TRfc2217Device> TRfc2217Device::Negotiate(TUniqueFd Socket, const TNetAddress& Address,
                                                          TNetOpenFailure& Failure, TNetClock Now)
{
    std::unique_ptr<TRfc2217Device> Device(new TRfc2217Device(std::move(Socket), Address, Now));
    auto Failed = [&](int Error, std::string Reason) {
        Failure = {Error, std::move(Reason)};
        return nullptr;
    };
    if (!Device->ModemFd_ || !Device->AnswerFd_)
        return Failed(errno, "No event descriptor for " + Address.Endpoint());
    std::string Opening;
    {
        std::lock_guard Lock(Device->DecodeMutex_);
        Opening = Device->Codec_.Opening();
    }
    const auto Deadline = Now() + TNetTimeouts::Negotiation;
    if (int Error = Device->SendCommand(Opening))
        return Failed(Error, "Cannot talk to " + Address.Endpoint());
    for (;;) {
        {
            std::lock_guard Lock(Device->DecodeMutex_);
            if (Device->Codec_.ComPortAccepted())
                break;
            if (Device->Codec_.ComPortRefused())
                return Failed(EPROTONOSUPPORT, Address.Endpoint() + " refuses serial line control (RFC 2217)");
        }
        if (Device->Deaf_)
            return Failed(EPROTO, Address.Endpoint() + " keeps negotiating without reading the answers");
        const int Left = MillisecondsLeft(Deadline, Now());
        pollfd P{Device->Socket_.get(), POLLIN, 0};
        const int N = Left > 0 ? ::poll(&P, 1, Left) : 0;
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0) {
            std::lock_guard Lock(Device->DecodeMutex_);
            return Failed(ETIMEDOUT,
                          Device->Codec_.HeardFromServer()
                              ? Address.Endpoint() + " did not agree to serial line control (RFC 2217) in time"
                              : "No telnet negotiation from " + Address.Endpoint() +
                                    ": is it a telnet server with RFC 2217?");
        }
        unsigned char Buffer[512];
        const ssize_t Got = Device->Read(Buffer, sizeof Buffer);
        if (Got == 0)
            return Failed(ECONNRESET, Address.Endpoint() + " closed the connection");
        if (Got < 0 && errno != EAGAIN && errno != EINTR && !Device->Deaf_)
            return Failed(errno, "Connection to " + Address.Endpoint() + " lost");
    }
    return Device;
}

// One socket read decoded in place. A read that carried only commands
// answers EAGAIN, so that 0 keeps meaning end of file and the caller comes
// back to its deadline and stop between reads; the socket stays readable
// if more waits.
ssize_t TRfc2217Device::Read(void* Buffer, size_t Count)
{
    if (Deaf_) {
        errno = EIO;
        return -1;
    }
    auto* Bytes = static_cast<unsigned char*>(Buffer);
    const ssize_t N = NetReceive(Socket_.get(), Bytes, Count);
    if (N <= 0)
        return N;
    const size_t Data = DecodeLocked(Bytes, static_cast<size_t>(N));
    if (Data > 0)
        return static_cast<ssize_t>(Data);
    errno = Deaf_ ? EIO : EAGAIN;
    return -1;
}

size_t TRfc2217Device::DecodeLocked(unsigned char* Bytes, size_t Length)
{
    std::lock_guard Lock(DecodeMutex_);
    TTelnetEvents Events;
    const size_t Data = Codec_.Decode(Bytes, Length, Bytes, Events);
    if (!Events.Reply.empty()) {
        std::lock_guard Send(SendMutex_);
        QueueReplyLocked(Events.Reply);
    }
    for (const TComPortNotice& Notice : Events.Notices)
        HandleNotice(Notice);
    return Data;
}

void TRfc2217Device::HandleNotice(const TComPortNotice& Notice)
{
    if (Notice.Value.empty())
        return;
    const auto First = static_cast<uint8_t>(Notice.Value[0]);
    std::lock_guard Lock(StateMutex_);
    // The server's answer to one of the line settings sent: kept, and the
    // acknowledgement wait woken.
    const auto Acknowledge = [this](auto& Field, auto Value, uint8_t Bit) {
        Field = Value;
        AcknowledgedBits_ |= Bit;
        Signal(AnswerFd_);
    };
    switch (Notice.Command) {
    case cpNotifyModemState: {
        TLineSignals Lines;
        if (First & ModemCTS)
            Lines.Include(lsCTS);
        if (First & ModemDSR)
            Lines.Include(lsDSR);
        if (First & ModemRI)
            Lines.Include(lsRing);
        if (First & ModemCD)
            Lines.Include(lsRLSD);
        const bool Changed =
            !(Lines == Lines_) || (First & (ModemDeltaCTS | ModemDeltaDSR | ModemDeltaCD | ModemRingEnd));
        Counts_.Cts += (First & ModemDeltaCTS) ? 1 : 0;
        Counts_.Dsr += (First & ModemDeltaDSR) ? 1 : 0;
        Counts_.Dcd += (First & ModemDeltaCD) ? 1 : 0;
        Counts_.Rng += (First & ModemRingEnd) ? 1 : 0;
        Lines_ = Lines;
        if (Changed)
            Signal(ModemFd_);
        break;
    }
    case cpNotifyLineState:
        Counts_.Frame += (First & LineFraming) ? 1 : 0;
        Counts_.Parity += (First & LineParity) ? 1 : 0;
        Counts_.Overrun += (First & LineOverrun) ? 1 : 0;
        Counts_.Brk += (First & LineBreak) ? 1 : 0;
        break;
    case cpSetBaudRate:
        Acknowledge(Acknowledged_.Baud, TTelnetCodec::BaudRateOf(Notice.Value), abBaud);
        break;
    case cpSetDataSize:
        Acknowledge(Acknowledged_.DataSize, First, abDataSize);
        break;
    case cpSetParity:
        Acknowledge(Acknowledged_.Parity, First, abParity);
        break;
    case cpSetStopSize:
        Acknowledge(Acknowledged_.StopSize, First, abStopSize);
        break;
    default:
        break;  // control and mask answers are not waited for
    }
}

// Data with IACs doubled. A send cut short between the two IACs of a pair
// leaves the pair to be finished first by the next send: by the retried
// 0xFF itself, or else by a NOP, which makes the lone IAC a command.
ssize_t TRfc2217Device::Write(const void* Buffer, size_t Count)
{
    const auto* Bytes = static_cast<const unsigned char*>(Buffer);
    std::lock_guard Lock(SendMutex_);
    if (!FlushBacklogLocked()) {
        errno = Deaf_ ? EIO : EAGAIN;  // the answers go first; the writer waits for room
        return -1;
    }
    std::string Wire;
    size_t First = 0;
    if (HalfIac_) {
        if (Count > 0 && Bytes[0] == IAC)
            First = 1;
        Wire.push_back(static_cast<char>(First == 1 ? IAC : NOP));
    }
    TTelnetCodec::EscapeData(Bytes + First, Count - First, Wire);
    const ssize_t N = NetSend(Socket_.get(), Wire.data(), Wire.size());
    if (N < 0)
        return N;
    auto Sent = static_cast<size_t>(N);
    size_t At = 0, Data = 0;
    if (HalfIac_ && Sent > 0) {
        HalfIac_ = false;
        At = 1;
        Data = First;
    }
    for (size_t I = First; I < Count && At < Sent; ++I) {
        if (Bytes[I] != IAC) {
            ++At;
            ++Data;
        } else if (At + 2 <= Sent) {
            At += 2;
            ++Data;
        } else {
            HalfIac_ = true;  // the first IAC of this byte went out
            break;
        }
    }
    return static_cast<ssize_t>(Data);
}

int TRfc2217Device::SendCommand(const std::string& Bytes)
{
    if (Bytes.empty())
        return 0;
    std::lock_guard Lock(SendMutex_);
    if (Deaf_)
        return EIO;
    if (!Backlog_.empty()) {
        if (int Error = SendAllLocked(Backlog_.data(), Backlog_.size()))
            return Error;
        Backlog_.clear();
    }
    if (HalfIac_) {
        const char Nop[2] = {static_cast<char>(NOP), 0};
        if (int Error = SendAllLocked(Nop, 1))
            return Error;
        HalfIac_ = false;
    }
    return SendAllLocked(Bytes.data(), Bytes.size());
}

// A reader must not wait for room: the server may be flooding requests and
// reading nothing. The answers wait in the backlog, ahead of every later
// byte; a lone IAC of the data is finished first (a NOP makes it a command).
void TRfc2217Device::QueueReplyLocked(const std::string& Bytes)
{
    if (Deaf_)
        return;
    if (HalfIac_) {
        Backlog_.push_back(static_cast<char>(NOP));
        HalfIac_ = false;
    }
    Backlog_ += Bytes;
    if (!FlushBacklogLocked() && Backlog_.size() > ReplyBacklogLimit) {
        Backlog_.clear();
        Deaf_ = true;
    }
}

bool TRfc2217Device::FlushBacklogLocked()
{
    while (!Backlog_.empty()) {
        const ssize_t N = NetSend(Socket_.get(), Backlog_.data(), Backlog_.size());
        if (N <= 0) {
            if (N < 0 && errno == EINTR)
                continue;
            return false;  // no room (or the connection has gone: the next read says so)
        }
        Backlog_.erase(0, static_cast<size_t>(N));
    }
    return true;
}

// Commands go out whole; room for them is waited for a bounded time.
int TRfc2217Device::SendAllLocked(const char* Bytes, size_t Length)
{
    const auto Deadline = Now_() + TNetTimeouts::Acknowledgement;
    size_t Done = 0;
    while (Done < Length) {
        const ssize_t N = NetSend(Socket_.get(), Bytes + Done, Length - Done);
        if (N > 0) {
            Done += static_cast<size_t>(N);
            continue;
        }
        if (N < 0 && errno != EAGAIN && errno != EINTR)
            return errno;
        const int Left = MillisecondsLeft(Deadline, Now_());
        if (Left == 0)
            return ETIMEDOUT;
        pollfd P{Socket_.get(), POLLOUT, 0};
        const int Ready = ::poll(&P, 1, Left);
        if (Ready == 0)
            return ETIMEDOUT;
        if (Ready < 0 && errno != EINTR)
            return errno;
    }
    return 0;
}

namespace {

uint8_t DataSizeOf(TDataBits Bits)
{
    return static_cast<uint8_t>(5 + static_cast<int>(Bits));
}

uint8_t ParityOf(TParityBits Bits)
{
    switch (Bits) {
    case prOdd:
        return cpParityOdd;
    case prEven:
        return cpParityEven;
    case prMark:
        return cpParityMark;
    case prSpace:
        return cpParitySpace;
    default:
        return cpParityNone;
    }
}

uint8_t StopSizeOf(TStopBits Bits)
{
    switch (Bits) {
    case sbOne5StopBits:
        return cpStopOneAndHalf;
    case sbTwoStopBits:
        return cpStopTwo;
    default:
        return cpStopOne;
    }
}

}  // namespace

// What the server is to be asked for. DTR is held on unless disabled; RTS is
// on when enabled or used for handshaking and held off when toggling, as on a
// local line. The notice masks follow the port's Events.
int TRfc2217Device::ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive)
{
    const TComFlowControl& Flow = Port.FlowControl();
    TLineValues Want;
    Want.Baud =
        static_cast<uint32_t>(Port.BaudRate() == brCustom ? Port.CustomBaudRate() : BaudRateToInt(Port.BaudRate()));
    Want.DataSize = DataSizeOf(Port.DataBits());
    Want.Parity = ParityOf(Port.Parity().Bits());
    Want.StopSize = StopSizeOf(Port.StopBits());
    Want.OutFlow = Flow.OutCTSFlow() ? cpOutFlowHardware : Flow.XonXoffOut() ? cpOutFlowXonXoff : cpOutFlowNone;
    Want.InFlow = Flow.ControlRTS() == rtsHandshake ? cpInFlowHardware
                  : Flow.XonXoffIn()                ? cpInFlowXonXoff
                                                    : cpInFlowNone;
    Want.Dtr = Flow.ControlDTR() == dtrDisable ? cpDtrOff : cpDtrOn;
    Want.Rts = (Flow.ControlRTS() == rtsEnable || Flow.ControlRTS() == rtsHandshake) ? cpRtsOn : cpRtsOff;
    const TComEvents Events = Port.Events();
    if (Events.Contains(evBreak))
        Want.LineMask |= LineBreak;
    if (Events.Contains(evError))
        Want.LineMask |= LineFraming | LineParity | LineOverrun;
    if (Events.Contains(evCTS))
        Want.ModemMask |= ModemCTS | ModemDeltaCTS;
    if (Events.Contains(evDSR))
        Want.ModemMask |= ModemDSR | ModemDeltaDSR;
    if (Events.Contains(evRLSD))
        Want.ModemMask |= ModemCD | ModemDeltaCD;
    if (Events.Contains(evRing))
        Want.ModemMask |= ModemRI | ModemRingEnd;
    if (Want.Baud == 0)
        return EINVAL;

    std::lock_guard Lock(ApplyMutex_);
    const bool AllSettings = !Sent_.has_value();
    std::string Batch;
    uint8_t Awaited = 0;
    if (AllSettings || Sent_->Baud != Want.Baud) {
        Batch += TTelnetCodec::SetBaudRate(Want.Baud);
        Awaited |= abBaud;
    }
    auto Add = [&](uint8_t TLineValues::*Field, TComPortCommand Command, uint8_t Bit) {
        if (!AllSettings && (*Sent_).*Field == Want.*Field)
            return;
        Batch += TTelnetCodec::RequestByte(Command, Want.*Field);
        Awaited |= Bit;
    };
    Add(&TLineValues::DataSize, cpSetDataSize, abDataSize);
    Add(&TLineValues::Parity, cpSetParity, abParity);
    Add(&TLineValues::StopSize, cpSetStopSize, abStopSize);
    Add(&TLineValues::OutFlow, cpSetControl, 0);
    Add(&TLineValues::InFlow, cpSetControl, 0);
    Add(&TLineValues::Dtr, cpSetControl, 0);
    Add(&TLineValues::Rts, cpSetControl, 0);
    Add(&TLineValues::LineMask, cpSetLineStateMask, 0);
    Add(&TLineValues::ModemMask, cpSetModemStateMask, 0);
    if (!Batch.empty()) {
        {
            std::lock_guard State(StateMutex_);
            AcknowledgedBits_ &= static_cast<uint8_t>(~Awaited);
        }
        int Error = SendCommand(Batch);
        if (Error == 0 && Awaited != 0)
            Error = WaitForAcknowledgements(Want, Awaited);
        if (Error != 0) {
            Sent_.reset();  // the server's state is unknown now: everything again next time
            return Error;
        }
        Sent_ = Want;
    }
    NetReceiveOptions(Port, Receive);
    return 0;
}

// Reads whatever waits: through the receive queue, so that data arriving
// meanwhile is kept and reported; without one (not yet attached) data is
// dropped like input before the open. One read at most: the caller's wait
// comes back to its deadline between reads.
int TRfc2217Device::Pump()
{
    if (Queue_ != nullptr) {
        const TFillResult Fill = Queue_->FillFrom(*this);
        if (Fill.Error != 0)
            return Fill.Error;
        return Fill.HangUp ? EIO : 0;
    }
    unsigned char Buffer[512];
    const ssize_t N = Read(Buffer, sizeof Buffer);
    if (N >= 0)
        return N == 0 ? EIO : 0;
    return errno == EAGAIN || errno == EINTR ? 0 : errno;
}

// The answers may be read here or by the event thread, whichever reads
// first; either way the answer eventfd wakes this wait. A value other than
// the one asked for is a refusal. The limit holds however much arrives.
int TRfc2217Device::WaitForAcknowledgements(const TLineValues& Wanted, uint8_t Awaited)
{
    const auto Deadline = Now_() + TNetTimeouts::Acknowledgement;
    for (;;) {
        Reset(AnswerFd_);
        if (int Error = Pump())
            return Error;
        {
            std::lock_guard Lock(StateMutex_);
            if ((AcknowledgedBits_ & Awaited) == Awaited) {
                const bool Same = (!(Awaited & abBaud) || Acknowledged_.Baud == Wanted.Baud) &&
                                  (!(Awaited & abDataSize) || Acknowledged_.DataSize == Wanted.DataSize) &&
                                  (!(Awaited & abParity) || Acknowledged_.Parity == Wanted.Parity) &&
                                  (!(Awaited & abStopSize) || Acknowledged_.StopSize == Wanted.StopSize);
                return Same ? 0 : EINVAL;
            }
        }
        const int Left = MillisecondsLeft(Deadline, Now_());
        if (Left == 0)
            return ETIMEDOUT;
        pollfd Waits[2] = {{Socket_.get(), POLLIN, 0}, {AnswerFd_.get(), POLLIN, 0}};
        const int N = ::poll(Waits, 2, Left);
        if (N == 0)
            return ETIMEDOUT;
        if (N < 0 && errno != EINTR)
            return errno;
    }
}

int TRfc2217Device::Purge(bool Input, bool Output)
{
    if (!Input && !Output)
        return 0;
    const uint8_t Which = Input && Output ? cpPurgeBoth : Input ? cpPurgeReceive : cpPurgeTransmit;
    return SendCommand(TTelnetCodec::RequestByte(cpPurgeData, Which));
}

int TRfc2217Device::ModemLines(TLineSignals& Lines)
{
    std::lock_guard Lock(StateMutex_);
    Lines = Lines_;
    return 0;
}

// Sleeps until a modem-state notice has been read (by whoever reads the
// socket); a signal ends the sleep with EINTR.
int TRfc2217Device::WaitForModemChange()
{
    pollfd P{ModemFd_.get(), POLLIN, 0};
    if (::poll(&P, 1, -1) < 0)
        return errno;
    Reset(ModemFd_);
    return 0;
}

int TRfc2217Device::SetOutputLines(bool Dtr, bool Rts)
{
    std::lock_guard Lock(ApplyMutex_);
    const uint8_t DtrValue = Dtr ? cpDtrOn : cpDtrOff, RtsValue = Rts ? cpRtsOn : cpRtsOff;
    if (Sent_) {
        Sent_->Dtr = DtrValue;
        Sent_->Rts = RtsValue;
    }
    return SendCommand(TTelnetCodec::RequestByte(cpSetControl, DtrValue) +
                       TTelnetCodec::RequestByte(cpSetControl, RtsValue));
}

int TRfc2217Device::SetBreak(bool On)
{
    return SendCommand(TTelnetCodec::RequestByte(cpSetControl, On ? cpBreakOn : cpBreakOff));
}

int TRfc2217Device::OutputQueued(int& Bytes)
{
    return ::ioctl(Socket_.get(), SIOCOUTQNSD, &Bytes) == 0 ? 0 : errno;
}

int TRfc2217Device::ErrorCounts(TDriverCounts& Counts)
{
    std::lock_guard Lock(StateMutex_);
    Counts = Counts_;
    return 0;
}

// Output the server has not put on the line yet is discarded there (best
// effort: only if the request fits at once; Close never waits).
void TRfc2217Device::Close()
{
    if (!Socket_)
        return;
    {
        std::lock_guard Lock(SendMutex_);
        std::string Purge = Backlog_ + (HalfIac_ ? std::string(1, static_cast<char>(NOP)) : std::string());
        Purge += TTelnetCodec::RequestByte(cpPurgeData, cpPurgeTransmit);
        [[maybe_unused]] ssize_t N = NetSend(Socket_.get(), Purge.data(), Purge.size());
    }
    ::shutdown(Socket_.get(), SHUT_RDWR);
    Socket_.Reset();
}

}  // namespace cport
