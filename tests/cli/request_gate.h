// SPDX-License-Identifier: MIT
// A relay between varnolink and the TCP ports of a simulated plant that lets
// a given number of request frames through on each line and holds the ones
// after them until released: a test acts at a known request of every line,
// whatever the speed of the machine. Replies always pass.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/unique_fd.h"

namespace cli_test {

class TRequestGate {
public:
    // One relay port for each of Targets (loopback TCP ports); each lets
    // Passed request frames (ended by '\n') through before it holds.
    TRequestGate(const std::vector<uint16_t>& Targets, std::size_t Passed)
        : Passed_(Passed), Wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (!Wake_)
            throw std::runtime_error("eventfd failed");
        for (const uint16_t Target : Targets) {
            TLine Line;
            Line.Target = Target;
            Line.Listener = varnolink::sim::TUniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in Address = Loopback(0);
            socklen_t Length = sizeof Address;
            if (!Line.Listener || ::bind(Line.Listener.Get(), reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
                ::listen(Line.Listener.Get(), 1) != 0 ||
                ::getsockname(Line.Listener.Get(), reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
                throw std::runtime_error("no relay port");
            Line.Port = ntohs(Address.sin_port);
            Lines_.push_back(std::move(Line));
        }
        Thread_ = std::thread([this] { Relay(); });
    }
    ~TRequestGate()
    {
        Signal(Stop_);
        Thread_.join();
    }
    TRequestGate(const TRequestGate&) = delete;
    TRequestGate& operator=(const TRequestGate&) = delete;

    // The port name varnolink is given for line Index (from 0).
    std::string PortName(std::size_t Index) const { return "socket://127.0.0.1:" + std::to_string(Lines_[Index].Port); }
    // Waits until every line holds a request beyond the passed ones, so
    // that nothing more happens on any line until Release.
    bool WaitUntilAllHold(std::chrono::milliseconds Timeout)
    {
        std::unique_lock Lock(Mutex_);
        return Changed_.wait_for(Lock, Timeout, [this] {
            for (const TLine& Line : Lines_)
                if (Line.Held.empty())
                    return false;
            return true;
        });
    }
    // Lets the held bytes and everything after them through.
    void Release() { Signal(Released_); }

private:
    struct TLine {
        uint16_t Target = 0;
        uint16_t Port = 0;
        varnolink::sim::TUniqueFd Listener;
        varnolink::sim::TUniqueFd Client;    // varnolink's side
        varnolink::sim::TUniqueFd Upstream;  // the plant's side
        std::size_t FramesPassed = 0;
        std::string Held;  // guarded by Mutex_
    };

    static sockaddr_in Loopback(uint16_t Port)
    {
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Address.sin_port = htons(Port);
        return Address;
    }
    void Signal(bool& Flag)
    {
        {
            std::lock_guard Lock(Mutex_);
            Flag = true;
        }
        const uint64_t One = 1;
        if (::write(Wake_.Get(), &One, sizeof One) < 0) {
            // the counter is full: the relay is awake anyway
        }
    }
    // Writes all of Bytes to a loopback socket (blocking: the peer reads).
    static void SendAll(int Fd, const char* Bytes, std::size_t Count)
    {
        while (Count > 0) {
            const ssize_t Sent = ::send(Fd, Bytes, Count, MSG_NOSIGNAL);
            if (Sent <= 0)
                return;  // the peer went away: its reader sees the end
            Bytes += Sent;
            Count -= static_cast<std::size_t>(Sent);
        }
    }
    // Reads what Fd, one end of Line, has into Buffer: the count, or 0 when
    // that end closed or failed, which ends the line at both ends.
    static std::size_t ReceiveOrEnd(TLine& Line, int Fd, char* Buffer, std::size_t Size)
    {
        const ssize_t Got = ::recv(Fd, Buffer, Size, 0);
        if (Got > 0)
            return static_cast<std::size_t>(Got);
        Line.Client.Reset();
        Line.Upstream.Reset();
        return 0;
    }
    // From varnolink to the plant: frames up to Passed_, then held.
    void Forward(TLine& Line, const char* Bytes, std::size_t Count)
    {
        std::lock_guard Lock(Mutex_);
        std::size_t Through = 0;
        while (Through < Count && Line.FramesPassed < Passed_ && Line.Held.empty())
            if (Bytes[Through++] == '\n')
                ++Line.FramesPassed;
        if (Released_) {
            SendAll(Line.Upstream.Get(), Line.Held.data(), Line.Held.size());
            Line.Held.clear();
            Through = Count;
        }
        SendAll(Line.Upstream.Get(), Bytes, Through);
        Line.Held.append(Bytes + Through, Count - Through);
        Changed_.notify_all();
    }
    void Relay()
    {
        for (;;) {
            std::vector<pollfd> Fds{{Wake_.Get(), POLLIN, 0}};
            for (const TLine& Line : Lines_) {
                Fds.push_back({Line.Client ? Line.Client.Get() : Line.Listener.Get(), POLLIN, 0});
                Fds.push_back({Line.Upstream ? Line.Upstream.Get() : -1, POLLIN, 0});
            }
            if (::poll(Fds.data(), Fds.size(), -1) < 0)
                continue;  // EINTR
            if (Fds[0].revents != 0) {
                uint64_t Count;
                while (::read(Wake_.Get(), &Count, sizeof Count) > 0) {
                }
                std::lock_guard Lock(Mutex_);
                if (Stop_)
                    return;
                for (TLine& Line : Lines_) {
                    if (Released_ && Line.Upstream && !Line.Held.empty()) {
                        SendAll(Line.Upstream.Get(), Line.Held.data(), Line.Held.size());
                        Line.Held.clear();
                    }
                }
            }
            for (std::size_t I = 0; I < Lines_.size(); ++I) {
                TLine& Line = Lines_[I];
                const pollfd& FromClient = Fds[1 + 2 * I];
                const pollfd& FromPlant = Fds[2 + 2 * I];
                if (!Line.Client && FromClient.revents != 0) {
                    Line.Client =
                        varnolink::sim::TUniqueFd(::accept4(Line.Listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                    Line.Upstream = varnolink::sim::TUniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                    const sockaddr_in Target = Loopback(Line.Target);
                    if (::connect(Line.Upstream.Get(), reinterpret_cast<const sockaddr*>(&Target), sizeof Target) != 0)
                        Line.Client.Reset();  // varnolink sees the line end
                    continue;
                }
                // An end that closes ends the line at both: the second
                // read then has no line left.
                char Buffer[4096];
                if (Line.Client && FromClient.revents != 0)
                    if (const std::size_t Got = ReceiveOrEnd(Line, Line.Client.Get(), Buffer, sizeof Buffer))
                        Forward(Line, Buffer, Got);
                if (Line.Upstream && FromPlant.revents != 0)
                    if (const std::size_t Got = ReceiveOrEnd(Line, Line.Upstream.Get(), Buffer, sizeof Buffer))
                        SendAll(Line.Client.Get(), Buffer, Got);
            }
        }
    }

    const std::size_t Passed_;
    varnolink::sim::TUniqueFd Wake_;
    std::vector<TLine> Lines_;
    std::mutex Mutex_;
    std::condition_variable Changed_;
    bool Released_ = false;
    bool Stop_ = false;
    std::thread Thread_;
};

}  // namespace cli_test
