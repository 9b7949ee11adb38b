// SPDX-License-Identifier: MIT
// The device of the open port going away: an adapter pulled, a line hung up,
// udev reporting the device removed, or a write the device refuses because
// it is gone. The window goes to the closed state, keeps what it shows, and
// tells the operator once, naming the adapter.

#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <system_error>

#include "main/ports/failure_reason.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

TMainForm::TBusyScope::TBusyScope(TMainForm& Form) : Form_(Form)
{
    ++Form_.BusyDepth_;
}

TMainForm::TBusyScope::~TBusyScope()
{
    if (--Form_.BusyDepth_ == 0 && Form_.LossPending_)
        Form_.FinishDeviceLoss();
}

QString TMainForm::OpenAdapterText() const
{
    const QString Path = QString::fromStdString(ComPort1.Port());
    return OpenAdapterName_.isEmpty() ? Path : QStringLiteral("%1 (%2)").arg(Path, OpenAdapterName_);
}

void TMainForm::RememberOpenAdapter()
{
    std::error_code Ignored;
    OpenDevicePath_ = std::filesystem::weakly_canonical(ComPort1.Port(), Ignored).string();
    OpenAdapterName_ = ComboPort->PortDescription(ComboPort->currentText());
    OpenAdapterId_ = ComboPort->ShownAdapterId();
    // Whatever was lost before is not looked for any more.
    LostAdapterId_.clear();
}

void TMainForm::ComPort1Error(cport::TComErrors Errors)
{
    if (!Errors.Contains(cport::leIOError))
        return;
    NoteDeviceLoss(QStringLiteral("The serial device %1 has stopped working: the device is gone (unplugged?).\n"
                                  "The port has been closed and the values on screen are kept. Plug the adapter "
                                  "in again and press \"Open\".")
                       .arg(OpenAdapterText()));
}

void TMainForm::NoteDeviceLoss(const QString& Message)
{
    if (DeviceLossReported_ || !ComPort1.Connected())
        return;
    DeviceLossReported_ = true;
    LossPending_ = true;
    LossMessage_ = Message;
    WireLog_.Report(TWireEventKind::DeviceLost, "the device " + ComPort1.Port() + " has gone away");
    // The chain on the line ends here; a reply wait ends now, as
    // unanswered, and writes nothing.
    Session_.DeviceLost({});
    ShowSessionEvents();
    if (ActiveWait_ != nullptr)
        ActiveWait_->quit();
    // Finished from the event loop rather than inside the serial hand-over
    // (closing the port waits for the event thread that is handing over),
    // or by the handler at work when it ends.
    QTimer::singleShot(0, this, Guarded([this] {
                           if (BusyDepth_ == 0 && LossPending_)
                               FinishDeviceLoss();
                       }));
}

bool TMainForm::TakeWriteFailureAsLoss(const cport::EComPort& Failure)
{
    if (!MeansDeviceGone(Failure.SystemErrorCode()))
        return false;
    NoteDeviceLoss(ErrorReportText(std::make_exception_ptr(Failure)) +
                   QStringLiteral("\nThe serial device %1 has been closed and the values on screen are kept. "
                                  "Plug the adapter in again and press \"Open\".")
                       .arg(OpenAdapterText()));
    return true;
}

void TMainForm::FinishDeviceLoss()
{
    LossPending_ = false;
    LostAdapterId_ = OpenAdapterId_;
    Kept_ = {true, IDDisplay->text(), ComboBaud->currentIndex()};
    EnterClosedAfterLoss();
    WireLog_.Report(TWireEventKind::Note, "closed");
    ShowErrorMessage(LossMessage_);
}

// The closed state as after "Close", without blanking anything.
void TMainForm::EnterClosedAfterLoss()
{
    SetBitButtonsEnabled(false);
    SetByteFieldsEnabled(false);
    RunGuarded([this] { ComPort1.Close(); });
    for (QWidget* Control :
         std::initializer_list<QWidget*>{BiosNameDisplay, BIOSVersionDisplay, ComboBaud, IDDisplay, StatusDisplay,
                                         ClosePort, SaveConfig, ReadConfig, SaveToDefault})
        SetControlEnabled(Control, false);
    StatusConnect->setText(QStringLiteral("Disconnect"));
    SetControlEnabled(ComboPort, true);
    SetControlEnabled(OpenPort, true);
}

// After a loss the Remote ID and baud rate the operator had are given back
// once the module has answered again, so they can be saved.
void TMainForm::RestoreKeptValues()
{
    if (!Kept_.Valid)
        return;
    Kept_.Valid = false;
    if (!Kept_.RemoteId.isEmpty())
        IDDisplay->setText(Kept_.RemoteId);
    if (Kept_.BaudIndex >= 0)
        ComboBaud->setCurrentIndex(Kept_.BaudIndex);
}

}  // namespace varnolink
