// SPDX-License-Identifier: MIT
// The open of a network port in steps, and OpenNetDevice as waits between
// them.
#include "cport/net_opening.h"

#include <sys/socket.h>

#include <cerrno>

namespace cport {

namespace {

using TClock = std::chrono::steady_clock;

// The first bytes of a server that speaks telnet: IAC and a negotiation
// command.
bool SpeaksTelnet(const unsigned char (&First)[2])
{
    return First[0] == telnet::IAC && (First[1] == telnet::SB || (First[1] >= telnet::WILL));
}

}  // namespace

TNetOpening::TNetOpening(const TNetAddress& Address, std::chrono::milliseconds TelnetCheck,
                         const TCustomComPort* Settings, std::chrono::milliseconds ConnectTimeout, bool LookUpAside)
    : Address_(Address),
      TelnetCheck_(TelnetCheck),
      Settings_(Settings),
      Connecting_(Address, ConnectTimeout, LookUpAside)
{
    if (Connecting_.Done())
        Connected();
}

int TNetOpening::WaitFd() const
{
    switch (Stage_) {
    case TStage::Connecting:
        return Connecting_.Fd();
    case TStage::Negotiating:
    case TStage::Settling:
        return Rfc_->LineFd();
    case TStage::CheckingTelnet:
        return Socket_.get();
    case TStage::Ended:
        break;
    }
    return -1;
}

std::chrono::steady_clock::time_point TNetOpening::Deadline() const
{
    return Stage_ == TStage::Connecting ? Connecting_.Deadline() : Deadline_;
}

bool TNetOpening::Step()
{
    switch (Stage_) {
    case TStage::Connecting:
        if (Connecting_.Step())
            Connected();
        break;
    case TStage::Negotiating:
        switch (Rfc_->NegotiationStep(TClock::now() >= Deadline_, Failure_)) {
        case TRfc2217Device::TNegotiation::Accepted:
            Negotiated();
            break;
        case TRfc2217Device::TNegotiation::Failed:
            Fail(Failure_);
            break;
        case TRfc2217Device::TNegotiation::Pending:
            break;
        }
        break;
    case TStage::Settling:
        if (const int Error = Rfc_->LineSettingsStep(TClock::now() >= Deadline_); Error == 0) {
            Device_ = std::move(Rfc_);
            Stage_ = TStage::Ended;
        } else if (Error != EINPROGRESS) {
            Fail({Error, {}, CError_SetStateFailed});
        }
        break;
    case TStage::CheckingTelnet:
        CheckTelnet(TClock::now() >= Deadline_);
        break;
    case TStage::Ended:
        break;
    }
    return Done();
}

void TNetOpening::Connected()
{
    TNetConnection Connection = Connecting_.TakeResult();
    if (!Connection.Socket) {
        Fail({Connection.Error, std::move(Connection.Reason)});
        return;
    }
    if (Address_.Kind == TNetKind::nkRfc2217) {
        Deadline_ = TClock::now() + TNetTimeouts::Negotiation;
        Rfc_ = TRfc2217Device::StartNegotiation(std::move(Connection.Socket), Address_, Failure_);
        if (Rfc_)
            Stage_ = TStage::Negotiating;
        else
            Fail(Failure_);
        return;
    }
    Socket_ = std::move(Connection.Socket);
    if (TelnetCheck_.count() < 0) {
        Device_ = std::make_unique<TRawSocketDevice>(std::move(Socket_));
        Stage_ = TStage::Ended;
        return;
    }
    Deadline_ = TClock::now() + TelnetCheck_;
    Stage_ = TStage::CheckingTelnet;
    CheckTelnet(TelnetCheck_.count() <= 0);
}

void TNetOpening::Negotiated()
{
    if (Settings_ == nullptr) {
        Device_ = std::move(Rfc_);
        Stage_ = TStage::Ended;
        return;
    }
    Deadline_ = TClock::now() + TNetTimeouts::Acknowledgement;
    Stage_ = TStage::Settling;
    if (const int Error = Rfc_->StartLineSettings(*Settings_))
        Fail({Error, {}, CError_SetStateFailed});
}

void TNetOpening::CheckTelnet(bool TimeUp)
{
    // One look at the first bytes, without taking them: nothing yet (EAGAIN)
    // waits for more time; bytes, the end of the stream or an error end the
    // check (the error shows again at the first read).
    unsigned char First[2];
    const ssize_t N = ::recv(Socket_.get(), First, sizeof First, MSG_PEEK | MSG_DONTWAIT);
    const bool Arrived = N >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    if (!Arrived && !TimeUp)
        return;
    if (N == 2 && SpeaksTelnet(First)) {
        Fail({EPROTO, Address_.Endpoint() + " speaks telnet: open it as rfc2217://" + Address_.Endpoint()});
        return;
    }
    Device_ = std::make_unique<TRawSocketDevice>(std::move(Socket_));
    Stage_ = TStage::Ended;
}

void TNetOpening::Fail(TNetOpenFailure Failure)
{
    Failure_ = std::move(Failure);
    Rfc_.reset();
    Socket_.Reset();
    Device_.reset();
    Stage_ = TStage::Ended;
}

std::unique_ptr<TDevice> OpenNetDevice(const TNetAddress& Address, TNetOpenFailure& Failure,
                                       std::chrono::milliseconds TelnetCheck)
{
    TNetOpening Opening(Address, TelnetCheck);
    while (!Opening.Done()) {
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Opening.Deadline() - TClock::now()).count();
        pollfd P{Opening.WaitFd(), Opening.WaitEvents(), 0};
        if (Left > 0 && ::poll(&P, 1, static_cast<int>(Left)) < 0 && errno != EINTR) {
            Failure = {errno, "Cannot connect to " + Address.Endpoint()};
            return nullptr;
        }
        Opening.Step();
    }
    std::unique_ptr<TDevice> Device = Opening.TakeDevice();
    if (!Device)
        Failure = Opening.Failure();
    return Device;
}

}  // namespace cport
