// SPDX-License-Identifier: MIT
// Network port names and the TCP connection behind them.
#include "cport/net_address.h"

#include "cport/comport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

namespace cport {

namespace {

bool StartsWithNoCase(const std::string& Text, const char* Prefix, size_t& Length)
{
    Length = std::strlen(Prefix);
    if (Text.size() < Length)
        return false;
    for (size_t I = 0; I < Length; ++I)
        if (std::tolower(static_cast<unsigned char>(Text[I])) != Prefix[I])
            return false;
    return true;
}

bool ValidPort(const std::string& Port)
{
    if (Port.empty() || Port.size() > 5 || Port[0] == '0')
        return false;
    unsigned long Value = 0;
    for (char C : Port) {
        if (!std::isdigit(static_cast<unsigned char>(C)))
            return false;
        Value = Value * 10 + static_cast<unsigned long>(C - '0');
    }
    return Value >= 1 && Value <= 65535;
}

bool ValidHost(const std::string& Host)
{
    if (Host.empty() || Host.size() > 253)
        return false;
    for (char C : Host) {
        const auto U = static_cast<unsigned char>(C);
        if (!std::isalnum(U) && C != '.' && C != '-' && C != '_' && C != ':')
            return false;
    }
    return true;
}

}  // namespace

std::string TNetAddress::Endpoint() const
{
    if (Host.find(':') != std::string::npos)
        return "[" + Host + "]:" + Port;
    return Host + ":" + Port;
}

std::optional<TNetAddress> NetAddressOf(const std::string& Port)
{
    TNetAddress Address;
    size_t Skip = 0;
    if (StartsWithNoCase(Port, "socket://", Skip))
        Address.Kind = TNetKind::nkRaw;
    else if (StartsWithNoCase(Port, "rfc2217://", Skip))
        Address.Kind = TNetKind::nkRfc2217;
    else
        return std::nullopt;
    const std::string Rest = Port.substr(Skip);
    size_t Colon;
    if (!Rest.empty() && Rest[0] == '[') {
        const size_t Close = Rest.find(']');
        if (Close == std::string::npos || Close + 1 >= Rest.size() || Rest[Close + 1] != ':')
            return Address;
        Address.Host = Rest.substr(1, Close - 1);
        Colon = Close + 1;
        if (Address.Host.find(':') == std::string::npos)
            return Address;
    } else {
        Colon = Rest.rfind(':');
        if (Colon == std::string::npos)
            return Address;
        Address.Host = Rest.substr(0, Colon);
        if (Address.Host.find(':') != std::string::npos)
            return Address;  // IPv6 needs brackets
    }
    Address.Port = Rest.substr(Colon + 1);
    Address.Valid = ValidHost(Address.Host) && ValidPort(Address.Port);
    return Address;
}

namespace {

struct TAddrInfoFree {
    void operator()(addrinfo* Info) const { ::freeaddrinfo(Info); }
};

// Keepalive after 10 s of silence, then 3 probes 5 s apart; unacknowledged
// data gives up after 30 s.
void TuneSocket(int Fd)
{
    const int On = 1, Idle = 10, Interval = 5, Count = 3;
    const unsigned int UserTimeoutMs = 30'000;
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
    ::setsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof On);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &Idle, sizeof Idle);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPINTVL, &Interval, sizeof Interval);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPCNT, &Count, sizeof Count);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &UserTimeoutMs, sizeof UserTimeoutMs);
}

// One non-blocking attempt; 0 or the errno of its failure.
int ConnectOne(const addrinfo& Info, std::chrono::milliseconds Timeout, TUniqueFd& Socket)
{
    Socket.Reset(::socket(Info.ai_family, Info.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, Info.ai_protocol));
    if (!Socket)
        return errno;
    if (::connect(Socket.get(), Info.ai_addr, Info.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    pollfd P{Socket.get(), POLLOUT, 0};
    for (;;) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0)
            return ETIMEDOUT;
        const int N = ::poll(&P, 1, static_cast<int>(Left.count()));
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0)
            return errno;
        if (N > 0)
            break;
    }
    int Error = 0;
    socklen_t Length = sizeof Error;
    if (::getsockopt(Socket.get(), SOL_SOCKET, SO_ERROR, &Error, &Length) != 0)
        return errno;
    return Error;
}

}  // namespace

TNetConnection ConnectTcp(const TNetAddress& Address, std::chrono::milliseconds Timeout)
{
    TNetConnection Result;
    if (!Address.Valid) {
        Result.Error = EINVAL;
        Result.Reason = "Not a network port name: expected socket://HOST:PORT or rfc2217://HOST:PORT";
        return Result;
    }
    addrinfo Hints{};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    addrinfo* Found = nullptr;
    const int Lookup = ::getaddrinfo(Address.Host.c_str(), Address.Port.c_str(), &Hints, &Found);
    if (Lookup != 0) {
        Result.Error = Lookup == EAI_SYSTEM ? errno : EHOSTUNREACH;
        Result.Reason = "Host not found: " + Address.Host + " (" + ::gai_strerror(Lookup) + ")";
        return Result;
    }
    const std::unique_ptr<addrinfo, TAddrInfoFree> List(Found);
    int Error = EHOSTUNREACH;
    for (const addrinfo* Info = Found; Info != nullptr; Info = Info->ai_next) {
        TUniqueFd Socket;
        Error = ConnectOne(*Info, Timeout, Socket);
        if (Error == 0) {
            TuneSocket(Socket.get());
            Result.Socket = std::move(Socket);
            return Result;
        }
    }
    Result.Error = Error;
    if (Error == ECONNREFUSED)
        Result.Reason = "Connection refused by " + Address.Endpoint();
    else if (Error == ETIMEDOUT)
        Result.Reason = "No answer from " + Address.Endpoint();
    else
        Result.Reason = "Cannot connect to " + Address.Endpoint() + ": " + std::strerror(Error);
    return Result;
}

TPortNameKind PortNameKind(const std::string& Port)
{
    const std::optional<TNetAddress> Address = NetAddressOf(Port);
    if (!Address)
        return TPortNameKind::pnDevice;
    return Address->Valid ? TPortNameKind::pnNetwork : TPortNameKind::pnMalformedNetwork;
}

}  // namespace cport
