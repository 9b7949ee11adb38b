// SPDX-License-Identifier: MIT
// Waiting for the module's reply.

#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>

#include <optional>
#include <string>
#include <utility>

#include "main/window/main_form.h"

void TMainForm::WaitCommandExecute()
{
    Timer1.stop();
    TimedOut = 0;
    // The window is closing, or the device is gone (the port closed since):
    // no reply can come, nothing is waited for and nothing is written.
    if (CloseRequested_ || LossPending_ || !ComPort1.Connected())
        return;
    Timer1.setInterval(ReplyTimeoutMs_);
    Timer1.start();

    if (ReplyReceived() == 1) {
        // Already answered: the pending messages are processed once.
        QCoreApplication::processEvents();
    } else {
        // The event loop sleeps until something arrives; a decoded reply
        // (WakeReplyWait), the timer (Timer1Timer) or a close request of the
        // window ends it. If the loop ends for any other reason (the
        // application is quitting) the wait ends too, as unanswered.
        QEventLoop Wait;
        QEventLoop* const Outer = std::exchange(ActiveWait_, &Wait);
        Wait.exec();
        ActiveWait_ = Outer;
    }

    if (TimedOut == 1) {
        const std::optional<TChainStep>& Request = WireTap_.Outstanding();
        WireTap_.Report(TWireEventKind::TimeOut, "no reply" + (Request ? " to " + DescribeStep(*Request) : std::string()) +
                                                     " within " + std::to_string(ReplyTimeoutMs_) + " ms");
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
