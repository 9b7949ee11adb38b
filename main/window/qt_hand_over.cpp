// SPDX-License-Identifier: MIT
#include "main/window/qt_hand_over.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "cport/comport.h"
#include "main/window/error_display.h"

namespace {

// Windows that currently need the hook (constructed and destroyed on the
// main thread only).
int HookUsers = 0;

void ServeHandOvers()
{
    RunGuarded([] { cport::CheckSynchronize(); });
}

}  // namespace

TQtHandOver::TQtHandOver()
{
    if (HookUsers++ > 0)
        return;
    cport::SetMainThreadWakeHook([] {
        // Called on the event thread: posting to the application object is
        // safe from any thread and runs ServeHandOvers on the main thread.
        if (QCoreApplication* App = QCoreApplication::instance())
            QMetaObject::invokeMethod(App, &ServeHandOvers, Qt::QueuedConnection);
    });
}

TQtHandOver::~TQtHandOver()
{
    if (--HookUsers == 0)
        cport::SetMainThreadWakeHook(nullptr);
}
