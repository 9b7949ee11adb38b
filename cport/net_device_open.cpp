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
bool ConnectionGone(int Error)
{
    return Error == ECONNRESET || Error == EPIPE || Error == ETIMEDOUT || Error == ENOTCONN || Error == EHOSTUNREACH ||
           Error == ENETUNREACH || Error == ECONNABORTED;
}

// The first bytes of a server that speaks telnet: IAC and a negotiation
// command. Looked at without taking them from the stream.
bool SpeaksTelnet(int Fd, std::chrono::milliseconds Wait)
{
    pollfd P{Fd, POLLIN, 0};
    if (::poll(&P, 1, static_cast<int>(Wait.count())) <= 0)
        return false;
    unsigned char First[2];
    const ssize_t N = ::recv(Fd, First, sizeof First, MSG_PEEK | MSG_DONTWAIT);
    return N == 2 && First[0] == telnet::IAC && (First[1] == telnet::SB || (First[1] >= telnet::WILL));
}

}  // namespace

ssize_t NetSend(int Fd, const void* Buffer, size_t Count)
{
    const ssize_t N = ::send(Fd, Buffer, Count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (N < 0 && ConnectionGone(errno))
        errno = EIO;
    return N;
}

ssize_t NetReceive(int Fd, void* Buffer, size_t Count)
{
    const ssize_t N = ::recv(Fd, Buffer, Count, MSG_DONTWAIT);
    if (N < 0 && ConnectionGone(errno))
        errno = EIO;
    return N;
}

std::unique_ptr<TDevice> OpenNetDevice(const TNetAddress& Address, TNetOpenFailure& Failure,
                                       std::chrono::milliseconds TelnetCheck)
{
    TNetConnection Connection = ConnectTcp(Address, TNetTimeouts::Connect);
    if (!Connection.Socket) {
        Failure = {Connection.Error, Connection.Reason};
        return nullptr;
    }
    if (Address.Kind == TNetKind::nkRfc2217)
        return TRfc2217Device::Negotiate(std::move(Connection.Socket), Address, Failure);
    if (SpeaksTelnet(Connection.Socket.get(), TelnetCheck)) {
        Failure = {EPROTO, Address.Endpoint() + " speaks telnet: open it as rfc2217://" + Address.Endpoint()};
        return nullptr;
    }
    return std::make_unique<TRawSocketDevice>(std::move(Connection.Socket));
}

void AttachNetQueue(TDevice& Device, TReceiveQueue& Queue)
{
    if (auto* Telnet = dynamic_cast<TRfc2217Device*>(&Device))
        Telnet->AttachQueue(&Queue);
}

// Received bytes as they are: no marks in the stream, the receive-side
// settings the component applies itself.
void NetReceiveOptions(const TCustomComPort& Port, TReceiveOptions& Receive)
{
    Receive = {};
    Receive.Marked = false;
    Receive.ParityEnabled = Port.Parity().Bits() != prNone;
    Receive.ParityCheck = Port.Parity().Check();
    Receive.Replace = Port.Parity().Check() && Port.Parity().Replace();
    Receive.ReplaceChar = Port.Parity().ReplaceChar();
    Receive.DiscardNull = Port.DiscardNull();
    Receive.EventChar = Port.EventChar();
}

int TRawSocketDevice::ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive)
{
    NetReceiveOptions(Port, Receive);
    return 0;
}

// Bytes the kernel holds that have not gone out yet.
int TRawSocketDevice::OutputQueued(int& Bytes)
{
    return ::ioctl(Socket_.get(), SIOCOUTQNSD, &Bytes) == 0 ? 0 : errno;
}

}  // namespace cport
