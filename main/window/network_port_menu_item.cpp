// SPDX-License-Identifier: MIT
// File > "Add network port…": asks for a socket:// or rfc2217:// name and
// puts it in the main window's port list, where "Open" opens it like any
// other port. The item is always available: a name added while a port is
// open is there when the list next drops down.

#include <QInputDialog>
#include <QLineEdit>

#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "main/window/main_window.h"

namespace varnolink {

void TMainWindow::OpenNetworkPortDialog()
{
    auto* Dialog = new QInputDialog(this);
    Dialog->setObjectName(QStringLiteral("NetworkPortDialog"));
    Dialog->setAttribute(Qt::WA_DeleteOnClose);
    Dialog->setWindowTitle(QStringLiteral("Add network port"));
    Dialog->setLabelText(QStringLiteral("Port on a serial device server or ser2net:\n"
                                        "socket://HOST:PORT (raw TCP) or rfc2217://HOST:PORT (RFC 2217)"));
    Dialog->setTextValue(QStringLiteral("rfc2217://"));
    connect(Dialog, &QInputDialog::textValueSelected, this, [this](const QString& Text) {
        const std::string Name = Text.trimmed().toStdString();
        if (!Form_->AddNetworkPort(Name))
            ShowErrorMessage(QStringLiteral("Not a network port: \"%1\"\n"
                                            "Write socket://HOST:PORT or rfc2217://HOST:PORT, with a port from 1 "
                                            "to 65535 and an IPv6 address in brackets.")
                                 .arg(Text.trimmed()));
    });
    Dialog->open();
}

}  // namespace varnolink
