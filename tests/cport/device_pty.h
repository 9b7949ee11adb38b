// SPDX-License-Identifier: MIT
// Test support for the component's suites that open a port on a
// pseudo-terminal (tests/support/pty_pair.h, its master the far end of the
// line): a fixture with a port on it, and a recorder of the port's
// open/close and signal handlers.
#pragma once

#include "cport/comport.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace device_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The line of every suite: the port opens the slave, the test holds the
// master as the far end.
using test_support::TPtyPair;

// The calls of the open/close and signal handlers, in order.
struct HandlerLog {
    std::vector<std::string> Calls;

    void Attach(cport::TCustomComPort& Port)
    {
        Port.OnBeforeOpen = [this](cport::TComponent*) { Calls.push_back("BeforeOpen"); };
        Port.OnAfterOpen = [this](cport::TComponent*) { Calls.push_back("AfterOpen"); };
        Port.OnBeforeClose = [this](cport::TComponent*) { Calls.push_back("BeforeClose"); };
        Port.OnAfterClose = [this](cport::TComponent*) { Calls.push_back("AfterClose"); };
        Port.OnCTSChange = [this](cport::TComponent*, bool On) { Calls.push_back(On ? "CTS on" : "CTS off"); };
        Port.OnDSRChange = [this](cport::TComponent*, bool On) { Calls.push_back(On ? "DSR on" : "DSR off"); };
        Port.OnRLSDChange = [this](cport::TComponent*, bool On) { Calls.push_back(On ? "RLSD on" : "RLSD off"); };
    }
};

// Runs Action and returns the EComPort it raised (fails the test if none).
template <typename Action>
cport::EComPort RaisedBy(Action&& action)
{
    try {
        action();
    } catch (const cport::EComPort& E) {
        return E;
    }
    ADD_FAILURE() << "no EComPort raised";
    return cport::EComPort(0);
}

// A port on the pty's slave, without an event thread.
inline void UseSlave(cport::TCustomComPort& Port, const TPtyPair& Pty)
{
    Port.SetPort(Pty.SlavePath());
    Port.SetEvents({});
}

// Read time-outs under which a read waits up to Total for its count.
inline void WaitingReads(cport::TCustomComPort& Port, int32_t Total)
{
    Port.Timeouts().SetReadInterval(0);
    Port.Timeouts().SetReadTotalMultiplier(0);
    Port.Timeouts().SetReadTotalConstant(Total);
}

// An asynchronous request that frees itself.
class TOwnedRequest {
public:
    TOwnedRequest() { cport::NewAsyncRequest(Handle_); }
    ~TOwnedRequest() { cport::FreeAsyncRequest(Handle_); }
    TOwnedRequest(const TOwnedRequest&) = delete;
    TOwnedRequest& operator=(const TOwnedRequest&) = delete;
    operator cport::PAsync() const { return Handle_; }

private:
    cport::PAsync Handle_ = nullptr;
};

// Fixture: a port on the slave of a pty of its own, without an event thread.
class PortOnPty : public ::testing::Test {
protected:
    void SetUp() override { UseSlave(Port_, Pty_); }

    TPtyPair Pty_;
    HandlerLog Log_;  // outlives the port, whose destructor may still call handlers
    cport::TComPort Port_;
};

inline long Milliseconds(Clock::duration D)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(D).count());
}

}  // namespace device_test
