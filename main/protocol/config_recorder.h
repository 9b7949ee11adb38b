// SPDX-License-Identifier: MIT
#pragma once

#include <bitset>
#include <string>

#include "main/protocol/command_codes.h"
#include "main/protocol/module_config.h"
#include "main/protocol/window_io.h"

// A window for the protocol core that keeps the decoded replies as values
// instead of showing them: what the connection object and the window's
// compare read the module into. Read marking and blanking only forget the
// field's earlier answer.
class TConfigRecorder final : public TProtocolWindow {
public:
    const TModuleConfig& Config() const { return Config_; }
    const TModuleIdentity& Identity() const { return Identity_; }

    // Whether the reply carrying Code (0 = identity ... 13) has been decoded
    // since the last Forget.
    bool Answered(int Code) const { return Answered_.test(static_cast<std::size_t>(Code)); }
    bool AnsweredAllSettings() const;
    void Forget() { Answered_.reset(); }

    void SetBiosNameDisplay(const std::string& Text) override;
    void SetBIOSVersionDisplay(const std::string& Text) override;
    void SetStatusConnect(const std::string& Text) override;
    void SetStatusDisplay(const std::string& Text) override;
    void SetIDDisplay(const std::string& Text) override;
    void SetComboBaudIndex(int Index) override;
    void DisplayPortReply(TPortGrid Grid, int Row, const std::string& Data) override;
    void SetByteFieldText(TPortGrid Grid, int Row, const std::string& Text) override;
    void SetBitCaption(TPortGrid Grid, int Row, int Bit, const std::string& Caption) override;

private:
    void Mark(int Code, bool Value) { Answered_.set(static_cast<std::size_t>(Code), Value); }

    TModuleConfig Config_;
    TModuleIdentity Identity_;
    std::bitset<CodeLastPort + 1> Answered_;
};
