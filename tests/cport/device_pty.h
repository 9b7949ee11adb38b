// Test support for the device-layer suites: a pseudo-terminal whose slave
// the port opens while the test holds the master as the far end of the line,
// and a recorder of the port's open/close and signal handlers.
#pragma once

#include "cport/comport.h"
#include "cport/custom_baud.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace device_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no pty name");
        slave_path_ = name;
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slave_path_; }
    int Master() const { return master_; }

    void Write(const std::string& Bytes) const {
        size_t done = 0;
        while (done < Bytes.size()) {
            const ssize_t n = ::write(master_, Bytes.data() + done, Bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{master_, POLLOUT, 0};
                if (n < 0 && errno != EAGAIN) throw std::runtime_error("far-end write failed");
                if (::poll(&p, 1, 2000) <= 0) throw std::runtime_error("far-end write stuck");
            }
        }
    }

    // Reads until Count bytes have come or Timeout has passed.
    std::string Read(size_t Count, std::chrono::milliseconds Timeout = 2000ms) const {
        std::string got;
        const auto deadline = Clock::now() + Timeout;
        while (got.size() < Count) {
            char buffer[4096];
            const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, Count - got.size()));
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd p{master_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        }
        return got;
    }

    // Everything waiting at the master now.
    std::string Drain() const {
        std::string got;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(master_, buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<size_t>(n));
        return got;
    }

    // The slave's line record (TCGETS2 on a master reports its slave's).
    cport::TKernelTermios SlaveRecord() const {
        cport::TKernelTermios record;
        if (cport::ReadLineRecord(master_, record) != 0) throw std::runtime_error("TCGETS2 failed");
        return record;
    }

    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slave_path_;
};

// The calls of the open/close and signal handlers, in order.
struct HandlerLog {
    std::vector<std::string> calls;

    void Attach(cport::TCustomComPort& Port) {
        Port.OnBeforeOpen = [this](cport::TComponent*) { calls.push_back("BeforeOpen"); };
        Port.OnAfterOpen = [this](cport::TComponent*) { calls.push_back("AfterOpen"); };
        Port.OnBeforeClose = [this](cport::TComponent*) { calls.push_back("BeforeClose"); };
        Port.OnAfterClose = [this](cport::TComponent*) { calls.push_back("AfterClose"); };
        Port.OnCTSChange = [this](cport::TComponent*, bool On) { calls.push_back(On ? "CTS on" : "CTS off"); };
        Port.OnDSRChange = [this](cport::TComponent*, bool On) { calls.push_back(On ? "DSR on" : "DSR off"); };
        Port.OnRLSDChange = [this](cport::TComponent*, bool On) { calls.push_back(On ? "RLSD on" : "RLSD off"); };
    }
};

// Runs Action and returns the EComPort it raised (fails the test if none).
template <typename Action>
cport::EComPort RaisedBy(Action&& action) {
    try {
        action();
    } catch (const cport::EComPort& e) {
        return e;
    }
    ADD_FAILURE() << "no EComPort raised";
    return cport::EComPort(0);
}

// A port on the pty's slave, without an event thread.
inline void UseSlave(cport::TCustomComPort& Port, const PtyPair& Pty) {
    Port.SetPort(Pty.SlavePath());
    Port.SetEvents({});
}

// Read time-outs under which a read waits up to Total for its count.
inline void WaitingReads(cport::TCustomComPort& Port, int32_t Total) {
    Port.Timeouts().SetReadInterval(0);
    Port.Timeouts().SetReadTotalMultiplier(0);
    Port.Timeouts().SetReadTotalConstant(Total);
}

inline long Milliseconds(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace device_test
