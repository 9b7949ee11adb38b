// SPDX-License-Identifier: MIT
// Test support: a small telnet server with the COM-PORT-OPTION, in process,
// on a free loopback port, for what ser2net on a pseudo-terminal cannot
// show: modem-state and line-state notices, sequences cut across sends,
// servers that leave requests unanswered.
//
// One connection at a time, served by a thread of its own: it agrees to
// BINARY, SUPPRESS-GO-AHEAD and the COM-PORT-OPTION, records the client's
// data and COM-PORT-OPTION requests, and answers rate and format requests
// (and, if told so, control requests) with the value asked for. The test
// sends raw bytes to the client with Send, each call one send(2). A hostile
// server floods: Flood sends its start once and then its pattern again and
// again whenever the socket has room, reading the client or not.
#pragma once

#include "cport/telnet_codec.h"
#include "cport/unique_fd.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace net_test {

struct TPeerOptions {
    bool AcknowledgeFormat = true;     // answer SET-BAUDRATE/-DATASIZE/-PARITY/-STOPSIZE
    bool AcknowledgeControls = false;  // answer SET-CONTROL, masks and PURGE-DATA (ser2net on a pty: no)
    bool AgreeComPort = true;          // DO COM-PORT-OPTION, else DONT
};

// What a flooding server sends: Start once, then Repeat without end.
struct TFlood {
    std::string Start;
    std::string Repeat;
    bool ReadsClient = true;  // false: what the client sends is never read
};

// One COM-PORT-OPTION request of the client: command and value.
struct TPeerRequest {
    uint8_t Command;
    std::string Value;
};

class TTelnetPeer {
public:
    explicit TTelnetPeer(TPeerOptions Options = {}, TFlood Flood = {}) : Options_(Options)
    {
        SetFlood(std::move(Flood));
        Listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        if (::bind(Listen_.get(), reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
            ::listen(Listen_.get(), 4) != 0 ||
            ::getsockname(Listen_.get(), reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
            throw std::runtime_error("telnet peer: no listening socket");
        Port_ = ntohs(Address.sin_port);
        Wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        Thread_ = std::thread([this] { Run(); });
    }
    ~TTelnetPeer()
    {
        {
            std::lock_guard Lock(Mutex_);
            Stop_ = true;
        }
        Wake();
        Thread_.join();
    }
    TTelnetPeer(const TTelnetPeer&) = delete;
    TTelnetPeer& operator=(const TTelnetPeer&) = delete;

    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(Port_); }

    // Raw bytes to the client, one send(2) per call, in order.
    void Send(std::string Bytes)
    {
        {
            std::lock_guard Lock(Mutex_);
            Outgoing_.push_back(std::move(Bytes));
        }
        Wake();
    }
    // Starts flooding the client (at once, or from the connection on when
    // given to the constructor).
    void Flood(TFlood Flood)
    {
        SetFlood(std::move(Flood));
        Wake();
    }
    // Ends the connection (the client sees end of file).
    void Disconnect()
    {
        {
            std::lock_guard Lock(Mutex_);
            Disconnect_ = true;
        }
        Wake();
    }

    // Waits until Done holds for what has come from the client.
    bool WaitFor(const std::function<bool(const std::string& Data, const std::vector<TPeerRequest>& Requests)>& Done,
                 std::chrono::milliseconds Limit = std::chrono::seconds(5))
    {
        std::unique_lock Lock(Mutex_);
        return Changed_.wait_for(Lock, Limit, [&] { return Done(Data_, Requests_); });
    }
    std::string Data()
    {
        std::lock_guard Lock(Mutex_);
        return Data_;
    }
    std::vector<TPeerRequest> Requests()
    {
        std::lock_guard Lock(Mutex_);
        return Requests_;
    }
    bool Connected()
    {
        std::lock_guard Lock(Mutex_);
        return Connected_;
    }

    // A COM-PORT-OPTION message of the server with the given command (the
    // server offset is added) and value.
    static std::string Notice(uint8_t Command, std::string Value)
    {
        return cport::TTelnetCodec::Request(
            static_cast<cport::telnet::TComPortCommand>(Command + cport::telnet::ServerOffset), Value);
    }

private:
    void SetFlood(TFlood Flood)
    {
        std::lock_guard Lock(Mutex_);
        Flood_.ReadsClient = Flood.ReadsClient;
        FloodOut_ = std::move(Flood.Start);
        Flood_.Repeat.clear();
        while (!Flood.Repeat.empty() && Flood_.Repeat.size() < 16384)
            Flood_.Repeat += Flood.Repeat;
    }

    // One non-blocking send of the flood; false when the client has gone.
    bool SendFlood()
    {
        std::lock_guard Lock(Mutex_);
        if (FloodOut_.empty())
            FloodOut_ = Flood_.Repeat;
        const ssize_t N = ::send(Client_.get(), FloodOut_.data(), FloodOut_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (N < 0)
            return errno == EAGAIN || errno == EINTR;
        FloodOut_.erase(0, static_cast<size_t>(N));
        return true;
    }

    void Wake()
    {
        const uint64_t One = 1;
        [[maybe_unused]] ssize_t N = ::write(Wake_.get(), &One, sizeof One);
    }

    void SendAll(const std::string& Bytes)
    {
        size_t Done = 0;
        while (Done < Bytes.size() && Client_) {
            const ssize_t N = ::send(Client_.get(), Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
            if (N <= 0)
                return;
            Done += static_cast<size_t>(N);
        }
    }

    void Run()
    {
        for (;;) {
            bool Reads = true, Floods = false;
            {
                std::lock_guard Lock(Mutex_);
                Reads = Flood_.ReadsClient;
                Floods = !Flood_.Repeat.empty();
            }
            pollfd Waits[2] = {{Wake_.get(), POLLIN, 0}, {Listen_.get(), POLLIN, 0}};
            if (Client_)
                Waits[1] = {Client_.get(), static_cast<short>((Reads ? POLLIN : 0) | (Floods ? POLLOUT : 0)), 0};
            ::poll(Waits, 2, -1);
            if (Waits[0].revents != 0) {
                uint64_t Counter;
                [[maybe_unused]] ssize_t N = ::read(Wake_.get(), &Counter, sizeof Counter);
            }
            std::deque<std::string> Out;
            bool Disconnect = false;
            {
                std::lock_guard Lock(Mutex_);
                if (Stop_)
                    return;
                Out.swap(Outgoing_);
                Disconnect = std::exchange(Disconnect_, false);
            }
            for (const std::string& Bytes : Out)
                SendAll(Bytes);
            if (Disconnect && Client_) {
                Client_.Reset();
                std::lock_guard Lock(Mutex_);
                Connected_ = false;
            }
            if (Waits[1].revents == 0)
                continue;
            if (Client_ && (Waits[1].revents & POLLOUT) != 0 && !SendFlood()) {
                DropClient();
                continue;
            }
            if (Client_ && (Waits[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            if (!Client_) {
                Client_.Reset(::accept4(Listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (Client_) {
                    const int on = 1;
                    ::setsockopt(Client_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    State_ = sData;
                    std::lock_guard Lock(Mutex_);
                    Connected_ = true;
                }
                continue;
            }
            unsigned char Buffer[4096];
            const ssize_t N = Reads ? ::recv(Client_.get(), Buffer, sizeof Buffer, MSG_DONTWAIT) : 0;
            if (N < 0 && errno == EAGAIN)
                continue;
            if (N <= 0) {
                DropClient();
                continue;
            }
            Parse(Buffer, static_cast<size_t>(N));
        }
    }

    void DropClient()
    {
        Client_.Reset();
        std::lock_guard Lock(Mutex_);
        Connected_ = false;
        Changed_.notify_all();
    }

    // The server side of the telnet stream, enough for the client's traffic.
    void Parse(const unsigned char* Bytes, size_t Length)
    {
        using namespace cport::telnet;
        std::string Reply;
        std::string Data;
        std::vector<TPeerRequest> Requests;
        for (size_t I = 0; I < Length; ++I) {
            const unsigned char C = Bytes[I];
            switch (State_) {
            case sData:
                if (C == IAC)
                    State_ = sIac;
                else
                    Data.push_back(static_cast<char>(C));
                break;
            case sIac:
                if (C == IAC) {
                    Data.push_back(static_cast<char>(C));
                    State_ = sData;
                } else if (C >= WILL && C <= DONT) {
                    Verb_ = C;
                    State_ = sVerb;
                } else if (C == SB) {
                    Sub_.clear();
                    State_ = sSub;
                } else {
                    State_ = sData;
                }
                break;
            case sVerb:
                Answer(Verb_, C, Reply);
                State_ = sData;
                break;
            case sSub:
                if (C == IAC)
                    State_ = sSubIac;
                else
                    Sub_.push_back(static_cast<char>(C));
                break;
            case sSubIac:
                if (C == SE) {
                    if (Sub_.size() >= 2 && static_cast<uint8_t>(Sub_[0]) == ComPortOption) {
                        const auto Command = static_cast<uint8_t>(Sub_[1]);
                        const std::string Value = Sub_.substr(2);
                        Requests.push_back({Command, Value});
                        const bool Format = Command >= cpSetBaudRate && Command <= cpSetStopSize;
                        if ((Format && Options_.AcknowledgeFormat) || (!Format && Options_.AcknowledgeControls))
                            Reply += Notice(Command, Value);
                    }
                    State_ = sData;
                } else {
                    Sub_.push_back(static_cast<char>(C));  // a doubled IAC
                    State_ = sSub;
                }
                break;
            }
        }
        {
            // Recorded before anything is answered: a client that goes on
            // after an answer finds its request here.
            std::lock_guard Lock(Mutex_);
            Data_ += Data;
            Requests_.insert(Requests_.end(), Requests.begin(), Requests.end());
            Changed_.notify_all();
        }
        SendAll(Reply);
    }

    void Answer(uint8_t Verb, uint8_t Option, std::string& Reply)
    {
        using namespace cport::telnet;
        const bool Known = Option == BINARY || Option == SGA || Option == ComPortOption;
        auto Add = [&](uint8_t V) {
            Reply += std::string{static_cast<char>(IAC), static_cast<char>(V), static_cast<char>(Option)};
        };
        if (Verb == WILL) {
            if (Option == ComPortOption && !Options_.AgreeComPort)
                Add(DONT);
            else
                Add(Known ? DO : DONT);
        } else if (Verb == DO) {
            Add(Known && Option != ComPortOption ? WILL : WONT);
        }
    }

    enum TState { sData, sIac, sVerb, sSub, sSubIac };

    TPeerOptions Options_;
    cport::TUniqueFd Listen_;
    cport::TUniqueFd Client_;
    cport::TUniqueFd Wake_;
    uint16_t Port_ = 0;
    TState State_ = sData;
    uint8_t Verb_ = 0;
    std::string Sub_;

    std::mutex Mutex_;
    std::condition_variable Changed_;
    std::deque<std::string> Outgoing_;
    TFlood Flood_;          // Repeat: the pattern, grown to a block
    std::string FloodOut_;  // what is left of the block being sent
    bool Disconnect_ = false;
    bool Stop_ = false;
    bool Connected_ = false;
    std::string Data_;
    std::vector<TPeerRequest> Requests_;
    std::thread Thread_;
};

}  // namespace net_test
