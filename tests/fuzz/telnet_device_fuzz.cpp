// SPDX-License-Identifier: MIT
// Drives the rfc2217 network device with arbitrary server bytes over a
// socket pair, on a clock that steps 100 ms at every reading, and checks:
//   - the negotiation ends no later than the first reading of the clock past
//     its limit, however many bytes keep arriving;
//   - every read returns no more than was asked for, data never outnumbers
//     the bytes sent, and the reads reach the end of the stream;
//   - after a clean acceptance, data sent escaped (IAC IAC for each IAC)
//     reads back exactly as it was, never with a doubled or a missing IAC.
// Input layout: the first byte's low bit chooses the mode (0: the rest is
// the server's whole stream, from the first byte of the negotiation on;
// 1: the server accepts cleanly, then sends the rest as escaped data); the
// first byte's upper bits choose the size of each read.

#include "cport/net_device.h"
#include "cport/telnet_codec.h"
#include "tests/fuzz/fuzz_input.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace cport;
using namespace cport::telnet;
using fuzz_test::Require;

namespace {

using TClock = std::chrono::steady_clock;
constexpr auto Step = std::chrono::milliseconds(100);

// The fake clock: each reading moves it on by Step.
TClock::time_point FakeTime;
unsigned Readings = 0;
TClock::time_point FakeNow()
{
    ++Readings;
    FakeTime += Step;
    return FakeTime;
}

// Writes as much of Bytes as the socket takes at once; returns how much.
size_t SendSome(int Fd, const std::string& Bytes)
{
    size_t Sent = 0;
    while (Sent < Bytes.size()) {
        const ssize_t N = ::send(Fd, Bytes.data() + Sent, Bytes.size() - Sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (N <= 0)
            break;
        Sent += static_cast<size_t>(N);
    }
    return Sent;
}

// Reads until the end of the stream: each read either ends it, carries data
// or consumed bytes that were commands, so the sent count bounds the calls.
std::string ReadToEnd(TRfc2217Device& Device, size_t Piece, size_t Sent)
{
    std::string Data;
    for (size_t Calls = 0;; ++Calls) {
        Require(Calls <= Sent + 1, "reads do not reach the end of the stream");
        unsigned char Buffer[256];
        const ssize_t N = Device.Read(Buffer, Piece);
        if (N == 0)
            break;
        if (N < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            break;  // a server not reading its answers counts as gone
        }
        Require(static_cast<size_t>(N) <= Piece, "a read returned more than asked for");
        Data.append(reinterpret_cast<const char*>(Buffer), static_cast<size_t>(N));
    }
    Require(Data.size() <= Sent, "more data than bytes sent");
    return Data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const auto [Mode, Rest] = fuzz_test::HeadedInput(Data, Size);
    const bool Clean = (Mode & 1) != 0;
    const size_t Piece = 1 + (Mode >> 1) % 200;

    int Fds[2];
    Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, Fds) == 0, "no socket pair");
    const int Peer = Fds[1];
    TNetAddress Address;
    Address.Kind = TNetKind::nkRfc2217;
    Address.Host = "fuzz";
    Address.Port = "2217";
    Address.Valid = true;

    // The server's first bytes, and whether they end its sending.
    std::string First;
    if (Clean) {
        First = {char(IAC),    char(WILL), char(BINARY), char(IAC), char(DO),
                 char(BINARY), char(IAC),  char(WILL),   char(SGA), char(IAC),
                 char(DO),     char(SGA),  char(IAC),    char(DO),  char(ComPortOption)};
    } else {
        First = Rest;
    }
    const size_t FirstSent = SendSome(Peer, First);
    if (!Clean)
        ::shutdown(Peer, SHUT_WR);  // the stream ends here: no real wait

    FakeTime = TClock::time_point{};
    Readings = 0;
    const auto Deadline = FakeTime + TNetTimeouts::Negotiation;
    TNetOpenFailure Failure;
    std::unique_ptr<TRfc2217Device> Device = TRfc2217Device::Negotiate(TUniqueFd(Fds[0]), Address, Failure, &FakeNow);
    // One reading past the limit ends it; the last reading may be the one
    // that found it passed, plus one for an answer sent while it ended.
    const unsigned PastDeadline = FakeTime > Deadline ? static_cast<unsigned>((FakeTime - Deadline) / Step) : 0;
    Require(PastDeadline <= 2, "the negotiation went on past its limit");
    if (Clean)
        Require(Device != nullptr, "a clean acceptance was not taken");
    if (!Device) {
        Require(!Failure.Reason.empty() && Failure.Error != 0, "a failed negotiation without a reason");
        ::close(Peer);
        return 0;
    }

    if (Clean) {
        std::string Wire;
        TTelnetCodec::EscapeData(Rest.data(), Rest.size(), Wire);
        const size_t Sent = SendSome(Peer, Wire);
        ::shutdown(Peer, SHUT_WR);
        const std::string Got = ReadToEnd(*Device, Piece, Sent);
        if (Sent == Wire.size())
            Require(Got == Rest, "escaped data did not read back as sent");
    } else {
        ReadToEnd(*Device, Piece, FirstSent);
    }
    Device->Close();
    ::close(Peer);
    return 0;
}
