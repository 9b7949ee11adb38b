// SPDX-License-Identifier: MIT
// A telnet server with the COM-PORT-OPTION (tests/cport/telnet_peer.h) in a
// child process, for benchmarks that measure this process's own time: what
// the server spends is not counted.
#pragma once

#include "tests/cport/telnet_peer.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace forked_peer {

// The child: it floods (with Flood, when given) once Start is called, and
// ends when this object is destroyed.
class TForkedPeer {
public:
    explicit TForkedPeer(net_test::TFlood Flood = {})
    {
        int ToChild[2], FromChild[2];
        if (::pipe2(ToChild, O_CLOEXEC) != 0 || ::pipe2(FromChild, O_CLOEXEC) != 0)
            throw std::runtime_error("pipes to the server");
        Pid_ = ::fork();
        if (Pid_ < 0)
            throw std::runtime_error("fork");
        if (Pid_ == 0) {
            ::close(ToChild[1]);
            ::close(FromChild[0]);
            Serve(ToChild[0], FromChild[1], std::move(Flood));
            ::_exit(0);
        }
        ::close(ToChild[0]);
        ::close(FromChild[1]);
        const bool Told = ::read(FromChild[0], &Port_, sizeof Port_) == sizeof Port_;
        ::close(FromChild[0]);
        Go_ = ToChild[1];
        if (!Told)
            throw std::runtime_error("the server's port");
    }
    ~TForkedPeer()
    {
        ::close(Go_);
        int Status = 0;
        ::waitpid(Pid_, &Status, 0);
    }
    TForkedPeer(const TForkedPeer&) = delete;
    TForkedPeer& operator=(const TForkedPeer&) = delete;

    int Port() const { return Port_; }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(Port_); }
    // Starts the flood.
    void Start()
    {
        const char Byte = 1;
        if (::write(Go_, &Byte, 1) != 1)
            throw std::runtime_error("start the server");
    }

private:
    static void Serve(int In, int Out, net_test::TFlood Flood)
    {
        net_test::TTelnetPeer Peer;
        const std::string Url = Peer.Url();
        const int Number = std::stoi(Url.substr(Url.rfind(':') + 1));
        [[maybe_unused]] ssize_t N = ::write(Out, &Number, sizeof Number);
        char Byte;
        if (::read(In, &Byte, 1) == 1 && !Flood.Repeat.empty())
            Peer.Flood(std::move(Flood));
        while (::read(In, &Byte, 1) > 0) {
        }
    }

    pid_t Pid_ = -1;
    int Port_ = 0;
    int Go_ = -1;
};

}  // namespace forked_peer
