// SPDX-License-Identifier: MIT
// File > "Restore a backup…": a configuration kept before an earlier write,
// written back to the module by SAVE CONFIG.

#include <QFileDialog>
#include <QPushButton>

#include "main/files/backup_store.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "main/window/main_window.h"

namespace varnolink {

bool TMainWindow::RestoreBackupFile(const std::string& Path)
{
    // The menu item is only enabled then; a caller with a path is held to
    // the same, as the press of a disabled SAVE CONFIG would do nothing.
    if (!Form_->SaveConfig->isEnabled()) {
        ShowErrorMessage(QStringLiteral("The backup was not restored: the module's port is not open, or a "
                                        "transaction is running."));
        return false;
    }
    // A backup is a whole configuration; a file without every setting would
    // leave some of the fields showing what they showed before.
    if (!TypeConfigurationFile(Path, true, QStringLiteral("The backup was not restored")))
        return false;
    Form_->SaveConfig->click();
    return true;
}

void TMainWindow::RestoreBackupDialog()
{
    const QString Path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Restore a backup"),
                                     QString::fromLocal8Bit(DefaultBackupFolder()), QStringLiteral("Backups (*.ini)"));
    if (!Path.isEmpty())
        RestoreBackupFile(Path.toLocal8Bit().toStdString());
}

}  // namespace varnolink
