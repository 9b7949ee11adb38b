// SPDX-License-Identifier: MIT
// File > "Change reason…": the change ticket or reason that the journal of
// changes records with the window's following writes.

#include <QInputDialog>
#include <QLineEdit>

#include "main/window/main_form.h"
#include "main/window/main_window.h"

namespace varnolink {

void TMainWindow::ChangeReasonDialog()
{
    bool Accepted = false;
    const QString Reason = QInputDialog::getText(
        this, QStringLiteral("Change reason"),
        QStringLiteral("Change ticket or reason, recorded in the journal with the following writes:"),
        QLineEdit::Normal, QString::fromStdString(Form_->ChangeReason()), &Accepted);
    if (Accepted)
        Form_->SetChangeReason(Reason.trimmed().toStdString());
}

}  // namespace varnolink
