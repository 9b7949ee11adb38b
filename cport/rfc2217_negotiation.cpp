// SPDX-License-Identifier: MIT
// The opening negotiation of an rfc2217 port: in steps for a caller that must
// not wait, and as one bounded wait over those steps.
#include "cport/net_device.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace cport {

// Offers BINARY, SUPPRESS-GO-AHEAD and the COM-PORT-OPTION.
std::unique_ptr<TRfc2217Device> TRfc2217Device::StartNegotiation(TUniqueFd Socket, const TNetAddress& Address,
                                                                 TNetOpenFailure& Failure, TNetClock Now)
{
    std::unique_ptr<TRfc2217Device> Device(new TRfc2217Device(std::move(Socket), Address, Now));
    if (!Device->ModemFd_ || !Device->AnswerFd_) {
        Failure = {errno, "No event descriptor for " + Address.Endpoint()};
        return nullptr;
    }
    std::string Opening;
    {
        std::lock_guard Lock(Device->DecodeMutex_);
        Opening = Device->Codec_.Opening();
    }
    if (int Error = Device->SendCommand(Opening)) {
        Failure = {Error, "Cannot talk to " + Address.Endpoint()};
        return nullptr;
    }
    return Device;
}

// One read of what has come, then where the negotiation stands. Data that
// comes meanwhile was sent before the port was open and is dropped, as a
// local device drops its input at the open.
TRfc2217Device::TNegotiation TRfc2217Device::NegotiationStep(bool TimeUp, TNetOpenFailure& Failure)
{
    auto Failed = [&](int Error, std::string Reason) {
        Failure = {Error, std::move(Reason)};
        return TNegotiation::Failed;
    };
    unsigned char Buffer[512];
    const ssize_t Got = Read(Buffer, sizeof Buffer);
    if (Got == 0)
        return Failed(ECONNRESET, Endpoint_ + " closed the connection");
    if (Got < 0 && errno != EAGAIN && errno != EINTR && !Deaf_)
        return Failed(errno, "Connection to " + Endpoint_ + " lost");
    std::lock_guard Lock(DecodeMutex_);
    if (Codec_.ComPortAccepted())
        return TNegotiation::Accepted;
    if (Codec_.ComPortRefused())
        return Failed(EPROTONOSUPPORT, Endpoint_ + " refuses serial line control (RFC 2217)");
    if (Deaf_)
        return Failed(EPROTO, Endpoint_ + " keeps negotiating without reading the answers");
    if (TimeUp)
        return Failed(ETIMEDOUT,
                      Codec_.HeardFromServer()
                          ? Endpoint_ + " did not agree to serial line control (RFC 2217) in time"
                          : "No telnet negotiation from " + Endpoint_ + ": is it a telnet server with RFC 2217?");
    return TNegotiation::Pending;
}

// Reads until the server has taken the COM-PORT-OPTION. The limit runs from
// the start, however much the server sends meanwhile.
std::unique_ptr<TRfc2217Device> TRfc2217Device::Negotiate(TUniqueFd Socket, const TNetAddress& Address,
                                                          TNetOpenFailure& Failure, TNetClock Now)
{
    const auto Deadline = Now() + TNetTimeouts::Negotiation;
    std::unique_ptr<TRfc2217Device> Device = StartNegotiation(std::move(Socket), Address, Failure, Now);
    while (Device) {
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Now()).count();
        switch (Device->NegotiationStep(Left <= 0, Failure)) {
        case TNegotiation::Accepted:
            return Device;
        case TNegotiation::Failed:
            return nullptr;
        case TNegotiation::Pending:
            break;
        }
        pollfd P{Device->Socket_.get(), POLLIN, 0};
        if (::poll(&P, 1, static_cast<int>(std::max<long long>(Left, 0))) < 0 && errno != EINTR) {
            Failure = {errno, "Connection to " + Address.Endpoint() + " lost"};
            return nullptr;
        }
    }
    return nullptr;
}

int TRfc2217Device::StartLineSettings(const TCustomComPort& Port)
{
    std::lock_guard Lock(ApplyMutex_);
    TLineBatch Batch;
    if (const int Error = BatchFor(Port, Batch))
        return Error;
    if (const int Error = SendCommand(Batch.Bytes))
        return Error;
    Settling_ = Batch.Want;
    SettlingAwaited_ = Batch.Awaited;
    return 0;
}

// Reads what has come (data before the open is dropped, as at the
// negotiation), then where the acknowledgements stand.
int TRfc2217Device::LineSettingsStep(bool TimeUp)
{
    std::lock_guard Lock(ApplyMutex_);
    if (!Settling_)
        return 0;
    if (const int Error = Pump())
        return Error;
    const int Answered = AnswersFor(*Settling_, SettlingAwaited_);
    if (Answered == 0)
        Sent_ = Settling_;
    if (Answered == EINPROGRESS && !TimeUp)
        return EINPROGRESS;
    Settling_.reset();
    return Answered == EINPROGRESS ? ETIMEDOUT : Answered;
}

}  // namespace cport
