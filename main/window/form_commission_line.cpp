// SPDX-License-Identifier: MIT
// The window's open port and session lent to a commissioning run.
#include "main/window/form_commission_line.h"

#include <cerrno>
#include <utility>

#include "main/engine/module_errors.h"
#include "main/window/main_form.h"

namespace varnolink {

TFormCommissionLine::TFormCommissionLine(TMainForm& Form) : Form_(Form)
{
    Form_.SetFieldsQuiet(true);
}

TFormCommissionLine::~TFormCommissionLine()
{
    Form_.SetFieldsQuiet(false);
}

std::string TFormCommissionLine::PortName() const
{
    return cport::TComPort::DevicePathOf(Form_.ComPort1.Port());
}

TChainResult TFormCommissionLine::Run(TChainPlan Plan)
{
    if (!Form_.ComPort1.Connected())
        throw EModulePort("the port " + PortName() + " is closed", EBADF);
    TChainResult Result;
    if (StopRequested_) {
        Result.End = TChainEnd::Stopped;
        Result.NotSent = std::move(Plan.Steps);
    } else
        Result = Form_.RunLentChain(std::move(Plan), StopRequested_);
    RaiseChainEnd(Result, PortName());
    return Result;
}

std::optional<TModuleIdentity> TFormCommissionLine::Identify(std::chrono::milliseconds Wait)
{
    try {
        Run(TChainPlan::Probe(Wait));
    } catch (const EModuleNoReply&) {
        return std::nullopt;
    }
    return Form_.Session().Record().Identity();
}

TModuleReading TFormCommissionLine::ReadConfig()
{
    Run(TChainPlan::Read());
    return ReadingOf(Form_.Session().Record());
}

TWriteResult TFormCommissionLine::WriteConfig(const TModuleConfig& Config)
{
    TChainResult Result = Run(TChainPlan::Write(Config));
    return {ReadingOf(Form_.Session().Record()), std::move(Result.Differences)};
}

}  // namespace varnolink
