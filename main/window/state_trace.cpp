// SPDX-License-Identifier: MIT
// A plain-text trace of what the operator sees, for checking the program
// from outside (the smoke test runs it under a virtual X server, where the
// window's contents are hard to read). Off unless EnableStateTrace is called.

#include <QComboBox>
#include <QLineEdit>

#include <cstdio>

#include "main/window/main_form.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

namespace {

void Trace(const QString& Line)
{
    std::fprintf(stderr, "state: %s\n", Line.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace

void TMainForm::EnableStateTrace()
{
    for (QLineEdit* Field : {StatusConnect, BiosNameDisplay, BIOSVersionDisplay, StatusDisplay, IDDisplay})
        connect(Field, &QLineEdit::textChanged, this,
                [Field](const QString& Text) { Trace(Field->objectName() + QStringLiteral("=") + Text); });
    ComboPort->OnDropDown = [this] {
        ComboPortDropDown();
        Trace(QStringLiteral("ComboPort items=") + ComboPort->PortNames().join(QLatin1Char(',')));
    };
    connect(ComboPort, &QComboBox::currentTextChanged, this,
            [](const QString& Text) { Trace(QStringLiteral("ComboPort shown=") + Text); });
    Trace(QStringLiteral("window shown=") + windowTitle());
    // Where the layout stands in the top-level window (below its menu bar),
    // for clicks at layout positions.
    const QPoint Offset = mapTo(window(), QPoint(0, 0));
    Trace(QStringLiteral("form offset=%1,%2").arg(Offset.x()).arg(Offset.y()));
}

}  // namespace varnolink
