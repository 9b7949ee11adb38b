// SPDX-License-Identifier: MIT
// The progress line on a terminal's stderr, rewritten in place.
#include "cli/progress_line.h"

#include <unistd.h>

#include <algorithm>
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
    // The countdown's next change is due when the time left falls to one
    // second less than shown: the loop's wait wakes for exactly that
    // instant, whenever the request started, so no second is shown twice.
    Connection.SetTimer([this](const TChainSession& Session) { return NextSecond(Session); },
                        [this](const TChainSession& Session) {
                            if (Session.Running())
                                Show(Session);
                        });
}

std::optional<TSessionTime> TProgressLine::NextSecond(const TChainSession& Session) const
{
    const auto Deadline = Session.NextDeadline();
    if (!Session.Running() || !Deadline || Deadline != CountedTo_ || SecondsShown_ <= 1)
        return std::nullopt;
    return *Deadline - std::chrono::seconds(SecondsShown_ - 1);
}

void TProgressLine::Show(const TChainSession& Session)
{
    std::string Text = What_;
    if (const auto Deadline = Session.NextDeadline()) {
        // Computed from the deadline: a tick comes no earlier than the
        // instant NextSecond named, so the figure is one less each time.
        const long long Left =
            std::max<long long>(std::chrono::ceil<std::chrono::seconds>(*Deadline - TSessionClock::now()).count(), 0);
        CountedTo_ = Deadline;
        SecondsShown_ = Left;
        Text += ", reply awaited, " + std::to_string(Left) + " s left";
    } else {
        CountedTo_.reset();
    }
    // The same text again would only flicker.
    if (Shown_ && Text == LastText_)
        return;
    Put("\r\033[K" + Text);
    LastText_ = Text;
    Shown_ = true;
}

void TProgressLine::ShowText(const std::string& Text)
{
    if (!On_)
        return;
    Put("\r\033[K" + Text);
    LastText_ = Text;
    Shown_ = true;
}

void TProgressLine::Erase()
{
    if (!Shown_)
        return;
    Put("\r\033[K");
    Shown_ = false;
    LastText_.clear();
}

void TProgressLine::Put(const std::string& Text)
{
    // A terminal that takes no more is not worth failing the command for.
    [[maybe_unused]] const ssize_t Written = ::write(Fd_, Text.data(), Text.size());
}

}  // namespace varnolink
