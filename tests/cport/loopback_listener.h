// SPDX-License-Identifier: MIT
// A listening TCP socket on a free loopback port that never accepts: the
// kernel completes the connections, and nobody says a word on them.
#pragma once

#include "cport/unique_fd.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>
#include <string>

namespace net_test {

class TLoopbackListener {
public:
    TLoopbackListener() : Fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        if (::bind(Fd_.get(), reinterpret_cast<sockaddr*>(&Address), Length) != 0 || ::listen(Fd_.get(), 4) != 0 ||
            ::getsockname(Fd_.get(), reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
            throw std::runtime_error("no listening socket");
        Port_ = std::to_string(ntohs(Address.sin_port));
    }
    const std::string& Port() const { return Port_; }

private:
    cport::TUniqueFd Fd_;
    std::string Port_;
};

// A loopback port that was free a moment ago and that nothing listens on now.
inline std::string ClosedLoopbackPort()
{
    return TLoopbackListener().Port();
}

}  // namespace net_test
