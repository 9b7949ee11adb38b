// SPDX-License-Identifier: MIT
// The pseudo-terminal pair of the tests and benchmarks: the code under test
// opens the slave path, the test holds the master as the far end of the line
// and reads the slave's line settings through it. The master is
// non-blocking; Write and Read wait on poll, never on sleeps.
#pragma once

#include "cport/custom_baud.h"
#include "cport/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace test_support {

class TPtyPair {
public:
    TPtyPair() : Master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK))
    {
        if (Master_.get() < 0 || ::grantpt(Master_.get()) != 0 || ::unlockpt(Master_.get()) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char Name[128];
        if (::ptsname_r(Master_.get(), Name, sizeof Name) != 0)
            throw std::runtime_error("no pseudo-terminal name");
        SlavePath_ = Name;
    }

    const std::string& SlavePath() const { return SlavePath_; }
    int Master() const { return Master_.get(); }

    // Keeps a slave descriptor open, so the line stays up while the code
    // under test closes and reopens its side.
    void HoldSlave()
    {
        HeldSlave_.Reset(::open(SlavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (HeldSlave_.get() < 0)
            throw std::runtime_error("cannot hold the slave");
    }

    // With the slave held (HoldSlave): waits until Count bytes wait in the
    // slave's input, taking none; false after Timeout. The bytes of one
    // write to the master come over together, so this is one wait.
    bool WaitForSlaveInput(int Count, std::chrono::milliseconds Timeout) const
    {
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        for (;;) {
            int Waiting = 0;
            if (::ioctl(HeldSlave_.get(), FIONREAD, &Waiting) == 0 && Waiting >= Count)
                return true;
            const auto Left =
                std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now()).count();
            if (Left <= 0)
                return false;
            // Some bytes but not all: the rest is a moment behind.
            pollfd Ready{HeldSlave_.get(), POLLIN, 0};
            if (::poll(&Ready, 1, Waiting > 0 ? 1 : static_cast<int>(Left)) < 0 && errno != EINTR)
                return false;
        }
    }

    // Writes all of Bytes, waiting for room when the line is full; 5 s
    // without room is a failure.
    void Write(std::string_view Bytes) const
    {
        size_t Done = 0;
        while (Done < Bytes.size()) {
            const ssize_t Count = ::write(Master_.get(), Bytes.data() + Done, Bytes.size() - Done);
            if (Count > 0) {
                Done += static_cast<size_t>(Count);
                continue;
            }
            if (Count < 0 && errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("far-end write failed");
            pollfd Room{Master_.get(), POLLOUT, 0};
            if (::poll(&Room, 1, 5000) <= 0)
                throw std::runtime_error("far-end write stuck");
        }
    }

    // Reads until Count bytes have come or Timeout has passed.
    std::string Read(size_t Count, std::chrono::milliseconds Timeout = std::chrono::milliseconds(2000)) const
    {
        std::string Got;
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        while (Got.size() < Count) {
            char Buffer[4096];
            const ssize_t Read = ::read(Master_.get(), Buffer, std::min(sizeof Buffer, Count - Got.size()));
            if (Read > 0) {
                Got.append(Buffer, static_cast<size_t>(Read));
                continue;
            }
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            if (Left.count() <= 0)
                break;
            pollfd Ready{Master_.get(), POLLIN, 0};
            ::poll(&Ready, 1, static_cast<int>(Left.count()));
        }
        return Got;
    }

    // Everything waiting at the master now.
    std::string Drain() const
    {
        std::string Got;
        char Buffer[4096];
        ssize_t Read;
        while ((Read = ::read(Master_.get(), Buffer, sizeof Buffer)) > 0)
            Got.append(Buffer, static_cast<size_t>(Read));
        return Got;
    }

    // The slave's line record as the kernel holds it (TCGETS2: any rate). A
    // Linux pty keeps the rate, stop bits, flow control and control
    // characters it is given, but always reports 8 data bits and no parity.
    cport::TKernelTermios SlaveRecord() const
    {
        cport::TKernelTermios Record;
        if (cport::ReadLineRecord(Master(), Record) != 0)
            throw std::runtime_error("TCGETS2 failed");
        return Record;
    }
    // The slave's line settings as termios has them.
    termios Settings() const
    {
        termios Record{};
        if (::tcgetattr(Master(), &Record) != 0)
            throw std::runtime_error("tcgetattr failed");
        return Record;
    }
    // The slave's bit rate in bits per second (the port sets any rate, so
    // the B... code of tcgetattr may not name it).
    uint32_t BitRate() const { return SlaveRecord().c_ospeed; }

    // The far end goes away: the slave side sees a hang-up.
    void CloseMaster() { Master_.Reset(); }
    // Hands the master to another owner.
    int ReleaseMaster() { return Master_.Release(); }

private:
    cport::TUniqueFd Master_;
    cport::TUniqueFd HeldSlave_;
    std::string SlavePath_;
};

}  // namespace test_support
