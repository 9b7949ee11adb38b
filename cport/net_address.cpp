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

bool StartsWithNoCase(const std::string& Text, const char* Prefix, size_t& Length) {
    Length = std::strlen(Prefix);
    if (Text.size() < Length) return false;
    for (size_t i = 0; i < Length; ++i)
        if (std::tolower(static_cast<unsigned char>(Text[i])) != Prefix[i]) return false;
    return true;
}

bool ValidPort(const std::string& Port) {
    if (Port.empty() || Port.size() > 5 || Port[0] == '0') return false;
    unsigned long value = 0;
    for (char c : Port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool ValidHost(const std::string& Host) {
    if (Host.empty() || Host.size() > 253) return false;
    for (char c : Host) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '.' && c != '-' && c != '_' && c != ':') return false;
    }
    return true;
}

}  // namespace

std::string TNetAddress::Endpoint() const {
    if (host.find(':') != std::string::npos) return "[" + host + "]:" + port;
    return host + ":" + port;
}

std::optional<TNetAddress> NetAddressOf(const std::string& Port) {
    TNetAddress address;
    size_t skip = 0;
    if (StartsWithNoCase(Port, "socket://", skip))
        address.kind = TNetKind::nkRaw;
    else if (StartsWithNoCase(Port, "rfc2217://", skip))
        address.kind = TNetKind::nkRfc2217;
    else
        return std::nullopt;
    const std::string rest = Port.substr(skip);
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return address;
        address.host = rest.substr(1, close - 1);
        colon = close + 1;
        if (address.host.find(':') == std::string::npos) return address;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return address;
        address.host = rest.substr(0, colon);
        if (address.host.find(':') != std::string::npos) return address;   // IPv6 needs brackets
    }
    address.port = rest.substr(colon + 1);
    address.valid = ValidHost(address.host) && ValidPort(address.port);
    return address;
}

namespace {

struct TAddrInfoFree {
    void operator()(addrinfo* Info) const { ::freeaddrinfo(Info); }
};

// Keepalive after 10 s of silence, then 3 probes 5 s apart; unacknowledged
// data gives up after 30 s.
void TuneSocket(int Fd) {
    const int on = 1, idle = 10, interval = 5, count = 3;
    const unsigned int user_timeout_ms = 30'000;
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}

// One non-blocking attempt; 0 or the errno of its failure.
int ConnectOne(const addrinfo& Info, std::chrono::milliseconds Timeout, UniqueFd& Socket) {
    Socket.reset(::socket(Info.ai_family, Info.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, Info.ai_protocol));
    if (!Socket) return errno;
    if (::connect(Socket.get(), Info.ai_addr, Info.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    pollfd p{Socket.get(), POLLOUT, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return ETIMEDOUT;
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n > 0) break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(Socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

}  // namespace

TNetConnection ConnectTcp(const TNetAddress& Address, std::chrono::milliseconds Timeout) {
    TNetConnection result;
    if (!Address.valid) {
        result.error = EINVAL;
        result.reason = "Not a network port name: expected socket://HOST:PORT or rfc2217://HOST:PORT";
        return result;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(Address.host.c_str(), Address.port.c_str(), &hints, &found);
    if (lookup != 0) {
        result.error = lookup == EAI_SYSTEM ? errno : EHOSTUNREACH;
        result.reason = "Host not found: " + Address.host + " (" + ::gai_strerror(lookup) + ")";
        return result;
    }
    const std::unique_ptr<addrinfo, TAddrInfoFree> list(found);
    int error = EHOSTUNREACH;
    for (const addrinfo* info = found; info != nullptr; info = info->ai_next) {
        UniqueFd socket;
        error = ConnectOne(*info, Timeout, socket);
        if (error == 0) {
            TuneSocket(socket.get());
            result.socket = std::move(socket);
            return result;
        }
    }
    result.error = error;
    if (error == ECONNREFUSED)
        result.reason = "Connection refused by " + Address.Endpoint();
    else if (error == ETIMEDOUT)
        result.reason = "No answer from " + Address.Endpoint();
    else
        result.reason = "Cannot connect to " + Address.Endpoint() + ": " + std::strerror(error);
    return result;
}

TPortNameKind PortNameKind(const std::string& Port) {
    const std::optional<TNetAddress> address = NetAddressOf(Port);
    if (!address) return TPortNameKind::pnDevice;
    return address->valid ? TPortNameKind::pnNetwork : TPortNameKind::pnMalformedNetwork;
}

}  // namespace cport
