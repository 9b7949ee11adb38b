// SPDX-License-Identifier: MIT
// Internal: network port names and the TCP connection behind them.
//
//   socket://HOST:PORT    raw TCP: the bytes are the line's data
//   rfc2217://HOST:PORT   telnet with the COM-PORT-OPTION: the line settings
//                         go to the server
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// ("[::1]"); PORT a decimal number from 1 to 65535. The scheme is matched
// without regard to case.
#pragma once

#include "cport/unique_fd.h"

#include <chrono>
#include <optional>
#include <string>

namespace cport {

enum class TNetKind : unsigned char { nkRaw, nkRfc2217 };

struct TNetAddress {
    TNetKind Kind = TNetKind::nkRaw;
    std::string Host;    // without brackets
    std::string Port;    // decimal, as given
    bool Valid = false;  // false: the scheme was there, the rest is malformed

    // "HOST:PORT" as the user wrote it, for messages.
    std::string Endpoint() const;
};

// The network address a port name stands for; none for a local device name.
std::optional<TNetAddress> NetAddressOf(const std::string& Port);

// The result of a connection attempt: the connected socket, or the errno of
// the failure with a sentence for the user.
struct TNetConnection {
    TUniqueFd Socket;
    int Error = 0;
    std::string Reason;
};

// Looks HOST up and connects to each of its addresses in turn, each attempt
// non-blocking and bounded by Timeout. The socket comes back non-blocking,
// close-on-exec, with TCP_NODELAY and TCP keepalive (a dead peer is noticed
// within about half a minute). Waits for each attempt: a caller that must not
// wait makes the connection in steps (TTcpConnecting, tcp_connecting.h).
TNetConnection ConnectTcp(const TNetAddress& Address, std::chrono::milliseconds Timeout);

}  // namespace cport
