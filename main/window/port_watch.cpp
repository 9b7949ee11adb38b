// SPDX-License-Identifier: MIT
// Adapters plugged in or pulled while the window runs. The device manager's
// monitor wakes the event loop (no polling): a removed device that is the
// open port's is its loss; any serial device coming or going refreshes the
// port list while the list is closed and no port is open, and an adapter
// lost earlier is picked again when it comes back.

#include <QAbstractItemView>
#include <QSocketNotifier>

#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

void TMainForm::WatchDevices()
{
    delete UdevNotifier_;
    UdevNotifier_ = nullptr;
    if (!Udev_ || Udev_->MonitorFd() < 0)
        return;
    UdevNotifier_ = new QSocketNotifier(Udev_->MonitorFd(), QSocketNotifier::Read, this);
    connect(UdevNotifier_, &QSocketNotifier::activated, this, Guarded([this] { UdevEventsArrived(); }));
}

void TMainForm::SetUdevSourceForTesting(std::unique_ptr<TUdevSource> Source)
{
    delete UdevNotifier_;
    UdevNotifier_ = nullptr;
    Udev_ = std::move(Source);
    WatchDevices();
}

void TMainForm::UdevEventsArrived()
{
    bool CameOrWent = false;
    for (const TUdevEvent& Event : Udev_->TakeEvents()) {
        if (Event.Action == TUdevAction::Changed)
            continue;
        CameOrWent = true;
        if (Event.Action == TUdevAction::Removed && ComPort1.Connected() && Event.Device.DevNode == OpenDevicePath_)
            NoteDeviceLoss(QStringLiteral("The serial device %1 has stopped working: the device is gone "
                                          "(unplugged?).\nThe port has been closed and the values on screen are "
                                          "kept. Plug the adapter in again and press \"Open\".")
                               .arg(OpenAdapterText()));
    }
    if (CameOrWent)
        RefreshPortsAfterChange();
}

void TMainForm::RefreshPortsAfterChange()
{
    // An open list is refreshed when it next drops down; an open port keeps
    // the list as it is (it is disabled anyway).
    if (ComPort1.Connected() || BusyDepth_ > 0 || ComboPort->view()->isVisible())
        return;
    ComboPortDropDown();
    const int Returned = ComboPort->IndexOfAdapter(LostAdapterId_);
    if (Returned >= 0) {
        ComboPort->setCurrentIndex(Returned);
        ComboPortChange();
    }
}

}  // namespace varnolink
