// SPDX-License-Identifier: MIT
// The raw TCP device and what both kinds of network port share (the open is
// in net_opening.cpp).
#include "cport/net_device.h"

#include <linux/sockios.h>
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
