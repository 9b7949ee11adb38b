// SPDX-License-Identifier: MIT
// Internal: a TCP connection made in steps, so that a caller serving many
// ports on one thread never waits in connect for a server that does not
// answer (see net_address.h for the blocking ConnectTcp built on it).
#pragma once

#include "cport/name_lookup.h"
#include "cport/net_address.h"
#include "cport/unique_fd.h"

#include <netdb.h>
#include <poll.h>

#include <chrono>
#include <memory>

namespace cport {

// Looks HOST up, then connects to each of its addresses in turn, each attempt
// non-blocking and bounded by its own time-out. The caller waits for Fd() to
// become ready for WaitEvents() (POLLIN while a name is being looked up,
// POLLOUT while connecting; epoll's values too) or for Deadline(), then calls
// Step. Successive attempts never reuse the descriptor number of the one
// before, so a caller that keeps Fd() in an epoll set sees each new attempt
// as a new number.
class TTcpConnecting {
public:
    // A numeric host is taken at once. A name is looked up here (the
    // resolver's time) unless LookUpAside: then a thread of its own looks it
    // up, within Timeout, while the caller waits for Fd() with the rest.
    TTcpConnecting(const TNetAddress& Address, std::chrono::milliseconds Timeout, bool LookUpAside = false);
    TTcpConnecting(const TTcpConnecting&) = delete;
    TTcpConnecting& operator=(const TTcpConnecting&) = delete;

    bool Done() const { return Done_; }
    // The lookup's eventfd or the socket of the attempt under way; -1 once done.
    int Fd() const;
    short WaitEvents() const { return Lookup_ ? POLLIN : POLLOUT; }
    std::chrono::steady_clock::time_point Deadline() const { return Deadline_; }
    // Takes the lookup's end (or its time-out), or looks at the attempt
    // under way (its TCP state, asked without waiting: a caller may step it
    // at any time; a time-out once its deadline has passed) and starts the
    // next address after a failure. True once the connection is made or
    // every address has failed.
    bool Step();
    // Once done: the connected socket (non-blocking, close-on-exec, tuned as
    // ConnectTcp says) or the failure.
    TNetConnection TakeResult() { return std::move(Result_); }

private:
    // The lookup has ended: its addresses are tried, or its failure is the result.
    void Resolved();
    // Starts attempts until one is under way, one has connected at once or
    // the addresses are spent.
    void StartNext();
    void Connected();
    void Failed(int Error);

    TNetAddress Address_;
    std::chrono::milliseconds Timeout_;
    std::unique_ptr<TNameLookup> Lookup_;  // while the host is looked up
    TNameLookup::TAddrList List_;
    const addrinfo* Next_ = nullptr;
    TUniqueFd Socket_;
    std::chrono::steady_clock::time_point Deadline_{};
    int LastError_ = EHOSTUNREACH;
    bool Done_ = false;
    TNetConnection Result_;
};

}  // namespace cport
