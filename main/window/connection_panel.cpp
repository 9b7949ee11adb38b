// SPDX-License-Identifier: MIT
// Start-up state, the port list, opening and closing the connection.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>

#include <algorithm>

#include "main/window/main_form.h"
#include "main/ports/port_candidates.h"
#include "main/ports/port_listing.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

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
    // right now or another program holds it (greyed, with its holder),
    // removed if it can't be opened (gone, refused, or held by us).
    const std::vector<std::string> Candidates = PortCandidates();
    const std::vector<TPortListing> Listed = ListPorts(Candidates, Udev_.get(), PortLabels());
    for (const std::string& DevicePath : Candidates) {
        const QString Name = QString::fromStdString(PortDisplayName(DevicePath));
        const auto Found = std::find_if(Listed.begin(), Listed.end(), [&DevicePath](const TPortListing& Port) {
            return Port.DevicePath == DevicePath;
        });
        if (Found == Listed.end()) {
            ComboPort->RemovePort(Name);
            continue;
        }
        if (!ComboPort->HasPort(Name))
            ComboPort->AddPort(Name, DevicePath);
        ComboPort->SetPortDetails(Name, QString::fromStdString(Found->Description),
                                  QString::fromStdString(Found->Holder), Found->AdapterId, !Found->Busy);
    }
}

bool TMainForm::AddNetworkPort(const std::string& Name)
{
    if (cport::PortNameKind(Name) != cport::TPortNameKind::pnNetwork)
        return false;
    if (std::find(AddedNetworkPorts_.begin(), AddedNetworkPorts_.end(), Name) == AddedNetworkPorts_.end())
        AddedNetworkPorts_.push_back(Name);
    // An open port keeps the list as it is (it is disabled); the new name
    // is there when the list next drops down.
    if (ComPort1.Connected() || BusyDepth_ > 0)
        return true;
    ComboPortDropDown();
    const int Index = ComboPort->findText(QString::fromStdString(PortDisplayName(Name)));
    if (Index >= 0) {
        ComboPort->setCurrentIndex(Index);
        ComboPortChange();
    }
    return true;
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

    // Nothing read before says what the module on this port holds.
    LastReading_.reset();
    ComPort1.SetPort(ComboPort->ShownDevicePath());
    // The session's line: the module's own (9600 8N1) unless chosen otherwise.
    ApplyLineChoice(ComPort1, LineChoice_);

    // A failure raises EComPort: the handler ends here and the error is shown.
    try {
        ComPort1.Open();
    } catch (const cport::EComPort& Failure) {
        WireLog_.Report(TWireEventKind::Error, "opening " + ComPort1.Port() + ": " + Failure.what());
        throw;
    }
    WireLog_.Restart();
    WireLog_.Report(TWireEventKind::Note, "opened " + ComPort1.Port() + " at " + LineChoiceText(LineChoice_));
    DeviceLossReported_ = false;
    RememberOpenAdapter();
    // A loss seen from here on is finished when this handler ends, after
    // "Close" has come back below.
    const TBusyScope Busy(*this);

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

    try {
        ReadBIOSVersion();
    } catch (const cport::EComPort& Failure) {
        if (TakeWriteFailureAsLoss(Failure))
            return;
        WireLog_.Report(TWireEventKind::Error, Failure.what());
        throw;
    }
    WaitCommandExecute();

    if (ReplyReceived() == 1 && !DeviceLossReported_) {
        RestoreKeptValues();
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

    const bool WasOpen = ComPort1.Connected();
    ComPort1.Close();
    if (WasOpen)
        WireLog_.Report(TWireEventKind::Note, "closed");
    Kept_.Valid = false;
    LastReading_.reset();

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

}  // namespace varnolink
