// SPDX-License-Identifier: MIT
// Internal: the device under an open port.
//
// Transfers, queries, the settings and the event thread reach the line only
// through TDevice; what kind of line it is (a kernel serial device today,
// TTermiosDevice in termios_device.h) stays behind it.
//
// Conventions of every operation: it returns 0 or an errno (Read and Write
// answer as read(2) and write(2) on a non-blocking descriptor do). ENOTTY
// means "this device has no such facility" (a pseudo-terminal has no modem
// lines, many drivers keep no error counts); callers treat it as absent, not
// as a failure. Any thread may call any operation while the device is open;
// Close runs once, when no other call is in progress.
#pragma once

#include "cport/comport.h"
#include "cport/receive_queue.h"

#include <sys/types.h>

#include <cerrno>

namespace cport {

// Running totals the driver keeps of line errors and modem-line changes.
struct TDriverCounts {
    int Frame = 0, Parity = 0, Overrun = 0, Brk = 0, BufOverrun = 0;
    int Cts = 0, Dsr = 0, Rng = 0, Dcd = 0;

    // The line errors whose totals moved since Before: leFrame, leRxParity,
    // leOverrun, leBreak and leRxOverflow (the driver's buffer overrun).
    TComErrors LineErrorsSince(const TDriverCounts& Before) const
    {
        TComErrors Moved;
        if (Frame != Before.Frame)
            Moved.Include(leFrame);
        if (Parity != Before.Parity)
            Moved.Include(leRxParity);
        if (Overrun != Before.Overrun)
            Moved.Include(leOverrun);
        if (Brk != Before.Brk)
            Moved.Include(leBreak);
        if (BufOverrun != Before.BufOverrun)
            Moved.Include(leRxOverflow);
        return Moved;
    }
};

class TDevice;

// The driver's line-error counts followed from one reading to the next. A
// driver that keeps none (ENOTTY) is not asked again; Stop ends the asking
// for any other reason.
class TErrorCountTrack {
public:
    // Starts from the totals now: 0 or the errno of the reading.
    int Start(TDevice& Device);
    // Adds to Moved the line errors counted since the last reading: 0, or
    // the errno of a reading that failed (ENOTTY also once stopped).
    int Take(TDevice& Device, TComErrors& Moved);
    void Stop() { Supported_ = false; }

private:
    int Read(TDevice& Device, TDriverCounts& Counts);
    bool Supported_ = true;
    TDriverCounts Last_{};
};

class TDevice : public TByteSource {
public:
    ~TDevice() override = default;

    // A descriptor for poll/epoll: readable when input waits or the line has
    // gone (POLLHUP/POLLERR), writable when Write can take bytes.
    virtual int PollFd() const = 0;
    // The line's own descriptor, for a wait that needs poll's hang-up flags
    // or room to write. PollFd itself unless the device waits for input
    // through a descriptor of its own (one that is only ever readable).
    virtual int LineFd() const { return PollFd(); }

    // Never blocks. A count, 0 when the far end has gone, or -1 with errno
    // (EAGAIN: nothing waiting; EIO: the device has gone).
    ssize_t Read(void* Buffer, size_t Count) override = 0;
    // Never blocks. A count or -1 with errno (EAGAIN: no room now).
    virtual ssize_t Write(const void* Buffer, size_t Count) = 0;

    // Gives the line the rate, character format, flow control and DTR/RTS
    // state of Port's settings, and fills Receive with how the receive queue
    // must decode what Read returns. A refused setting leaves the previous
    // configuration in force.
    virtual int ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) = 0;

    // Puts the line in or out of the kernel's RS-485 mode as Rs485 says
    // (its delays are not negative). ENOTTY, or EINVAL from some drivers,
    // when the device has no such mode.
    virtual int ApplyRs485(const TComRs485& Rs485) = 0;

    // Drops bytes received and not yet read (Input) and bytes written and
    // not yet sent (Output).
    virtual int Purge(bool Input, bool Output) = 0;

    // The modem input lines now: lsCTS, lsDSR, lsRing, lsRLSD.
    virtual int ModemLines(TLineSignals& Lines) = 0;
    // Blocks until one of the modem input lines changes; EINTR when a signal
    // ends the wait first. ENOTTY at once when the device cannot wait so.
    virtual int WaitForModemChange() = 0;
    // Raises or drops DTR and RTS.
    virtual int SetOutputLines(bool Dtr, bool Rts) = 0;
    // Starts or ends a break on the transmit line.
    virtual int SetBreak(bool On) = 0;

    // Bytes written and not yet handed to the transmitter.
    virtual int OutputQueued(int& Bytes) = 0;
    // Empty is true when the transmitter has sent its last bit as well.
    virtual int TransmitterEmpty(bool& Empty) = 0;
    // The driver's running totals (see TDriverCounts).
    virtual int ErrorCounts(TDriverCounts& Counts) = 0;

    // Discards output not yet sent, puts back what the open found (line
    // record, driver flags), gives up exclusive use and releases the device.
    // Never waits for the line.
    virtual void Close() = 0;
};

inline int TErrorCountTrack::Read(TDevice& Device, TDriverCounts& Counts)
{
    if (!Supported_)
        return ENOTTY;
    const int Error = Device.ErrorCounts(Counts);
    if (Error == ENOTTY)
        Supported_ = false;
    return Error;
}

inline int TErrorCountTrack::Start(TDevice& Device)
{
    return Read(Device, Last_);
}

inline int TErrorCountTrack::Take(TDevice& Device, TComErrors& Moved)
{
    TDriverCounts Now{};
    if (const int Error = Read(Device, Now))
        return Error;
    Moved = Moved | Now.LineErrorsSince(Last_);
    Last_ = Now;
    return 0;
}

}  // namespace cport
