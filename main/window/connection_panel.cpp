// Start-up state, the port list, opening and closing the connection.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>

#include "main/window/main_form.h"
#include "main/window/port_candidates.h"
#include "main/window/port_combo_box.h"

void TMainForm::FormCreate()
{
    SetBitButtonsEnabled(false);
    SetByteFieldsEnabled(false);

    for (QWidget* Control : {static_cast<QWidget*>(BiosNameDisplay), static_cast<QWidget*>(BIOSVersionDisplay),
                             static_cast<QWidget*>(IDDisplay), static_cast<QWidget*>(ComboBaud),
                             static_cast<QWidget*>(StatusConnect), static_cast<QWidget*>(StatusDisplay)})
        SetControlEnabled(Control, false);

    BiosNameDisplay->clear();
    BIOSVersionDisplay->clear();
    IDDisplay->clear();
    StatusDisplay->clear();
    StatusConnect->clear();
    ComboBaud->setCurrentIndex(-1);

    SetControlEnabled(ClosePort, false);
    SetControlEnabled(OpenPort, false);
    SetControlEnabled(ComboPort, true);
    SetControlEnabled(SaveConfig, false);
    SetControlEnabled(ReadConfig, false);
    SetControlEnabled(SaveToDefault, false);
}

void TMainForm::ComboPortDropDown()
{
    // Each candidate in its fixed order: listed once if it can be opened
    // right now, removed if it can't (gone, or held by another program).
    for (const std::string& DevicePath : PortCandidates()) {
        const QString Name = QString::fromStdString(PortDisplayName(DevicePath));
        if (!ProbePort(DevicePath))
            ComboPort->RemovePort(Name);
        else if (!ComboPort->HasPort(Name))
            ComboPort->AddPort(Name, DevicePath);
    }
}

void TMainForm::ComboPortChange()
{
    SetControlEnabled(OpenPort, true);
}

void TMainForm::OpenPortClick()
{
    SetControlEnabled(ClosePort, true);

    SetControlEnabled(BiosNameDisplay, false);
    SetControlEnabled(BIOSVersionDisplay, false);
    SetControlEnabled(StatusDisplay, false);

    BiosNameDisplay->clear();
    BIOSVersionDisplay->clear();
    StatusDisplay->clear();
    StatusConnect->clear();
    IDDisplay->clear();
    ComboBaud->setCurrentIndex(-1);

    ComPort1.SetPort(ComboPort->ShownDevicePath());
    ComPort1.SetBaudRate(cport::br9600);

    // A failure raises EComPort: the handler ends here and the error is shown.
    ComPort1.Open();
    DeviceLossReported_ = false;

    // "Close" comes back at the end whatever the outcome of the wait, and
    // also when an error of the port (a refused write of the request) ends
    // the handler early: an open port must always be closable.
    const auto EnableClose = qScopeGuard([this] { SetControlEnabled(ClosePort, true); });

    SetControlEnabled(ComboPort, false);
    SetControlEnabled(OpenPort, false);
    SetControlEnabled(SaveToDefault, false);
    SetControlEnabled(ReadConfig, false);
    SetControlEnabled(SaveConfig, false);
    SetControlEnabled(ClosePort, false);
    SetControlEnabled(IDDisplay, false);
    SetControlEnabled(ComboBaud, false);
    SetByteFieldsEnabled(false);

    ReadBIOSVersion();
    WaitCommandExecute();

    if (ReplyReceived() == 1) {
        SetBitButtonsEnabled(true);
        SetControlEnabled(SaveToDefault, true);
        SetControlEnabled(ReadConfig, true);
        SetControlEnabled(SaveConfig, true);
        SetControlEnabled(IDDisplay, true);
        SetControlEnabled(ComboBaud, true);
        SetByteFieldsEnabled(true);
    }
}

void TMainForm::ClosePortClick()
{
    SetBitButtonsEnabled(false);

    BlankGrid(TPortGrid::Direction);
    BlankGrid(TPortGrid::Default);

    SetByteFieldsEnabled(false);

    ComPort1.Close();

    SetControlEnabled(BiosNameDisplay, false);
    SetControlEnabled(BIOSVersionDisplay, false);
    SetControlEnabled(ComboBaud, false);

    BiosNameDisplay->clear();
    BIOSVersionDisplay->clear();
    StatusConnect->setText(QStringLiteral("Disconnect"));
    IDDisplay->clear();
    ComboBaud->setCurrentIndex(-1);
    StatusDisplay->clear();

    SetControlEnabled(StatusDisplay, false);
    SetControlEnabled(ClosePort, false);
    SetControlEnabled(ComboPort, true);
    SetControlEnabled(OpenPort, true);
    SetControlEnabled(SaveConfig, false);
    SetControlEnabled(ReadConfig, false);
    SetControlEnabled(SaveToDefault, false);
}
