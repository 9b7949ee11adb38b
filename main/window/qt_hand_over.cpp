// SPDX-License-Identifier: MIT
// The QSocketNotifier on the main thread's wait descriptor of the serial
// component.
#include "main/window/qt_hand_over.h"

#include <QSocketNotifier>

#include <memory>

#include "cport/comport.h"
#include "main/window/error_display.h"

namespace varnolink {

namespace {

// Windows that currently need the watch, and the watch (constructed and
// destroyed on the main thread only).
int Users = 0;
std::unique_ptr<QSocketNotifier> Watch;

void ServeHandOvers()
{
    RunGuarded([] { cport::CheckSynchronize(); });
}

}  // namespace

TQtHandOver::TQtHandOver()
{
    if (Users++ > 0)
        return;
    Watch = std::make_unique<QSocketNotifier>(cport::MainThreadWaitDescriptor(), QSocketNotifier::Read);
    QObject::connect(Watch.get(), &QSocketNotifier::activated, [] { ServeHandOvers(); });
}

TQtHandOver::~TQtHandOver()
{
    if (--Users == 0)
        Watch.reset();
}

}  // namespace varnolink
