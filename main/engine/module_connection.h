// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "main/protocol/module_config.h"
#include "main/protocol/transaction_chains.h"
#include "main/engine/wire_log.h"

// A connection to one module over a serial port, without any toolkit: it
// opens the port with the module's line settings, identifies the module,
// reads its whole configuration, writes one and verifies it by reading it
// back, and writes the factory values. It runs the same request chains as
// the window (transaction_chains.h): one request outstanding, a 5000 ms wait
// for each reply, and a chain ends at its first request without a reply.
//
// The connection waits on its own thread in epoll: the port's event thread
// hands its events over through a wake descriptor (the serial component's
// wake hook of the thread that creates the connection, installed while the
// connection exists; so one connection per thread, and not on a thread whose
// event loop serves the hook already, such as the window's). The window's
// commissioning line runs its chains through the same chain_run.h.
//
// A stop request (RequestStop from any thread, or a stop descriptor such as
// a signalfd becoming readable) lets the request on the line finish and then
// ends the chain with EModuleStopped.

// Every failure of a connection.
class EModuleConnection : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The port could not be opened, refused a write, or the device went away.
// The message holds the serial component's message and the system's reason.
class EModulePort : public EModuleConnection {
public:
    EModulePort(const std::string& Message, int SystemError)
        : EModuleConnection(Message), SystemError_(SystemError) {}
    int SystemError() const { return SystemError_; }

private:
    int SystemError_;
};

// Fields whose writes the module has answered when a write ended early.
using TWrittenFields = std::vector<std::string>;

// A request got no reply within the wait.
class EModuleNoReply : public EModuleConnection {
public:
    EModuleNoReply(const TChainStep& Step, std::chrono::milliseconds Wait, TWrittenFields Written);
    const TChainStep& Step() const { return Step_; }
    const TWrittenFields& Written() const { return Written_; }

private:
    TChainStep Step_;
    TWrittenFields Written_;
};

// A reply named a baud rate the module cannot have (index 8 or 9).
class EModuleReply : public EModuleConnection {
public:
    using EModuleConnection::EModuleConnection;
};

// A stop was requested; the chain ended after the request on the line.
class EModuleStopped : public EModuleConnection {
public:
    explicit EModuleStopped(TWrittenFields Written);
    const TWrittenFields& Written() const { return Written_; }

private:
    TWrittenFields Written_;
};

struct TModuleReading {
    TModuleIdentity Identity;
    TModuleConfig Config;
};

struct TWriteResult {
    TModuleReading ReadBack;
    std::vector<std::string> Differences;  // field names; empty when the module holds what was asked
};

class TModuleConnection {
public:
    static constexpr std::chrono::milliseconds DefaultReplyWait{5000};

    TModuleConnection();
    ~TModuleConnection();  // closes the port
    TModuleConnection(const TModuleConnection&) = delete;
    TModuleConnection& operator=(const TModuleConnection&) = delete;

    // Sees every frame sent, every line received and every failure.
    void SetWireObserver(TWireObserver* Observer);
    void SetReplyWait(std::chrono::milliseconds Wait);
    // A descriptor that becomes readable when the user asks to stop (a
    // signalfd for SIGINT); the connection does not read or close it.
    void SetStopDescriptor(int Fd);
    // Any thread: stop after the request on the line.
    void RequestStop();
    bool StopRequested() const;

    // PORT as the window takes it: a path, "ttyUSB0", "COM3".
    void Open(const std::string& PortName);
    void Close();
    bool IsOpen() const;
    // The device path the port name stands for.
    static std::string DevicePathOf(const std::string& PortName);

    TModuleIdentity Identify();
    TModuleReading ReadConfig();
    // The twelve writes, then the whole read-back, compared with Config.
    TWriteResult WriteConfig(const TModuleConfig& Config);
    // The identity and status, the factory values, then the read-back.
    TWriteResult WriteFactory();

private:
    class TImpl;
    std::unique_ptr<TImpl> Impl_;
};
