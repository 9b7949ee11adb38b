// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "main/engine/chain_session.h"
#include "main/protocol/module_record.h"

namespace varnolink {

// Every failure of a conversation with a module. When a chain had started,
// Chain() says what the module holds: the requests it acknowledged, the one
// on the line and those never sent.
class EModuleConnection : public std::runtime_error {
public:
    explicit EModuleConnection(const std::string& Message, std::optional<TChainResult> Chain = {})
        : std::runtime_error(Message), Chain_(std::move(Chain))
    {}
    const std::optional<TChainResult>& Chain() const { return Chain_; }
    // The configuration fields whose writes the module acknowledged.
    std::vector<TConfigField> Written() const { return Chain_ ? Chain_->WrittenFields() : std::vector<TConfigField>{}; }

private:
    std::optional<TChainResult> Chain_;
};

// The port could not be opened, refused a write, or the device went away.
// The message holds the serial component's message and the system's reason.
class EModulePort : public EModuleConnection {
public:
    EModulePort(const std::string& Message, int SystemError, std::optional<TChainResult> Chain = {})
        : EModuleConnection(Message, std::move(Chain)), SystemError_(SystemError)
    {}
    int SystemError() const { return SystemError_; }

private:
    int SystemError_;
};

// A request got no reply within the wait.
class EModuleNoReply : public EModuleConnection {
public:
    explicit EModuleNoReply(TChainResult Chain);
    const TChainStep& Step() const { return *Chain()->OnTheLine; }
};

// A reply named a baud rate the module cannot have (index 8 or 9).
class EModuleReply : public EModuleConnection {
public:
    using EModuleConnection::EModuleConnection;
};

// A stop was requested; the chain ended after the request on the line.
class EModuleStopped : public EModuleConnection {
public:
    explicit EModuleStopped(TChainResult Chain);
};

// A write and its read-back.
struct TWriteResult {
    TModuleReading ReadBack;
    std::vector<TConfigField> Differences;  // empty when the module holds what was asked
};

// The error for a chain that ended short (no reply, stopped, device lost,
// port error); nothing for one that completed or only differs. DevicePath
// names the device in the messages of a lost device.
void RaiseChainEnd(const TChainResult& Result, const std::string& DevicePath);

// What a read chain left in Record; EModuleReply when the module's baud-rate
// index names no rate.
TModuleReading ReadingOf(const TModuleRecord& Record);

}  // namespace varnolink
