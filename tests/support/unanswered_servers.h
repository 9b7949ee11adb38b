// SPDX-License-Identifier: MIT
#pragma once

// Network servers that do not serve, for the suites and benchmarks of opens
// that must not wait on them:
//   TDeadServer: a server off the network. A listening socket whose backlog
//     is full, so the kernel drops every further SYN and a connect hangs
//     until the connecting side gives up.
//   TMuteServer: a server that accepts the connection (the kernel completes
//     the handshake into its backlog) and never sends or reads a byte.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "cport/unique_fd.h"

namespace test_support {

class TListeningSocket {
public:
    explicit TListeningSocket(int Backlog)
        : Fd_(cport::CreatedFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "a listening socket"))
    {
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        if (::bind(Fd_.get(), reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
            ::listen(Fd_.get(), Backlog) != 0 ||
            ::getsockname(Fd_.get(), reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
            throw std::system_error(errno, std::generic_category(), "a listening socket");
        Port_ = ntohs(Address.sin_port);
    }
    std::string Endpoint() const { return "127.0.0.1:" + std::to_string(Port_); }

    // Starts a connection to it; true when the handshake completes within
    // Wait (the backlog took it), false when it is still pending.
    bool Connect(std::chrono::milliseconds Wait, cport::TUniqueFd& Socket) const
    {
        Socket = cport::CreatedFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), "a client socket");
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Address.sin_port = htons(Port_);
        if (::connect(Socket.get(), reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0)
            return true;
        pollfd Ready{Socket.get(), POLLOUT, 0};
        return ::poll(&Ready, 1, static_cast<int>(Wait.count())) > 0;
    }

private:
    cport::TUniqueFd Fd_;
    unsigned short Port_ = 0;
};

class TDeadServer {
public:
    // Fills the backlog (listen(fd, 0) takes one or two connections) with
    // connections that are never accepted, until one hangs.
    TDeadServer() : Listener_(0)
    {
        for (int Attempt = 0; Attempt < 16 && !Dead_; ++Attempt) {
            Held_.emplace_back();
            Dead_ = !Listener_.Connect(std::chrono::milliseconds(500), Held_.back());
        }
    }
    // False on a kernel that did not drop the SYNs (the caller skips).
    bool Dead() const { return Dead_; }
    std::string Endpoint() const { return Listener_.Endpoint(); }

private:
    TListeningSocket Listener_;
    std::vector<cport::TUniqueFd> Held_;
    bool Dead_ = false;
};

class TMuteServer {
public:
    TMuteServer() : Listener_(64) {}
    std::string Endpoint() const { return Listener_.Endpoint(); }

private:
    TListeningSocket Listener_;
};

}  // namespace test_support
