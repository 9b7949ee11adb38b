// SPDX-License-Identifier: MIT
// File > "Line settings…" and File > "Search line speeds": the main
// window's line speed and RS-485 mode, kept between runs, and the search for
// the speed a module answers at after "Time-Out" at Open.

#include <QAction>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "main/engine/speed_search.h"
#include "main/window/error_display.h"
#include "main/window/line_settings_dialog.h"
#include "main/window/main_form.h"
#include "main/window/main_window.h"

namespace varnolink {

namespace {

// Each rate gets this long to answer the identity request.
constexpr std::chrono::milliseconds SpeedProbeWait{300};

}  // namespace

void TMainWindow::LoadLineSettings()
{
    // A file that cannot be read leaves the default line, with the reason shown.
    RunGuarded([this] { Form_->SetLineChoice(LoadLineChoice(DefaultLineChoiceFile())); });
}

bool TMainWindow::ApplyLineSettings(const TLineChoice& Choice)
{
    std::exception_ptr Refused;
    try {
        Form_->SetLineChoice(Choice);
    } catch (...) {
        Refused = std::current_exception();
    }
    // What the port took is kept: a refused RS-485 mode is kept off.
    try {
        SaveLineChoice(DefaultLineChoiceFile(), Form_->LineChoice());
    } catch (const std::exception& Failure) {
        ShowErrorMessage(QStringLiteral("The line settings were not kept for the next run:\n\n%1")
                             .arg(QString::fromLocal8Bit(Failure.what())));
    }
    if (Refused)
        ShowApplicationErrorMessage(Refused);
    return !Refused;
}

void TMainWindow::OpenLineSettingsDialog()
{
    auto* Dialog = new TLineSettingsDialog(Form_->LineChoice(), this);
    Dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(Dialog, &QDialog::accepted, this, [this, Dialog] {
        const TLineChoice Choice = Dialog->Choice();
        // Applied from the event loop, after the dialog has closed.
        QTimer::singleShot(0, this, [this, Choice] { ApplyLineSettings(Choice); });
    });
    Dialog->open();
}

void TMainWindow::SearchLineSpeeds()
{
    bool StopWanted = false;
    QProgressDialog Progress(QStringLiteral("Searching line speeds\u2026"), QStringLiteral("Stop"), 0,
                             static_cast<int>(SpeedSearchOrder().size()), this);
    Progress.setObjectName(QStringLiteral("LineSpeedSearchProgress"));
    Progress.setWindowTitle(QStringLiteral("Search line speeds"));
    Progress.setWindowModality(Qt::WindowModal);
    Progress.setMinimumDuration(0);
    Progress.setAutoClose(false);
    Progress.setAutoReset(false);
    connect(&Progress, &QProgressDialog::canceled, this, [&StopWanted] { StopWanted = true; });
    int Tried = 0;
    const std::optional<int> Found = Form_->SearchLineSpeeds(SpeedProbeWait, StopWanted, [&](int Baud) {
        Progress.setLabelText(QStringLiteral("Trying %1 baud\u2026").arg(Baud));
        Progress.setValue(Tried++);
    });
    Progress.close();
    if (!Found && (StopWanted || Tried < Progress.maximum()))
        return;  // stopped, or the port closed: there is nothing to say

    auto* Result = new QMessageBox(this);
    Result->setObjectName(QStringLiteral("LineSpeedSearchResult"));
    Result->setAttribute(Qt::WA_DeleteOnClose);
    Result->setWindowTitle(QStringLiteral("Search line speeds"));
    if (Found) {
        Result->setIcon(QMessageBox::Information);
        Result->setText(QStringLiteral("The module answers at %1 baud.").arg(*Found));
        Result->setInformativeText(QStringLiteral("Use %1 baud for this session?").arg(*Found));
        QPushButton* Use = Result->addButton(QStringLiteral("Use %1 baud").arg(*Found), QMessageBox::AcceptRole);
        Use->setObjectName(QStringLiteral("UseLineSpeed"));
        const int Baud = *Found;
        // From the event loop, after the box has closed: the port is opened
        // again at the new speed, which waits for the module's reply.
        connect(Use, &QPushButton::clicked, this,
                [this, Baud] { QTimer::singleShot(0, this, Guarded([this, Baud] { Form_->UseLineSpeed(Baud); })); });
        Result->addButton(QMessageBox::Close);
    } else {
        Result->setIcon(QMessageBox::Warning);
        Result->setText(QStringLiteral("No module answered at any line speed (1200 to 115200 baud)."));
        Result->setInformativeText(QStringLiteral("Check the wiring and the module's power."));
        Result->addButton(QMessageBox::Close);
    }
    Result->open();
}

}  // namespace varnolink
