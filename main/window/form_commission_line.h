// SPDX-License-Identifier: MIT
// The window's port as the line of a commissioning run.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "main/engine/chain_session.h"
#include "main/engine/series_commissioning.h"

namespace varnolink {

class TMainForm;

// The line of a commissioning run in the window: the main window's open
// port and its session, lent with the fields quiet (the replies fill no
// field; every frame and reply reaches the window's wire log). It runs the
// same chains as the window's buttons and the command line; each reply is
// awaited in the window's event loop, so the window stays alive, and a
// chain that ends short raises the errors of module_errors.h
// (EModuleNoReply, EModuleStopped, EModulePort).
// Main thread only.
class TFormCommissionLine final : public TCommissionLine {
public:
    explicit TFormCommissionLine(TMainForm& Form);
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
    // Runs Plan; raises for a chain that did not run to its end.
    TChainResult Run(TChainPlan Plan);

    TMainForm& Form_;
    bool StopRequested_ = false;
};

}  // namespace varnolink
