// SPDX-License-Identifier: MIT
// Internal: a TCP connection made in steps, so that a caller serving many
// ports on one thread never waits in connect for a server that does not
// answer (see net_address.h for the blocking ConnectTcp built on it).
#pragma once

#include "cport/net_address.h"
#include "cport/unique_fd.h"

#include <netdb.h>

#include <chrono>
#include <memory>

namespace cport {

// Connects to each address of HOST in turn, each attempt non-blocking and
// bounded by its own time-out. The caller waits for Fd() to become writable
// (POLLOUT / EPOLLOUT) or for Deadline(), then calls Step. Successive
// attempts never reuse the descriptor number of the one before, so a caller
// that keeps Fd() in an epoll set sees each new attempt as a new number.
class TTcpConnecting {
public:
    // The host is looked up here (a name may take the resolver's time).
    TTcpConnecting(const TNetAddress& Address, std::chrono::milliseconds Timeout);
    TTcpConnecting(const TTcpConnecting&) = delete;
    TTcpConnecting& operator=(const TTcpConnecting&) = delete;

    bool Done() const { return Done_; }
    // The socket of the attempt under way; -1 once done.
    int Fd() const { return Done_ ? -1 : Socket_.get(); }
    std::chrono::steady_clock::time_point Deadline() const { return Deadline_; }
    // Looks at the attempt under way (SO_ERROR once writable; a time-out
    // once its deadline has passed) and starts the next address after a
    // failure. True once the connection is made or every address has failed.
    bool Step();
    // Once done: the connected socket (non-blocking, close-on-exec, tuned as
    // ConnectTcp says) or the failure.
    TNetConnection TakeResult() { return std::move(Result_); }

private:
    struct TAddrInfoFree {
        void operator()(addrinfo* Info) const { ::freeaddrinfo(Info); }
    };
    // Starts attempts until one is under way, one has connected at once or
    // the addresses are spent.
    void StartNext();
    void Connected();
    void Failed(int Error);

    TNetAddress Address_;
    std::chrono::milliseconds Timeout_;
    std::unique_ptr<addrinfo, TAddrInfoFree> List_;
    const addrinfo* Next_ = nullptr;
    TUniqueFd Socket_;
    std::chrono::steady_clock::time_point Deadline_{};
    int LastError_ = EHOSTUNREACH;
    bool Done_ = false;
    TNetConnection Result_;
};

}  // namespace cport
