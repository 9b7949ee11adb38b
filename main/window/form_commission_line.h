// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>

#include "cport/comport.h"
#include "main/protocol/config_recorder.h"
#include "main/protocol/device_protocol.h"
#include "main/engine/series_commissioning.h"
#include "main/protocol/transaction_chains.h"
#include "main/protocol/comport_protocol_port.h"

class QEventLoop;

// The line of a commissioning run in the window: the main window's open
// port, with the replies going to a recorder instead of the window's fields.
// It runs the same request chains as the window's buttons and the command
// line's connection; each reply is awaited in a local event loop, so the
// window stays alive, and the chain's errors are those of the connection
// (EModuleNoReply, EModuleStopped, EModulePort).
//
// While it exists it takes over the port's received-characters handler and
// sees its errors before the window does; the destructor gives both back.
// Main thread only.
class TFormCommissionLine final : public TCommissionLine, private TChainDriver {
public:
    explicit TFormCommissionLine(cport::TComPort& Port,
                                 std::chrono::milliseconds ReplyWait = TModuleConnection::DefaultReplyWait);
    ~TFormCommissionLine() override;
    TFormCommissionLine(const TFormCommissionLine&) = delete;
    TFormCommissionLine& operator=(const TFormCommissionLine&) = delete;

    // Ends the chain that runs after its request on the line; every later
    // chain ends before its first.
    void RequestStop() { StopRequested_ = true; }

    std::string PortName() const override;
    std::optional<TModuleIdentity> Identify(std::chrono::milliseconds Wait) override;
    TModuleReading ReadConfig() override;
    TWriteResult WriteConfig(const TModuleConfig& Config) override;

private:
    TModuleReading ReadInto(const std::vector<std::string>& Written);
    void Run(std::span<const TChainStep> Chain, const TChainValues& Values, const std::vector<std::string>& Earlier);
    void RxChar(int Count);

    bool MayGoOn() override { return !StopRequested_; }
    void SendStep(const TChainStep& Step) override;
    bool WaitForReply() override;

    cport::TComPort& Port_;
    decltype(cport::TComPort::OnRxChar) WindowRxChar_;
    decltype(cport::TComPort::OnError) WindowError_;
    TComPortProtocolPort Adapter_{Port_};
    TConfigRecorder Recorder_;
    TDeviceProtocol Protocol_{Recorder_, Adapter_};
    const TChainValues* Values_ = nullptr;
    std::chrono::milliseconds ReplyWait_;
    std::chrono::milliseconds Wait_;
    QEventLoop* ActiveWait_ = nullptr;
    std::string ReceiveError_;
    bool DeviceLost_ = false;
    bool StopRequested_ = false;
};
