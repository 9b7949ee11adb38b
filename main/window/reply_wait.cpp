// SPDX-License-Identifier: MIT
// Waiting for the module's reply: the window's own wait, and the wait of a
// chain run for another user of the port.

#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>

#include <algorithm>
#include <chrono>
#include <utility>

#include "main/window/main_form.h"

namespace varnolink {

void TMainForm::AwaitReply(int Milliseconds)
{
    Timer1.stop();
    TimedOut = 0;
    // The window is closing, or the device is gone (the port closed since):
    // no reply can come and nothing is waited for.
    if (CloseRequested_ || LossPending_ || !ComPort1.Connected())
        return;
    Timer1.setInterval(Milliseconds);
    Timer1.start();

    if (ReplyReceived() == 1) {
        // Already answered: the pending messages are processed once.
        QCoreApplication::processEvents();
    } else {
        // The event loop sleeps until something arrives; a decoded reply
        // (WakeReplyWait), the timer (Timer1Timer), the device's loss or a
        // close request of the window ends it. If the loop ends for any other
        // reason (the application is quitting) the wait ends too, unanswered.
        QEventLoop Wait;
        QEventLoop* const Outer = std::exchange(ActiveWait_, &Wait);
        Wait.exec();
        ActiveWait_ = Outer;
    }
}

void TMainForm::WaitCommandExecute()
{
    AwaitReply(ReplyTimeoutMs_);
    // A request left without a reply ends its chain: by its time-out, which
    // the wire log reports, or because the wait was given up (the window
    // closes, the application quits), which leaves the request on the line.
    if (ReplyReceived() == 0) {
        if (TimedOut == 1)
            Session_.EndWait();
        else
            Session_.StopNow();
        ShowSessionEvents();
    }
    if (TimedOut == 1) {
        StatusConnect->setText(QStringLiteral("Time-Out"));
        BiosNameDisplay->setText(QStringLiteral("Unknown"));
        BIOSVersionDisplay->setText(QStringLiteral("Unknown"));
    }
    Timer1.stop();
}

void TMainForm::Timer1Timer()
{
    TimedOut = 1;
    Timer1.stop();
    if (ActiveWait_ != nullptr)
        ActiveWait_->quit();
}

void TMainForm::WakeReplyWait()
{
    if (ActiveWait_ != nullptr && ReplyReceived() == 1)
        ActiveWait_->quit();
}

TChainResult TMainForm::RunLentChain(TChainPlan Plan, const bool& StopWanted)
{
    try {
        Session_.Start(std::move(Plan), TSessionClock::now());
        for (;;) {
            ShowSessionEvents();
            WriteOutput();
            if (!Session_.Running())
                break;
            // Until the session's deadline for the request on the line (a
            // probe's own, shorter wait included).
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(
                Session_.NextDeadline().value_or(TSessionClock::now()) - TSessionClock::now());
            AwaitReply(static_cast<int>(std::max<std::chrono::milliseconds::rep>(Left.count(), 0)));
            Timer1.stop();
            if (ReplyReceived() == 0)
                Session_.EndWait();
            else if (StopWanted || CloseRequested_)
                Session_.RequestStop();
            else
                Session_.Continue(TSessionClock::now());
        }
    } catch (const cport::EComPort&) {
        // A refused write: the session has ended the chain and says why.
    }
    // The borrower may have put another module on the line: nothing the
    // window read before, or during the loan, says what it holds.
    LastReading_.reset();
    return LastChainResult_;
}

}  // namespace varnolink
