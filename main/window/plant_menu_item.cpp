// SPDX-License-Identifier: MIT
// File > "Plant…": the plant window, and the main window opening the port of
// one of its modules when the operator double-clicks it there.

#include <QPushButton>

#include <filesystem>
#include <system_error>

#include "cport/comport.h"
#include "main/ports/port_candidates.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "main/window/main_window.h"
#include "main/window/plant_window.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

namespace {

// The same device under two names ("/dev/serial/by-id/usb-FTDI..." and
// "/dev/ttyUSB0"), or the same network port.
bool SameDevice(const std::string& Listed, const std::string& Wanted)
{
    if (Listed == Wanted)
        return true;
    std::error_code ListedError;
    std::error_code WantedError;
    const std::filesystem::path ListedPath = std::filesystem::canonical(Listed, ListedError);
    const std::filesystem::path WantedPath = std::filesystem::canonical(Wanted, WantedError);
    return !ListedError && !WantedError && ListedPath == WantedPath;
}

}  // namespace

void TMainWindow::ShowPlantWindow()
{
    if (Plant == nullptr)
        Plant = new TPlantWindow(
            [this](const std::string& Port) {
                raise();
                activateWindow();
                OpenPortByName(Port);
            },
            this);
    Plant->show();
    Plant->raise();
    Plant->activateWindow();
}

bool TMainWindow::OpenPortByName(const std::string& Port)
{
    TMainForm& Form = *Form_;
    const QString Name = QString::fromStdString(Port);
    // "Close" is usable whenever an open port may be closed, the port list
    // whenever a port may be picked; a transaction, the reply wait or the
    // commissioning dialog take them away.
    const bool Connected = Form.ComPort1.Connected();
    const QWidget* const Needed = Connected ? static_cast<QWidget*>(Form.ClosePort) : Form.ComboPort;
    if (Form.WaitingForReply() || !Needed->isEnabled()) {
        ShowErrorMessage(QStringLiteral("%1 was not opened: the main window is busy with its port.").arg(Name));
        return false;
    }
    const std::string DevicePath = cport::TComPort::DevicePathOf(Port);
    // The open port stays open when the other one cannot be had.
    if (Connected && !SameDevice(Form.ComPort1.Port(), DevicePath) && !ProbePort(DevicePath)) {
        ShowErrorMessage(QStringLiteral("%1 was not opened: it is not there, or another program holds it.").arg(Name));
        return false;
    }
    if (Connected)
        Form.ClosePortClick();

    if (IsNetworkPortName(Port) && !Form.AddNetworkPort(Port)) {
        ShowErrorMessage(QStringLiteral("%1 was not opened: it is not a well-formed network port.").arg(Name));
        return false;
    }
    Form.ComboPortDropDown();
    int Index = -1;
    for (int Item = 0; Item < Form.ComboPort->count() && Index < 0; ++Item)
        if (SameDevice(Form.ComboPort->itemData(Item).toString().toStdString(), DevicePath))
            Index = Item;
    if (Index < 0) {
        ShowErrorMessage(QStringLiteral("%1 was not opened: the port list does not offer it (it is not there, "
                                        "cannot be opened, or is none of the ports the list looks at; "
                                        "VARNOLINK_PORTS adds others).")
                             .arg(Name));
        return false;
    }
    if (!Form.ComboPort->PortSelectable(Form.ComboPort->itemText(Index))) {
        ShowErrorMessage(QStringLiteral("%1 was not opened: %2").arg(Name, Form.ComboPort->ItemLine(Index)));
        return false;
    }
    Form.ComboPort->setCurrentIndex(Index);
    Form.ComboPortChange();
    // As the click on "Open": an error of the port ends it and is shown.
    RunGuarded([&Form] { Form.OpenPortClick(); });
    return Form.ComPort1.Connected();
}

}  // namespace varnolink
