// SPDX-License-Identifier: MIT
#pragma once

#include <bitset>

#include "main/protocol/command_codes.h"
#include "main/protocol/module_config.h"
#include "main/protocol/reply_decoder.h"

namespace varnolink {

// What a module told about itself and its configuration.
struct TModuleReading {
    TModuleIdentity Identity;
    TModuleConfig Config;
};

// The values that decoded replies carried, gathered as they come, and which
// of the module's fourteen readings (code 0 identity ... 13) have answered
// since the last Forget.
class TModuleRecord {
public:
    void Take(const TDecodedReply& Reply);
    void Forget() { Answered_.reset(); }

    bool Answered(int Code) const;
    // Remote ID, baud rate and the ten port bytes.
    bool AnsweredAllSettings() const;

    const TModuleReading& Reading() const { return Reading_; }
    const TModuleIdentity& Identity() const { return Reading_.Identity; }
    const TModuleConfig& Config() const { return Reading_.Config; }

private:
    TModuleReading Reading_;
    std::bitset<CodeLastPort + 1> Answered_;
};

}  // namespace varnolink
