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
// sends raw bytes to the client with Send, each call one send(2).
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
    bool acknowledge_format = true;     // answer SET-BAUDRATE/-DATASIZE/-PARITY/-STOPSIZE
    bool acknowledge_controls = false;  // answer SET-CONTROL, masks and PURGE-DATA (ser2net on a pty: no)
    bool agree_com_port = true;         // DO COM-PORT-OPTION, else DONT
};

// One COM-PORT-OPTION request of the client: command and value.
struct TPeerRequest {
    uint8_t command;
    std::string value;
};

class TTelnetPeer {
public:
    explicit TTelnetPeer(TPeerOptions Options = {}) : options_(Options) {
        listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listen_.get(), 4) != 0 ||
            ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("telnet peer: no listening socket");
        port_ = ntohs(address.sin_port);
        wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        thread_ = std::thread([this] { Run(); });
    }
    ~TTelnetPeer() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        Wake();
        thread_.join();
    }
    TTelnetPeer(const TTelnetPeer&) = delete;
    TTelnetPeer& operator=(const TTelnetPeer&) = delete;

    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

    // Raw bytes to the client, one send(2) per call, in order.
    void Send(std::string Bytes) {
        {
            std::lock_guard lock(mutex_);
            outgoing_.push_back(std::move(Bytes));
        }
        Wake();
    }
    // Ends the connection (the client sees end of file).
    void Disconnect() {
        {
            std::lock_guard lock(mutex_);
            disconnect_ = true;
        }
        Wake();
    }

    // Waits until Done holds for what has come from the client.
    bool WaitFor(const std::function<bool(const std::string& Data, const std::vector<TPeerRequest>& Requests)>& Done,
                 std::chrono::milliseconds Limit = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, Limit, [&] { return Done(data_, requests_); });
    }
    std::string Data() {
        std::lock_guard lock(mutex_);
        return data_;
    }
    std::vector<TPeerRequest> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    bool Connected() {
        std::lock_guard lock(mutex_);
        return connected_;
    }

    // A COM-PORT-OPTION message of the server with the given command (the
    // server offset is added) and value.
    static std::string Notice(uint8_t Command, std::string Value) {
        return cport::TTelnetCodec::Request(static_cast<cport::telnet::TComPortCommand>(Command + cport::telnet::ServerOffset),
                                            Value);
    }

private:
    void Wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

    void SendAll(const std::string& Bytes) {
        size_t done = 0;
        while (done < Bytes.size() && client_) {
            const ssize_t n = ::send(client_.get(), Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

    void Run() {
        for (;;) {
            pollfd waits[2] = {{wake_.get(), POLLIN, 0}, {client_ ? client_.get() : listen_.get(), POLLIN, 0}};
            ::poll(waits, 2, -1);
            if (waits[0].revents != 0) {
                uint64_t counter;
                [[maybe_unused]] ssize_t n = ::read(wake_.get(), &counter, sizeof counter);
            }
            std::deque<std::string> out;
            bool disconnect = false;
            {
                std::lock_guard lock(mutex_);
                if (stop_) return;
                out.swap(outgoing_);
                disconnect = std::exchange(disconnect_, false);
            }
            for (const std::string& bytes : out) SendAll(bytes);
            if (disconnect && client_) {
                client_.Reset();
                std::lock_guard lock(mutex_);
                connected_ = false;
            }
            if (waits[1].revents == 0) continue;
            if (!client_) {
                client_.Reset(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (client_) {
                    const int on = 1;
                    ::setsockopt(client_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    state_ = sData;
                    std::lock_guard lock(mutex_);
                    connected_ = true;
                }
                continue;
            }
            unsigned char buffer[4096];
            const ssize_t n = ::recv(client_.get(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                client_.Reset();
                std::lock_guard lock(mutex_);
                connected_ = false;
                changed_.notify_all();
                continue;
            }
            Parse(buffer, static_cast<size_t>(n));
        }
    }

    // The server side of the telnet stream, enough for the client's traffic.
    void Parse(const unsigned char* Bytes, size_t Length) {
        using namespace cport::telnet;
        std::string reply;
        std::string data;
        std::vector<TPeerRequest> requests;
        for (size_t i = 0; i < Length; ++i) {
            const unsigned char c = Bytes[i];
            switch (state_) {
            case sData:
                if (c == IAC) state_ = sIac;
                else data.push_back(static_cast<char>(c));
                break;
            case sIac:
                if (c == IAC) {
                    data.push_back(static_cast<char>(c));
                    state_ = sData;
                } else if (c >= WILL && c <= DONT) {
                    verb_ = c;
                    state_ = sVerb;
                } else if (c == SB) {
                    sub_.clear();
                    state_ = sSub;
                } else {
                    state_ = sData;
                }
                break;
            case sVerb:
                Answer(verb_, c, reply);
                state_ = sData;
                break;
            case sSub:
                if (c == IAC) state_ = sSubIac;
                else sub_.push_back(static_cast<char>(c));
                break;
            case sSubIac:
                if (c == SE) {
                    if (sub_.size() >= 2 && static_cast<uint8_t>(sub_[0]) == ComPortOption) {
                        const auto command = static_cast<uint8_t>(sub_[1]);
                        const std::string value = sub_.substr(2);
                        requests.push_back({command, value});
                        const bool format = command >= cpSetBaudRate && command <= cpSetStopSize;
                        if ((format && options_.acknowledge_format) || (!format && options_.acknowledge_controls))
                            reply += Notice(command, value);
                    }
                    state_ = sData;
                } else {
                    sub_.push_back(static_cast<char>(c));   // a doubled IAC
                    state_ = sSub;
                }
                break;
            }
        }
        {
            // Recorded before anything is answered: a client that goes on
            // after an answer finds its request here.
            std::lock_guard lock(mutex_);
            data_ += data;
            requests_.insert(requests_.end(), requests.begin(), requests.end());
            changed_.notify_all();
        }
        SendAll(reply);
    }

    void Answer(uint8_t Verb, uint8_t Option, std::string& Reply) {
        using namespace cport::telnet;
        const bool known = Option == BINARY || Option == SGA || Option == ComPortOption;
        auto add = [&](uint8_t V) { Reply += std::string{static_cast<char>(IAC), static_cast<char>(V), static_cast<char>(Option)}; };
        if (Verb == WILL) {
            if (Option == ComPortOption && !options_.agree_com_port) add(DONT);
            else add(known ? DO : DONT);
        } else if (Verb == DO) {
            add(known && Option != ComPortOption ? WILL : WONT);
        }
    }

    enum TState { sData, sIac, sVerb, sSub, sSubIac };

    TPeerOptions options_;
    cport::TUniqueFd listen_;
    cport::TUniqueFd client_;
    cport::TUniqueFd wake_;
    uint16_t port_ = 0;
    TState state_ = sData;
    uint8_t verb_ = 0;
    std::string sub_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> outgoing_;
    bool disconnect_ = false;
    bool stop_ = false;
    bool connected_ = false;
    std::string data_;
    std::vector<TPeerRequest> requests_;
    std::thread thread_;
};

}  // namespace net_test
