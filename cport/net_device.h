// SPDX-License-Identifier: MIT
// Internal: network ports as devices (see device.h and net_address.h).
//
// TRawSocketDevice (socket://HOST:PORT): the TCP stream is the line's data.
// The line settings stay whatever the server has; there are no modem lines
// and no error counts. A server that opens with telnet negotiation is
// refused: its commands would otherwise reach the reader as data.
//
// TRfc2217Device (rfc2217://HOST:PORT): telnet with the COM-PORT-OPTION. The
// open negotiates BINARY, SUPPRESS-GO-AHEAD and the COM-PORT-OPTION within a
// bounded time. ApplyLine sends what changed of rate, character format, flow
// control, DTR/RTS and the notice masks (which follow the port's Events),
// and waits a bounded time for the server to acknowledge rate and format;
// control requests are taken as applied without an acknowledgement (servers
// on pseudo-terminals send none). Every read of the socket goes through Read
// (the receive queue's reads, and ApplyLine's wait through the same queue),
// which keeps commands out of the data, answers negotiation and turns the
// server's notices into the modem lines and error counts the event thread
// asks for.
//
// Both map a connection that has gone (reset, keepalive failure, broken
// pipe) to EIO and an orderly close to end of file, as an unplugged adapter
// answers, so device loss takes the same path.
#pragma once

#include "cport/device.h"
#include "cport/net_address.h"
#include "cport/telnet_codec.h"
#include "cport/unique_fd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace cport {

// Why a network open failed: the errno for the error code and a sentence
// for the user.
struct TNetOpenFailure {
    int error = 0;
    std::string reason;
};

// Opens the device a network port name stands for; null with Failure set.
std::unique_ptr<TDevice> OpenNetDevice(const TNetAddress& Address, TNetOpenFailure& Failure);

// Gives an rfc2217 device the port's receive queue (see
// TRfc2217Device::AttachQueue); any other device is left as it is.
void AttachNetQueue(TDevice& Device, TReceiveQueue& Queue);

// The receive queue's options for a network device: the stream carries no
// marks; discarding NULs and the event character are the component's own.
void NetReceiveOptions(const TCustomComPort& Port, TReceiveOptions& Receive);

// Times the network devices allow the far end.
struct TNetTimeouts {
    static constexpr std::chrono::milliseconds connect{5000};
    static constexpr std::chrono::milliseconds negotiation{3000};   // rfc2217: the server's first answers
    static constexpr std::chrono::milliseconds acknowledgement{3000}; // rfc2217: rate and format
    static constexpr std::chrono::milliseconds telnet_check{150};   // socket: first bytes looked at
};

// Sends to a socket without SIGPIPE; a connection that has gone becomes EIO.
ssize_t NetSend(int Fd, const void* Buffer, size_t Count);
// Reads from a socket; a connection that has gone becomes EIO.
ssize_t NetReceive(int Fd, void* Buffer, size_t Count);

class TRawSocketDevice final : public TDevice {
public:
    explicit TRawSocketDevice(UniqueFd Socket) : socket_(std::move(Socket)) {}

    int PollFd() const override { return socket_.get(); }
    ssize_t Read(void* Buffer, size_t Count) override { return NetReceive(socket_.get(), Buffer, Count); }
    ssize_t Write(const void* Buffer, size_t Count) override { return NetSend(socket_.get(), Buffer, Count); }
    int ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) override;
    int Purge(bool, bool) override { return 0; }
    int ModemLines(TLineSignals&) override { return ENOTTY; }
    int WaitForModemChange() override { return ENOTTY; }
    int SetOutputLines(bool, bool) override { return ENOTTY; }
    int SetBreak(bool) override { return ENOTTY; }
    int OutputQueued(int& Bytes) override;
    int TransmitterEmpty(bool& Empty) override {
        Empty = true;
        return 0;
    }
    int ErrorCounts(TDriverCounts&) override { return ENOTTY; }
    void Close() override { socket_.reset(); }

private:
    UniqueFd socket_;
};

class TRfc2217Device final : public TDevice {
public:
    // Negotiates on a connected socket; null with Failure set.
    static std::unique_ptr<TRfc2217Device> Negotiate(UniqueFd Socket, const TNetAddress& Address,
                                                     TNetOpenFailure& Failure);

    // The queue every read goes through; ApplyLine reads through it while it
    // waits for acknowledgements, so that data arriving meanwhile is kept.
    void AttachQueue(TReceiveQueue* Queue) { queue_ = Queue; }

    int PollFd() const override { return socket_.get(); }
    ssize_t Read(void* Buffer, size_t Count) override;
    ssize_t Write(const void* Buffer, size_t Count) override;
    int ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) override;
    int Purge(bool Input, bool Output) override;
    int ModemLines(TLineSignals& Lines) override;
    int WaitForModemChange() override;
    int SetOutputLines(bool Dtr, bool Rts) override;
    int SetBreak(bool On) override;
    int OutputQueued(int& Bytes) override;
    int TransmitterEmpty(bool& Empty) override {
        Empty = true;
        return 0;
    }
    int ErrorCounts(TDriverCounts& Counts) override;
    void Close() override;

private:
    TRfc2217Device(UniqueFd Socket, const TNetAddress& Address);

    // The server's settings as requested and acknowledged; unset: not sent yet.
    struct TLineValues {
        uint32_t baud = 0;
        uint8_t data_size = 0, parity = 0, stop_size = 0;
        uint8_t out_flow = 0, in_flow = 0, dtr = 0, rts = 0;
        uint8_t line_mask = 0, modem_mask = 0;
        bool operator==(const TLineValues&) const = default;
    };

    // Decodes one socket read in place; handles what is not data.
    size_t DecodeLocked(unsigned char* Bytes, size_t Length);
    void HandleNotice(const TComPortNotice& Notice);
    // Sends a command whole (waits a bounded time for room); 0 or an errno.
    int SendCommand(const std::string& Bytes);
    int SendAllLocked(const char* Bytes, size_t Length);
    // Reads whatever waits, through the queue when one is attached.
    int Pump();
    int WaitForAcknowledgements(const TLineValues& Wanted, uint8_t Awaited);

    UniqueFd socket_;
    std::string endpoint_;
    TReceiveQueue* queue_ = nullptr;

    std::mutex decode_mutex_;   // the codec (reads are serial already; the open's reads too)
    TTelnetCodec codec_;

    std::mutex send_mutex_;     // every byte to the socket
    bool half_iac_ = false;     // an IAC pair of the data was cut after its first byte

    std::mutex state_mutex_;    // what the server's notices and answers said
    TLineSignals lines_;
    TDriverCounts counts_;
    TLineValues acknowledged_;
    uint8_t acknowledged_bits_ = 0;   // which of baud/size/parity/stop have an answer since the last send
    UniqueFd modem_fd_;         // eventfd: a modem-line notice came
    UniqueFd answer_fd_;        // eventfd: an acknowledgement came

    std::mutex apply_mutex_;    // ApplyLine against ApplyLine
    std::optional<TLineValues> sent_;   // what the server was last asked for
};

}  // namespace cport
