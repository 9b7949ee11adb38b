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
// Whatever the server sends, no call waits past its limit: Read takes a few
// socket reads at most and reports EAGAIN when they carried only commands,
// so a peer that sends commands without end never holds a reader (nor the
// event thread, nor Close); the negotiation and the acknowledgement wait end
// at their limit however many bytes keep arriving. Nor does such a peer
// keep the process busy: once the port is open, commands beyond
// FloodBudget bytes within FloodWindow pause the reading until the window
// ends. The device's PollFd is then not readable (it is an epoll set of the
// socket and a timer, with the socket left out while paused), so that no
// waiting reader spins; the server, unread, is held back by TCP itself.
// LineFd is the socket: for room to write and for hang-ups. A server that
// never ends a sub-negotiation breaks the stream: reads fail with EPROTO.
// Answers to negotiation never wait for room: they are held in a small
// backlog sent ahead of everything else, and a server that asks more than
// the backlog holds without reading the answers is treated as a connection
// that has gone.
//
// Neither has the kernel's RS-485 mode: the server's line is set up at the
// server, and ApplyRs485 answers ENOTTY.
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
#include <cerrno>
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
    int Error = 0;
    std::string Reason;
    int32_t Code = CError_OpenFailed;  // the port's error code for it
};

// Opens the device a network port name stands for; null with Failure set.
// A raw port waits up to TelnetCheck for a telnet server's first bytes.
std::unique_ptr<TDevice> OpenNetDevice(const TNetAddress& Address, TNetOpenFailure& Failure,
                                       std::chrono::milliseconds TelnetCheck);

// Gives an rfc2217 device the port's receive queue (see
// TRfc2217Device::AttachQueue); any other device is left as it is.
void AttachNetQueue(TDevice& Device, TReceiveQueue& Queue);

// The receive queue's options for a network device: the stream carries no
// marks; discarding NULs and the event character are the component's own.
void NetReceiveOptions(const TCustomComPort& Port, TReceiveOptions& Receive);

// Times the network devices allow the far end.
struct TNetTimeouts {
    static constexpr std::chrono::milliseconds Connect{5000};
    static constexpr std::chrono::milliseconds Negotiation{3000};      // rfc2217: the server's first answers
    static constexpr std::chrono::milliseconds Acknowledgement{3000};  // rfc2217: rate and format
    static constexpr std::chrono::milliseconds ServerEnd{500};         // rfc2217: the server's end after a close
};

// Sends to a socket without SIGPIPE; a connection that has gone becomes EIO.
ssize_t NetSend(int Fd, const void* Buffer, size_t Count);
// Reads from a socket; a connection that has gone becomes EIO.
ssize_t NetReceive(int Fd, void* Buffer, size_t Count);

class TRawSocketDevice final : public TDevice {
public:
    explicit TRawSocketDevice(TUniqueFd Socket) : Socket_(std::move(Socket)) {}

    int PollFd() const override { return Socket_.get(); }
    ssize_t Read(void* Buffer, size_t Count) override { return NetReceive(Socket_.get(), Buffer, Count); }
    ssize_t Write(const void* Buffer, size_t Count) override { return NetSend(Socket_.get(), Buffer, Count); }
    int ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) override;
    int ApplyRs485(const TComRs485&) override { return ENOTTY; }  // the server's line is its own
    int Purge(bool, bool) override { return 0; }
    int ModemLines(TLineSignals&) override { return ENOTTY; }
    int WaitForModemChange() override { return ENOTTY; }
    int SetOutputLines(bool, bool) override { return ENOTTY; }
    int SetBreak(bool) override { return ENOTTY; }
    int OutputQueued(int& Bytes) override;
    int TransmitterEmpty(bool& Empty) override
    {
        Empty = true;
        return 0;
    }
    int ErrorCounts(TDriverCounts&) override { return ENOTTY; }
    void Close() override { Socket_.Reset(); }

private:
    TUniqueFd Socket_;
};

// The clock the rfc2217 device measures its limits with (steady_clock::now
// unless a test or fuzz target steps its own).
using TNetClock = std::chrono::steady_clock::time_point (*)();

class TRfc2217Device final : public TDevice {
public:
    // Negotiates on a connected socket; null with Failure set.
    static std::unique_ptr<TRfc2217Device> Negotiate(TUniqueFd Socket, const TNetAddress& Address,
                                                     TNetOpenFailure& Failure,
                                                     TNetClock Now = &std::chrono::steady_clock::now);
    // The same negotiation in steps, for a caller that must not wait
    // (rfc2217_negotiation.cpp): StartNegotiation offers the options (null
    // with Failure set); the caller waits for LineFd() to become readable or
    // for its own limit, then calls NegotiationStep, which reads what has
    // come (TimeUp: the limit has passed).
    enum class TNegotiation { Pending, Accepted, Failed };
    static std::unique_ptr<TRfc2217Device> StartNegotiation(TUniqueFd Socket, const TNetAddress& Address,
                                                            TNetOpenFailure& Failure,
                                                            TNetClock Now = &std::chrono::steady_clock::now);
    TNegotiation NegotiationStep(bool TimeUp, TNetOpenFailure& Failure);
    // The first line settings in steps, after the negotiation: StartLineSettings
    // sends every setting of Port (0 or an errno); the caller waits for
    // LineFd() to become readable or for its own limit, then calls
    // LineSettingsStep: 0 once rate and format are acknowledged (ApplyLine
    // with the same settings then has nothing to send or wait for),
    // EINPROGRESS while they are awaited, or the errno ApplyLine would give
    // (ETIMEDOUT once TimeUp).
    int StartLineSettings(const TCustomComPort& Port);
    int LineSettingsStep(bool TimeUp);

    // Negotiation answers held back while the server did not read; more is
    // a server that is not listening to what it asks for.
    static constexpr size_t ReplyBacklogLimit = 4096;
    // Telnet commands read within one window before the reading pauses for
    // the rest of it: far beyond the notices a real line causes, far below
    // what a peer sending nothing else can push.
    static constexpr size_t FloodBudget = 16 * 1024;
    static constexpr std::chrono::milliseconds FloodWindow{100};
    // Socket reads one Read takes while they carry only commands.
    static constexpr int ReadRounds = 8;

    // The queue every read goes through; ApplyLine reads through it while it
    // waits for acknowledgements, so that data arriving meanwhile is kept.
    void AttachQueue(TReceiveQueue* Queue) { Queue_ = Queue; }

    int PollFd() const override { return WaitFd_ ? WaitFd_.get() : Socket_.get(); }
    int LineFd() const override { return Socket_.get(); }
    ssize_t Read(void* Buffer, size_t Count) override;
    ssize_t Write(const void* Buffer, size_t Count) override;
    int ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) override;
    // RFC 2217 has no request for the kernel's RS-485 mode.
    int ApplyRs485(const TComRs485&) override { return ENOTTY; }
    int Purge(bool Input, bool Output) override;
    int ModemLines(TLineSignals& Lines) override;
    int WaitForModemChange() override;
    int SetOutputLines(bool Dtr, bool Rts) override;
    int SetBreak(bool On) override;
    int OutputQueued(int& Bytes) override;
    int TransmitterEmpty(bool& Empty) override
    {
        Empty = true;
        return 0;
    }
    int ErrorCounts(TDriverCounts& Counts) override;
    void Close() override;

private:
    TRfc2217Device(TUniqueFd Socket, const TNetAddress& Address, TNetClock Now);

    // The server's settings as requested and acknowledged; unset: not sent yet.
    struct TLineValues {
        uint32_t Baud = 0;
        uint8_t DataSize = 0, Parity = 0, StopSize = 0;
        uint8_t OutFlow = 0, InFlow = 0, Dtr = 0, Rts = 0;
        uint8_t LineMask = 0, ModemMask = 0;
        bool operator==(const TLineValues&) const = default;
    };
    static TLineValues WantedBy(const TCustomComPort& Port);
    std::string ChangesTo(const TLineValues& Want, uint8_t& Awaited) const;
    // What the port wants and the requests that get it, with the
    // acknowledgements they await marked as not yet come (under ApplyMutex_).
    struct TLineBatch {
        TLineValues Want;
        uint8_t Awaited = 0;
        std::string Bytes;
    };
    // 0, or EINVAL when the port has no rate to ask for.
    int BatchFor(const TCustomComPort& Port, TLineBatch& Batch);
    int AnswersFor(const TLineValues& Wanted, uint8_t Awaited);

    // Decodes one socket read in place; handles what is not data.
    size_t DecodeLocked(unsigned char* Bytes, size_t Length);
    // Which waits a notice wakes (TWake bits); the caller wakes them once.
    uint8_t HandleNotice(const TComPortNotice& Notice);
    // The command flood's pause (under DecodeMutex_): counts commands read,
    // pauses the reading once the window's budget is spent, and tells
    // whether the socket may be read now (ending a pause that is over, or
    // one the line's loss cuts short).
    void ChargeCommandsLocked(size_t Bytes);
    bool ReadingAllowed();
    void SetSocketWatched(bool Watched);
    // Sends a command whole (waits a bounded time for room); 0 or an errno.
    int SendCommand(const std::string& Bytes);
    int SendAllLocked(const char* Bytes, size_t Length);
    // Negotiation answers: queued behind the backlog, sent as far as room
    // allows, never waited for.
    void QueueReplyLocked(const std::string& Bytes);
    // Sends what the backlog holds as far as room allows; true when it is empty.
    bool FlushBacklogLocked();
    // Reads whatever waits, through the queue when one is attached.
    int Pump();
    int WaitForAcknowledgements(const TLineValues& Wanted, uint8_t Awaited);

    TUniqueFd Socket_;
    std::string Endpoint_;
    TNetClock Now_;
    TReceiveQueue* Queue_ = nullptr;

    std::mutex DecodeMutex_;  // the codec and the flood's pause (reads are serial already; the open's reads too)
    TTelnetCodec Codec_;
    std::atomic<bool> Broken_{false};  // the codec gave up the stream
    TUniqueFd WaitFd_;                 // epoll: the socket (left out while paused) and PauseTimer_
    TUniqueFd PauseTimer_;             // timerfd: the pause is over
    std::chrono::steady_clock::time_point WindowStart_{};
    size_t WindowCommands_ = 0;  // command bytes read since WindowStart_
    bool Paused_ = false;
    std::chrono::steady_clock::time_point PauseEnd_{};

    std::mutex SendMutex_;           // every byte to the socket
    bool HalfIac_ = false;           // an IAC pair of the data was cut after its first byte
    std::string Backlog_;            // negotiation answers not yet sent
    std::atomic<bool> Deaf_{false};  // the backlog overflowed: the server does not read

    std::mutex StateMutex_;  // what the server's notices and answers said
    TLineSignals Lines_;
    TDriverCounts Counts_;
    TLineValues Acknowledged_;
    uint8_t AcknowledgedBits_ = 0;  // which of baud/size/parity/stop have an answer since the last send
    TUniqueFd ModemFd_;             // eventfd: a modem-line notice came
    TUniqueFd AnswerFd_;            // eventfd: an acknowledgement came

    std::mutex ApplyMutex_;                // ApplyLine against ApplyLine
    std::optional<TLineValues> Sent_;      // what the server was last asked for
    std::optional<TLineValues> Settling_;  // the open's first settings, sent and not yet acknowledged
    uint8_t SettlingAwaited_ = 0;
};

}  // namespace cport
