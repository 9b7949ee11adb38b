// SPDX-License-Identifier: MIT
// A serial line behind a telnet server with the COM-PORT-OPTION.
#include "cport/net_device.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>

namespace cport {

using namespace telnet;
using TClock = std::chrono::steady_clock;

namespace {

// Which of the acknowledged settings an answer has come for.
enum TAnswerBit : uint8_t { abBaud = 1, abDataSize = 2, abParity = 4, abStopSize = 8 };

// Which waits the notices of one read wake.
enum TWake : uint8_t { wkModem = 1, wkAnswer = 2 };

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
{
    // Without its epoll set or timer the device reads the socket unpaused
    // (PollFd is the socket then).
    TUniqueFd Wait(::epoll_create1(EPOLL_CLOEXEC));
    PauseTimer_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!Wait || !PauseTimer_)
        return;
    epoll_event Timer{};
    Timer.events = EPOLLIN;
    epoll_event Line{};
    Line.events = EPOLLIN;
    if (::epoll_ctl(Wait.get(), EPOLL_CTL_ADD, PauseTimer_.get(), &Timer) == 0 &&
        ::epoll_ctl(Wait.get(), EPOLL_CTL_ADD, Socket_.get(), &Line) == 0)
        WaitFd_ = std::move(Wait);
}

// Socket reads decoded in place, until one carries data (at most
// ReadRounds, so that a peer sending only commands costs one wake per
// ReadRounds reads, not one per read). Reads that carried only commands
// answer EAGAIN, so that 0 keeps meaning end of file and the caller comes
// back to its deadline and stop between reads; the socket stays readable
// if more waits. While the reading is paused nothing is read (EAGAIN).
ssize_t TRfc2217Device::Read(void* Buffer, size_t Count)
{
    auto* Bytes = static_cast<unsigned char*>(Buffer);
    for (int Round = 0; Round < ReadRounds; ++Round) {
        if (Deaf_ || Broken_) {
            errno = Deaf_ ? EIO : EPROTO;
            return -1;
        }
        if (!ReadingAllowed())
            break;
        const ssize_t N = NetReceive(Socket_.get(), Bytes, Count);
        if (N <= 0)
            return N;
        const size_t Data = DecodeLocked(Bytes, static_cast<size_t>(N));
        if (Data > 0)
            return static_cast<ssize_t>(Data);
    }
    errno = Deaf_ ? EIO : Broken_ ? EPROTO : EAGAIN;
    return -1;
}

size_t TRfc2217Device::DecodeLocked(unsigned char* Bytes, size_t Length)
{
    std::lock_guard Lock(DecodeMutex_);
    TTelnetEvents Events;
    const size_t Data = Codec_.Decode(Bytes, Length, Bytes, Events);
    if (Codec_.Broken())
        Broken_ = true;
    if (!Events.Reply.empty()) {
        std::lock_guard Send(SendMutex_);
        QueueReplyLocked(Events.Reply);
    }
    uint8_t Wake = 0;
    for (const TComPortNotice& Notice : Events.Notices)
        Wake |= HandleNotice(Notice);
    // One wake per read, however many notices it carried.
    if (Wake & wkModem)
        Signal(ModemFd_);
    if (Wake & wkAnswer)
        Signal(AnswerFd_);
    ChargeCommandsLocked(Events.CommandBytes);
    return Data;
}

// The open's negotiation reads at its own pace within its own limit; the
// budget counts from the moment the port's queue is attached.
void TRfc2217Device::ChargeCommandsLocked(size_t Bytes)
{
    if (Queue_ == nullptr || !WaitFd_ || Bytes == 0)
        return;
    const auto Now = Now_();
    if (Now - WindowStart_ >= FloodWindow) {
        WindowStart_ = Now;
        WindowCommands_ = 0;
    }
    WindowCommands_ += Bytes;
    if (Paused_ || WindowCommands_ <= FloodBudget)
        return;
    Paused_ = true;
    PauseEnd_ = WindowStart_ + FloodWindow;
    const auto Left = std::max<std::chrono::nanoseconds>(PauseEnd_ - Now, std::chrono::milliseconds(1));
    itimerspec When{};
    When.it_value.tv_sec = static_cast<time_t>(Left.count() / 1'000'000'000);
    When.it_value.tv_nsec = static_cast<long>(Left.count() % 1'000'000'000);
    ::timerfd_settime(PauseTimer_.get(), 0, &When, nullptr);
    SetSocketWatched(false);
}

// A pause ends when its timer has run out (or the clock says so), or at
// once when the line has gone, so that its loss is read and reported.
bool TRfc2217Device::ReadingAllowed()
{
    std::lock_guard Lock(DecodeMutex_);
    if (!Paused_)
        return true;
    uint64_t Expired = 0;
    const bool TimerRan = ::read(PauseTimer_.get(), &Expired, sizeof Expired) == sizeof Expired;
    pollfd Line{Socket_.get(), POLLRDHUP, 0};
    const bool Gone = ::poll(&Line, 1, 0) > 0 && (Line.revents & (POLLERR | POLLHUP | POLLRDHUP)) != 0;
    if (!TimerRan && !Gone && Now_() < PauseEnd_)
        return false;
    const itimerspec Off{};
    ::timerfd_settime(PauseTimer_.get(), 0, &Off, nullptr);
    Paused_ = false;
    WindowStart_ = Now_();
    WindowCommands_ = 0;
    SetSocketWatched(true);
    return true;
}

// The socket in the epoll set: watched for input, or for nothing while
// paused (errors and hang-ups still make the set readable).
void TRfc2217Device::SetSocketWatched(bool Watched)
{
    epoll_event Line{};
    Line.events = Watched ? static_cast<uint32_t>(EPOLLIN) : 0u;
    ::epoll_ctl(WaitFd_.get(), EPOLL_CTL_MOD, Socket_.get(), &Line);
}

uint8_t TRfc2217Device::HandleNotice(const TComPortNotice& Notice)
{
    if (Notice.Value.empty())
        return 0;
    const auto First = static_cast<uint8_t>(Notice.Value[0]);
    uint8_t Wake = 0;
    std::lock_guard Lock(StateMutex_);
    // The server's answer to one of the line settings sent: kept, and the
    // acknowledgement wait woken.
    const auto Acknowledge = [&](auto& Field, auto Value, uint8_t Bit) {
        Field = Value;
        AcknowledgedBits_ |= Bit;
        Wake |= wkAnswer;
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
            Wake |= wkModem;
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
    return Wake;
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
TRfc2217Device::TLineValues TRfc2217Device::WantedBy(const TCustomComPort& Port)
{
    TLineValues Want;
    const TComFlowControl& Flow = Port.FlowControl();
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
    return Want;
}

// The requests for what differs from what was sent last (everything the
// first time); Awaited: the acknowledgements to wait for. Under ApplyMutex_.
std::string TRfc2217Device::ChangesTo(const TLineValues& Want, uint8_t& Awaited) const
{
    const bool AllSettings = !Sent_.has_value();
    std::string Batch;
    Awaited = 0;
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
    return Batch;
}

int TRfc2217Device::BatchFor(const TCustomComPort& Port, TLineBatch& Batch)
{
    Batch.Want = WantedBy(Port);
    if (Batch.Want.Baud == 0)
        return EINVAL;
    Batch.Awaited = 0;
    Batch.Bytes = ChangesTo(Batch.Want, Batch.Awaited);
    std::lock_guard State(StateMutex_);
    AcknowledgedBits_ &= static_cast<uint8_t>(~Batch.Awaited);
    return 0;
}

int TRfc2217Device::ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive)
{
    std::lock_guard Lock(ApplyMutex_);
    TLineBatch Batch;
    if (const int Error = BatchFor(Port, Batch))
        return Error;
    if (!Batch.Bytes.empty()) {
        int Error = SendCommand(Batch.Bytes);
        if (Error == 0 && Batch.Awaited != 0)
            Error = WaitForAcknowledgements(Batch.Want, Batch.Awaited);
        if (Error != 0) {
            Sent_.reset();  // the server's state is unknown now: everything again next time
            return Error;
        }
        Sent_ = Batch.Want;
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

// 0 once every awaited setting is acknowledged as asked, EINVAL when one
// came back otherwise, EINPROGRESS while some are still awaited.
int TRfc2217Device::AnswersFor(const TLineValues& Wanted, uint8_t Awaited)
{
    std::lock_guard Lock(StateMutex_);
    if ((AcknowledgedBits_ & Awaited) != Awaited)
        return EINPROGRESS;
    const bool Same = (!(Awaited & abBaud) || Acknowledged_.Baud == Wanted.Baud) &&
                      (!(Awaited & abDataSize) || Acknowledged_.DataSize == Wanted.DataSize) &&
                      (!(Awaited & abParity) || Acknowledged_.Parity == Wanted.Parity) &&
                      (!(Awaited & abStopSize) || Acknowledged_.StopSize == Wanted.StopSize);
    return Same ? 0 : EINVAL;
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
        if (const int Answered = AnswersFor(Wanted, Awaited); Answered != EINPROGRESS)
            return Answered;
        const int Left = MillisecondsLeft(Deadline, Now_());
        if (Left == 0)
            return ETIMEDOUT;
        pollfd Waits[2] = {{PollFd(), POLLIN, 0}, {AnswerFd_.get(), POLLIN, 0}};
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
    // The server frees its port once it has ended the session: our end is
    // sent, and the server's is awaited (briefly, reading and dropping what
    // still comes), so that an open right after this close is not refused
    // as busy. A connection that has gone ends the wait at once.
    ::shutdown(Socket_.get(), SHUT_WR);
    const auto Deadline = TClock::now() + TNetTimeouts::ServerEnd;
    for (;;) {
        char Dropped[512];
        const ssize_t N = ::recv(Socket_.get(), Dropped, sizeof Dropped, MSG_DONTWAIT);
        if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR))
            break;
        const int Left = MillisecondsLeft(Deadline, TClock::now());
        if (Left == 0)
            break;  // however much a server still sends
        pollfd P{Socket_.get(), POLLIN, 0};
        if (N < 0 && ::poll(&P, 1, Left) < 0 && errno != EINTR)
            break;
    }
    Socket_.Reset();
}

}  // namespace cport
