// SPDX-License-Identifier: MIT
// TCP connections in steps, and the blocking ConnectTcp as a loop over them.
#include "cport/tcp_connecting.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace cport {

namespace {

using TClock = std::chrono::steady_clock;

// Keepalive after 10 s of silence, then a probe every 5 s; the connection
// is given up once data or probes have gone unanswered for 30 s (the user
// time-out also bounds the keepalive, so no probe count is set).
void TuneSocket(int Fd)
{
    const int On = 1, Idle = 10, Interval = 5;
    const unsigned int UserTimeoutMs = 30'000;
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
    ::setsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof On);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &Idle, sizeof Idle);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPINTVL, &Interval, sizeof Interval);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &UserTimeoutMs, sizeof UserTimeoutMs);
}

// Where a connect under way stands, asked without waiting: the connection's
// state tells a handshake still going on from one that has ended, so the
// caller need not wait for room to write first. 0: connected; EINPROGRESS:
// not yet; otherwise why it failed.
int ConnectState(int Fd)
{
    tcp_info Info{};
    socklen_t Length = sizeof Info;
    if (::getsockopt(Fd, IPPROTO_TCP, TCP_INFO, &Info, &Length) != 0)
        return errno;
    if (Info.tcpi_state == TCP_SYN_SENT)
        return EINPROGRESS;
    if (Info.tcpi_state != TCP_CLOSE)
        return 0;  // established, or already closing from the far end: the connect itself succeeded
    int Error = 0;
    Length = sizeof Error;
    if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Length) != 0)
        return errno;
    return Error != 0 ? Error : ENOTCONN;
}

}  // namespace

TTcpConnecting::TTcpConnecting(const TNetAddress& Address, std::chrono::milliseconds Timeout, bool LookUpAside)
    : Address_(Address), Timeout_(Timeout)
{
    if (!Address.Valid) {
        Done_ = true;
        Result_.Error = EINVAL;
        Result_.Reason = "Not a network port name: expected socket://HOST:PORT or rfc2217://HOST:PORT";
        return;
    }
    addrinfo Hints{};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    Lookup_ = std::make_unique<TNameLookup>(Address.Host, Address.Port, Hints, LookUpAside);
    // The lookup counts against the open like a connect attempt.
    Deadline_ = TClock::now() + Timeout_;
    if (Lookup_->Done())
        Resolved();
}

int TTcpConnecting::Fd() const
{
    if (Done_)
        return -1;
    return Lookup_ ? Lookup_->Fd() : Socket_.get();
}

void TTcpConnecting::Resolved()
{
    const std::unique_ptr<TNameLookup> Lookup = std::move(Lookup_);
    const int Status = Lookup->Status();
    if (Status != 0) {
        Done_ = true;
        Result_.Error = Status == EAI_SYSTEM ? Lookup->SystemError() : EHOSTUNREACH;
        Result_.Reason = "Host not found: " + Address_.Host + " (" + ::gai_strerror(Status) + ")";
        return;
    }
    List_ = Lookup->TakeList();
    Next_ = List_.get();
    StartNext();
}

void TTcpConnecting::StartNext()
{
    while (Next_ != nullptr) {
        const addrinfo& Info = *Next_;
        Next_ = Next_->ai_next;
        // The new socket is made while the old one is still open, so its
        // number differs from the attempt before.
        TUniqueFd Socket(::socket(Info.ai_family, Info.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, Info.ai_protocol));
        if (!Socket) {
            LastError_ = errno;
            continue;
        }
        const int Result = ::connect(Socket.get(), Info.ai_addr, Info.ai_addrlen);
        const int Error = Result == 0 ? 0 : errno;
        Socket_ = std::move(Socket);
        if (Error == 0) {
            Connected();
            return;
        }
        if (Error == EINPROGRESS) {
            Deadline_ = TClock::now() + Timeout_;
            return;
        }
        LastError_ = Error;
    }
    Failed(LastError_);
}

bool TTcpConnecting::Step()
{
    if (Done_)
        return true;
    if (Lookup_) {
        if (Lookup_->Done()) {
            Resolved();
        } else if (TClock::now() >= Deadline_) {
            Lookup_.reset();  // left to end on its own
            Done_ = true;
            Result_.Error = ETIMEDOUT;
            Result_.Reason = "Host not found: " + Address_.Host + " (no answer from the resolver within " +
                             std::to_string(Timeout_.count()) + " ms)";
        }
        return Done_;
    }
    const int Error = ConnectState(Socket_.get());
    if (Error == 0) {
        Connected();
        return true;
    }
    if (Error != EINPROGRESS)
        LastError_ = Error;
    else if (TClock::now() >= Deadline_)
        LastError_ = ETIMEDOUT;
    else
        return false;  // not yet
    StartNext();
    return Done_;
}

void TTcpConnecting::Connected()
{
    TuneSocket(Socket_.get());
    Result_.Socket = std::move(Socket_);
    Done_ = true;
}

void TTcpConnecting::Failed(int Error)
{
    Socket_.Reset();
    Done_ = true;
    Result_.Error = Error;
    if (Error == ECONNREFUSED)
        Result_.Reason = "Connection refused by " + Address_.Endpoint();
    else if (Error == ETIMEDOUT)
        Result_.Reason = "No answer from " + Address_.Endpoint();
    else
        Result_.Reason = "Cannot connect to " + Address_.Endpoint() + ": " + std::strerror(Error);
}

TNetConnection ConnectTcp(const TNetAddress& Address, std::chrono::milliseconds Timeout)
{
    TTcpConnecting Connecting(Address, Timeout);
    while (!Connecting.Done()) {
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Connecting.Deadline() - TClock::now());
        pollfd P{Connecting.Fd(), POLLOUT, 0};
        if (Left.count() > 0 && ::poll(&P, 1, static_cast<int>(Left.count())) < 0 && errno != EINTR)
            return {TUniqueFd(), errno,
                    std::string("Cannot connect to ") + Address.Endpoint() + ": " + std::strerror(errno)};
        Connecting.Step();
    }
    return Connecting.TakeResult();
}

}  // namespace cport
