// SPDX-License-Identifier: MIT
// Opening network ports, the raw TCP device, and what both kinds share.
#include "cport/net_device.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace cport {

namespace {

// A connection that has gone reads and writes like a device that has.
bool ConnectionGone(int Error) {
    return Error == ECONNRESET || Error == EPIPE || Error == ETIMEDOUT || Error == ENOTCONN ||
           Error == EHOSTUNREACH || Error == ENETUNREACH || Error == ECONNABORTED;
}

// The first bytes of a server that speaks telnet: IAC and a negotiation
// command. Looked at without taking them from the stream.
bool SpeaksTelnet(int Fd) {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(TNetTimeouts::telnet_check.count())) <= 0) return false;
    unsigned char first[2];
    const ssize_t n = ::recv(Fd, first, sizeof first, MSG_PEEK | MSG_DONTWAIT);
    return n == 2 && first[0] == telnet::IAC && (first[1] == telnet::SB || (first[1] >= telnet::WILL));
}

}  // namespace

ssize_t NetSend(int Fd, const void* Buffer, size_t Count) {
    const ssize_t n = ::send(Fd, Buffer, Count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && ConnectionGone(errno)) errno = EIO;
    return n;
}

ssize_t NetReceive(int Fd, void* Buffer, size_t Count) {
    const ssize_t n = ::recv(Fd, Buffer, Count, MSG_DONTWAIT);
    if (n < 0 && ConnectionGone(errno)) errno = EIO;
    return n;
}

std::unique_ptr<TDevice> OpenNetDevice(const TNetAddress& Address, TNetOpenFailure& Failure) {
    TNetConnection connection = ConnectTcp(Address, TNetTimeouts::connect);
    if (!connection.socket) {
        Failure = {connection.error, connection.reason};
        return nullptr;
    }
    if (Address.kind == TNetKind::nkRfc2217)
        return TRfc2217Device::Negotiate(std::move(connection.socket), Address, Failure);
    if (SpeaksTelnet(connection.socket.get())) {
        Failure = {EPROTO, Address.Endpoint() + " speaks telnet: open it as rfc2217://" + Address.Endpoint()};
        return nullptr;
    }
    return std::make_unique<TRawSocketDevice>(std::move(connection.socket));
}

void AttachNetQueue(TDevice& Device, TReceiveQueue& Queue) {
    if (auto* telnet = dynamic_cast<TRfc2217Device*>(&Device)) telnet->AttachQueue(&Queue);
}

// Received bytes as they are: no marks in the stream, the receive-side
// settings the component applies itself.
void NetReceiveOptions(const TCustomComPort& Port, TReceiveOptions& Receive) {
    Receive = {};
    Receive.marked = false;
    Receive.parity_enabled = Port.Parity().Bits() != prNone;
    Receive.parity_check = Port.Parity().Check();
    Receive.replace = Port.Parity().Check() && Port.Parity().Replace();
    Receive.replace_char = Port.Parity().ReplaceChar();
    Receive.discard_null = Port.DiscardNull();
    Receive.event_char = Port.EventChar();
}

int TRawSocketDevice::ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) {
    NetReceiveOptions(Port, Receive);
    return 0;
}

// Bytes the kernel holds that have not gone out yet.
int TRawSocketDevice::OutputQueued(int& Bytes) {
    return ::ioctl(socket_.get(), SIOCOUTQNSD, &Bytes) == 0 ? 0 : errno;
}

}  // namespace cport
