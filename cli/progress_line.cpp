// SPDX-License-Identifier: MIT
// The progress line on a terminal's stderr, rewritten in place.
#include "cli/progress_line.h"

#include <unistd.h>

#include <variant>

#include "main/protocol/transaction_chains.h"

namespace varnolink {

void TProgressLine::Follow(TModuleConnection& Connection)
{
    if (!On_)
        return;
    Connection.SetEventListener([this](const TSessionEvent& Event, const TChainSession& Session) {
        if (const auto* Started = std::get_if<TRequestStarted>(&Event)) {
            What_ = DescribeStep(Started->Step) + " (" + std::to_string(Session.StepsStarted()) + " of " +
                    std::to_string(Session.StepCount()) + ")";
            Show(Session);
        } else if (std::holds_alternative<TChainEnded>(Event)) {
            Erase();
        }
    });
    // A second is the countdown's unit; the loop's wait wakes for it.
    Connection.SetTick(std::chrono::seconds(1), [this](const TChainSession& Session) {
        if (Session.Running())
            Show(Session);
    });
}

void TProgressLine::Show(const TChainSession& Session)
{
    std::string Text = What_;
    if (const auto Deadline = Session.NextDeadline()) {
        const auto Left = std::chrono::ceil<std::chrono::seconds>(*Deadline - TSessionClock::now()).count();
        Text += ", reply awaited, " + std::to_string(Left > 0 ? Left : 0) + " s left";
    }
    Put("\r\033[K" + Text);
    Shown_ = true;
}

void TProgressLine::ShowText(const std::string& Text)
{
    if (!On_)
        return;
    Put("\r\033[K" + Text);
    Shown_ = true;
}

void TProgressLine::Erase()
{
    if (!Shown_)
        return;
    Put("\r\033[K");
    Shown_ = false;
}

void TProgressLine::Put(const std::string& Text)
{
    // A terminal that takes no more is not worth failing the command for.
    [[maybe_unused]] const ssize_t Written = ::write(Fd_, Text.data(), Text.size());
}

}  // namespace varnolink
