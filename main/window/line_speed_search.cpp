// SPDX-License-Identifier: MIT
// The window's line: its speed and RS-485 mode, and the search for the
// speed a module answers at.

#include <exception>
#include <string>
#include <vector>

#include "main/engine/module_line_settings.h"
#include "main/engine/speed_search.h"
#include "main/window/main_form.h"

namespace varnolink {

void TMainForm::SetLineChoice(const TLineChoice& Choice)
{
    try {
        ApplyLineChoice(ComPort1, Choice);
    } catch (const cport::EComPort& Failure) {
        // The device refused the RS-485 mode: the line stays usable at the
        // chosen speed without it (a device that never had the mode on is
        // sent nothing for turning it off).
        LineChoice_ = TLineChoice{Choice.Baud, std::nullopt};
        WireLog_.Report(TWireEventKind::Error, "line settings: " + std::string(Failure.what()));
        ApplyLineChoice(ComPort1, LineChoice_);
        throw;
    }
    LineChoice_ = Choice;
    if (ComPort1.Connected())
        WireLog_.Report(TWireEventKind::Note, "line now " + LineChoiceText(LineChoice_));
}

std::optional<int> TMainForm::SearchLineSpeeds(std::chrono::milliseconds Wait, const bool& StopWanted,
                                               const std::function<void(int Baud)>& Trying)
{
    if (!ComPort1.Connected() || ActiveWait_ != nullptr || BusyDepth_ > 0)
        return std::nullopt;
    const TBusyScope Busy(*this);

    // The controls the operator could start a transaction with are off
    // while the probes run and come back as they were; a device lost
    // meanwhile takes the window to the closed state instead (Busy's end).
    const auto Controls = TransactionControls();
    std::vector<bool> WereEnabled;
    for (QWidget* Control : Controls) {
        WereEnabled.push_back(Control->isEnabled());
        SetControlEnabled(Control, false);
    }
    SetFieldsQuiet(true);

    std::optional<int> Found;
    std::exception_ptr Failure;
    try {
        Found = SearchSpeeds([&](int Baud) {
            if (StopWanted || CloseRequested_ || LossPending_ || !ComPort1.Connected())
                return TSpeedProbe::Stop;
            if (Trying)
                Trying(Baud);
            ComPort1.SetBaudRate(ModuleLineRate(Baud));
            WireLog_.Report(TWireEventKind::Note, "speed search: trying " + std::to_string(Baud) + " baud");
            const TChainEnd End = RunLentChain(TChainPlan::Probe(Wait), StopWanted).End;
            if (End == TChainEnd::Completed)
                return TSpeedProbe::Answered;
            return End == TChainEnd::NoReply ? TSpeedProbe::Silent : TSpeedProbe::Stop;
        });
        if (ComPort1.Connected() && !LossPending_)
            ComPort1.SetBaudRate(ModuleLineRate(LineChoice_.Baud));
    } catch (...) {
        Failure = std::current_exception();
    }

    SetFieldsQuiet(false);
    if (!LossPending_ && ComPort1.Connected())
        for (std::size_t Index = 0; Index < Controls.size(); ++Index)
            SetControlEnabled(Controls[Index], WereEnabled[Index]);
    if (Failure)
        std::rethrow_exception(Failure);
    if (Found)
        WireLog_.Report(TWireEventKind::Note,
                        "speed search: the module answers at " + std::to_string(*Found) + " baud");
    else
        WireLog_.Report(TWireEventKind::Note, StopWanted ? "speed search: stopped" : "speed search: no answer");
    return Found;
}

void TMainForm::UseLineSpeed(int Baud)
{
    TLineChoice Choice = LineChoice_;
    Choice.Baud = Baud;
    const bool WasOpen = ComPort1.Connected();
    SetLineChoice(Choice);
    if (WasOpen && BusyDepth_ == 0 && ActiveWait_ == nullptr) {
        ClosePortClick();
        OpenPortClick();
    }
}

}  // namespace varnolink
