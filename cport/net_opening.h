// SPDX-License-Identifier: MIT
// Internal: the open of a network port as steps (connect, then the rfc2217
// negotiation or the raw port's telnet check), each with its own deadline, for
// a caller that serves many ports on one thread and must not wait at any
// open. OpenNetDevice (net_device.h) is the same steps with waits between.
#pragma once

#include "cport/net_device.h"
#include "cport/tcp_connecting.h"

#include <poll.h>

#include <chrono>
#include <memory>

namespace cport {

class TNetOpening {
public:
    // Starts connecting. A numeric host is taken at once; a name is looked up
    // here, or with LookUpAside on a thread of its own while the caller waits
    // for WaitFd() (the lookup counts against ConnectTimeout). A raw port looks up to
    // TelnetCheck after the connect for a telnet server's first bytes (a
    // negative TelnetCheck: not at all, for a caller that checks them itself). With
    // Settings, an rfc2217 port also sends that port's line settings and
    // waits for their acknowledgement as a step, so that Open's ApplyLine
    // finds nothing left to wait for.
    TNetOpening(const TNetAddress& Address, std::chrono::milliseconds TelnetCheck,
                const TCustomComPort* Settings = nullptr,
                std::chrono::milliseconds ConnectTimeout = TNetTimeouts::Connect, bool LookUpAside = false);
    TNetOpening(const TNetOpening&) = delete;
    TNetOpening& operator=(const TNetOpening&) = delete;

    bool Done() const { return Stage_ == TStage::Ended; }
    // What to wait for before the next Step: WaitFd() ready for WaitEvents()
    // (poll's POLLIN or POLLOUT, the same values as epoll's), or Deadline().
    // WaitFd is -1 once done.
    int WaitFd() const;
    short WaitEvents() const { return Stage_ == TStage::Connecting ? Connecting_.WaitEvents() : POLLIN; }
    std::chrono::steady_clock::time_point Deadline() const;
    // Takes what the wait brought (or the deadline's passing) and goes on as
    // far as it can without waiting. True once done.
    bool Step();
    // Once done: the opened device, or null with Failure() saying why.
    std::unique_ptr<TDevice> TakeDevice() { return std::move(Device_); }
    const TNetOpenFailure& Failure() const { return Failure_; }

private:
    enum class TStage { Connecting, Negotiating, Settling, CheckingTelnet, Ended };
    // The connection is made: the next stage begins.
    void Connected();
    // The rfc2217 server took the COM-PORT-OPTION: the settings go out.
    void Negotiated();
    void Fail(TNetOpenFailure Failure);
    // The raw port: a telnet greeting refuses it; otherwise, once something
    // came or the check's time is up, it is the device.
    void CheckTelnet(bool TimeUp);

    TNetAddress Address_;
    std::chrono::milliseconds TelnetCheck_;
    const TCustomComPort* Settings_;
    TTcpConnecting Connecting_;
    TStage Stage_ = TStage::Connecting;
    std::chrono::steady_clock::time_point Deadline_{};
    TUniqueFd Socket_;                     // the raw port under its telnet check
    std::unique_ptr<TRfc2217Device> Rfc_;  // the rfc2217 port under negotiation
    std::unique_ptr<TDevice> Device_;
    TNetOpenFailure Failure_;
};

}  // namespace cport
