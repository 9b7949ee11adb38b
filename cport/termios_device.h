// SPDX-License-Identifier: MIT
// Internal: a kernel serial device (or pseudo-terminal) as a TDevice.
//
// Opened O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC for exclusive use: flock keeps
// out every other port, in this process or another, root included; TIOCEXCL
// keeps out other programs that open the device without asking for a lock
// (root excepted). The line record found at the open is put back at Close,
// and so is the driver's low-latency flag when ApplyLine changed it.
//
// The line record is built by BuildLineSetup (line_settings.h). A driver that
// answers ENOTTY or EINVAL to the modem-line, error-count or transmitter
// requests has none of them: that is noted once and the operation answers
// ENOTTY from then on without asking again.
//
// ApplyRs485 changes only the fields of the driver's RS-485 record that
// TComRs485 holds; the record found at the first change is put back at
// Close. While the mode is on, ApplyLine leaves RTS to the driver.
#pragma once

#include "cport/custom_baud.h"
#include "cport/device.h"
#include "cport/unique_fd.h"

#include <linux/serial.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace cport {

// The driver's RS-485 record for Rs485, built on the record it holds now:
// the mode, RTS and receive flags and the two delays (negative ones as 0)
// are Rs485's; every other flag and field stays as Current has it.
serial_rs485 BuildRs485Record(const TComRs485& Rs485, const serial_rs485& Current);

class TTermiosDevice final : public TDevice {
public:
    // The open device, or null with Error set to the errno of the failing
    // step. Input queued before the open is dropped.
    static std::unique_ptr<TTermiosDevice> Open(const std::string& Path, int& Error);
    ~TTermiosDevice() override;

    int PollFd() const override { return Fd_.get(); }
    ssize_t Read(void* Buffer, size_t Count) override;
    ssize_t Write(const void* Buffer, size_t Count) override;
    int ApplyLine(const TCustomComPort& Port, TReceiveOptions& Receive) override;
    int ApplyRs485(const TComRs485& Rs485) override;
    int Purge(bool Input, bool Output) override;
    int ModemLines(TLineSignals& Lines) override;
    int WaitForModemChange() override;
    int SetOutputLines(bool Dtr, bool Rts) override;
    int SetBreak(bool On) override;
    int OutputQueued(int& Bytes) override;
    int TransmitterEmpty(bool& Empty) override;
    int ErrorCounts(TDriverCounts& Counts) override;
    void Close() override;

private:
    TTermiosDevice() = default;
    // Requests ASYNC_LOW_LATENCY once per open, best effort: drivers of USB
    // adapters otherwise hold received bytes back for several milliseconds.
    void RequestLowLatency();
    // ENOTTY/EINVAL clears Flag and becomes ENOTTY; other errors pass.
    static int Absent(std::atomic<bool>& Flag, int Error);
    int SetOutputLine(int Line, bool On);

    TUniqueFd Fd_;
    TKernelTermios Original_{};
    std::atomic<bool> HasModemLines_{true};
    std::atomic<bool> HasCounts_{true};
    std::atomic<bool> HasLsr_{true};
    bool LowLatencyTried_ = false;
    bool LowLatencySet_ = false;
    int OriginalSerialFlags_ = 0;
    std::optional<serial_rs485> OriginalRs485_;  // the driver's record before the first change
    bool Rs485On_ = false;                       // the driver drives RTS
};

}  // namespace cport
