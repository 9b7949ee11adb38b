// SPDX-License-Identifier: MIT
// A bare client of ser2net's telnet(rfc2217) accepter on loopback, the
// baseline of the benchmarks through ser2net: a plain TCP socket with
// TCP_NODELAY, telnet commands from ser2net skipped and never answered
// (ser2net passes data without answers to its negotiation).
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "cport/unique_fd.h"
#include "main/protocol/reply_decoder.h"

namespace bare_client {

using TClock = std::chrono::steady_clock;

// How long the client waits for a reply, and for ser2net to take it.
inline constexpr std::chrono::milliseconds BareReplyTimeout{2000};

inline void Require(bool Ok, const std::string& What)
{
    if (!Ok)
        throw std::runtime_error(What);
}

// The telnet side of a bare client: takes the bytes ser2net sends, drops
// its command sequences (IAC WILL/WONT/DO/DONT x, IAC SB ... IAC SE, any
// other two-byte IAC command) and keeps the data, a doubled IAC as one
// 0xFF. The state survives across reads, so a sequence may be split.
class TTelnetReader {
public:
    // Feeds Count received bytes; data bytes are appended to Data.
    void Feed(const char* Bytes, std::size_t Count, std::string& Data)
    {
        for (std::size_t Index = 0; Index < Count; ++Index) {
            const auto Byte = static_cast<uint8_t>(Bytes[Index]);
            switch (State_) {
            case TState::Data:
                if (Byte == Iac)
                    State_ = TState::Command;
                else
                    Data.push_back(static_cast<char>(Byte));
                break;
            case TState::Command:
                if (Byte == Iac) {
                    Data.push_back(static_cast<char>(Byte));
                    State_ = TState::Data;
                } else if (Byte >= Will && Byte <= Dont) {
                    State_ = TState::Option;
                } else if (Byte == Sb) {
                    State_ = TState::Sub;
                } else {
                    State_ = TState::Data;
                }
                break;
            case TState::Option:
                State_ = TState::Data;
                break;
            case TState::Sub:
                if (Byte == Iac)
                    State_ = TState::SubIac;
                break;
            case TState::SubIac:
                State_ = Byte == Se ? TState::Data : TState::Sub;
                break;
            }
        }
    }

private:
    static constexpr uint8_t Iac = 255, Will = 251, Dont = 254, Sb = 250, Se = 240;
    enum class TState { Data, Command, Option, Sub, SubIac };
    TState State_ = TState::Data;
};

// A bare client of ser2net's telnet(rfc2217) accepter on loopback.
class TBareTelnetClient {
public:
    // Connects and makes sure the port is this client's. ser2net lets one
    // client at a time on a port and releases it a moment after the previous
    // client (the window) has gone; a connection made before that gets the
    // telnet greeting, then the text "Port already in use" and is closed.
    // So a first exchange, Probe, is made at once (untimed, as the window's
    // open negotiates before its runs), and the connection is made again 1 ms
    // later until Probe gets a reply that decodes, for at most BareReplyTimeout.
    TBareTelnetClient(uint16_t Port, const std::string& Probe)
    {
        const auto Deadline = TClock::now() + BareReplyTimeout;
        std::string Reply;
        for (;;) {
            Connect(Port);
            if (Send(Probe) && ReceiveLine(Reply) && varnolink::DecodeReplyLine(Reply).has_value())
                return;
            Require(TClock::now() < Deadline, "ser2net takes a client");
            ::poll(nullptr, 0, 1);
        }
    }

    // Sends Request in one write (or, Bytewise, one send per byte) and reads
    // until the reply's CR; Reply gets the data received up to and without
    // that CR.
    void Exchange(const std::string& Request, std::string& Reply, bool Bytewise)
    {
        if (Bytewise) {
            for (const char& Byte : Request)
                Require(::send(Socket_.get(), &Byte, 1, MSG_NOSIGNAL) == 1, "send a byte of the request");
        } else {
            Require(Send(Request), "send the request");
        }
        Require(ReceiveLine(Reply), "a reply through ser2net in time");
    }

private:
    void Connect(uint16_t Port)
    {
        Socket_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        Require(Socket_.get() >= 0, "socket");
        Reader_ = {};
        Pending_.clear();
        const int On = 1;
        Require(::setsockopt(Socket_.get(), IPPROTO_TCP, TCP_NODELAY, &On, sizeof On) == 0, "TCP_NODELAY");
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Address.sin_port = htons(Port);
        Require(::connect(Socket_.get(), reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0,
                "connect to ser2net");
    }

    bool Send(const std::string& Request)
    {
        return ::send(Socket_.get(), Request.data(), Request.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(Request.size());
    }

    // Reads until a CR in the data; false if the connection ends or nothing
    // comes for BareReplyTimeout.
    bool ReceiveLine(std::string& Line)
    {
        std::size_t Cr = std::string::npos;
        while ((Cr = Pending_.find('\r')) == std::string::npos) {
            if (!Receive())
                return false;
        }
        Line.assign(Pending_, 0, Cr);
        Pending_.erase(0, Cr + 1);
        return true;
    }

    // Waits up to BareReplyTimeout for bytes and takes what came; false if none
    // came or the connection ended.
    bool Receive()
    {
        const auto Deadline = TClock::now() + BareReplyTimeout;
        for (;;) {
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now());
            pollfd Wait{Socket_.get(), POLLIN, 0};
            const int Ready = Left.count() > 0 ? ::poll(&Wait, 1, static_cast<int>(Left.count())) : 0;
            if (Ready == 0)
                return false;
            if (Ready < 0) {
                Require(errno == EINTR, "poll");
                continue;
            }
            std::array<char, 256> Buffer;
            const ssize_t Got = ::recv(Socket_.get(), Buffer.data(), Buffer.size(), 0);
            if (Got <= 0)
                return false;
            Reader_.Feed(Buffer.data(), static_cast<std::size_t>(Got), Pending_);
            return true;
        }
    }

    cport::TUniqueFd Socket_;
    TTelnetReader Reader_;
    std::string Pending_;  // data received and not yet handed over
};

}  // namespace bare_client
