// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "main/engine/epoll_loop.h"
#include "main/engine/module_errors.h"
#include "main/engine/rs485_choice.h"
#include "main/engine/wire_log.h"

namespace varnolink {

// A connection to one module over a serial port, for programs without a
// window: it opens the port with the module's line settings, identifies the
// module, reads its whole configuration, writes one and verifies it by
// reading it back, and writes the factory values. Each call runs one chain
// of the chain session and waits for its end in a loop of its own (a
// session port read by an epoll loop: no event thread, nothing per thread),
// so a thread may hold any number of connections, made and destroyed in any
// order.
//
// A chain that ends short raises the error of module_errors.h, which says
// what the module holds. A stop request (RequestStop from any thread, or a
// stop descriptor such as a signalfd becoming readable) ends the chain with
// EModuleStopped, after the request on the line or at once (TStopWhen).
class TModuleConnection {
public:
    static constexpr std::chrono::milliseconds DefaultReplyWait = TChainSession::DefaultReplyWait;

    TModuleConnection();
    ~TModuleConnection();  // closes the port
    TModuleConnection(const TModuleConnection&) = delete;
    TModuleConnection& operator=(const TModuleConnection&) = delete;

    // Sees every frame sent, every line received and every failure.
    void SetWireObserver(TWireObserver* Observer);
    void SetReplyWait(std::chrono::milliseconds Wait);
    // The line's speed in baud (9600 unless set); see TSessionPort.
    void SetLineSpeed(int Baud);
    // The kernel's RS-485 mode for the line (none: off); see TSessionPort.
    void SetRs485(const std::optional<TRs485Choice>& Choice);
    // The adapter has echoed a request since the port was opened.
    bool EchoSeen() const;
    // A descriptor that becomes readable when the user asks to stop (a
    // signalfd for SIGINT); the connection does not read or close it.
    void SetStopDescriptor(int Fd, TStopWhen When = TStopWhen::AfterTheRequest);
    // Any thread.
    void RequestStop(TStopWhen When = TStopWhen::AfterTheRequest);
    bool StopRequested() const;

    // Sees every session event after the wire log, with the session (its
    // progress, its deadline); and a tick at the times When names, asked
    // anew every round of the loop (nullopt: none due).
    using TEventListener = std::function<void(const TSessionEvent&, const TChainSession&)>;
    void SetEventListener(TEventListener Listener);
    using TTickWhen = std::function<std::optional<TSessionTime>(const TChainSession&)>;
    void SetTimer(TTickWhen When, std::function<void(const TChainSession&)> Tick);

    // PORT as the window takes it: a path, "ttyUSB0", "COM3".
    void Open(const std::string& PortName);
    void Close();
    bool IsOpen() const;
    // The device path the port name stands for.
    static std::string DevicePathOf(const std::string& PortName);

    TModuleIdentity Identify();
    // The identity with a short wait; nothing when no module answers.
    std::optional<TModuleIdentity> Probe(std::chrono::milliseconds Wait,
                                         std::chrono::milliseconds ListenFirst = std::chrono::milliseconds(0));
    TModuleReading ReadConfig();
    // The twelve writes, then the whole read-back, compared with Config.
    TWriteResult WriteConfig(const TModuleConfig& Config);
    // The identity and status, the factory values, then the read-back.
    TWriteResult WriteFactory();

private:
    class TImpl;
    std::unique_ptr<TImpl> Impl_;
};

}  // namespace varnolink
