// SPDX-License-Identifier: MIT
// The dialog of File > "Line settings…".
#include "main/window/line_settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <limits>
#include <string>

#include "main/protocol/baud_table.h"

namespace varnolink {

namespace {

QSpinBox* DelayBox(const QString& Name, int32_t Value, QWidget* Parent)
{
    auto* Box = new QSpinBox(Parent);
    Box->setObjectName(Name);
    Box->setRange(0, std::numeric_limits<int32_t>::max());
    Box->setSuffix(QStringLiteral(" ms"));
    Box->setValue(Value);
    return Box;
}

}  // namespace

TLineSettingsDialog::TLineSettingsDialog(const TLineChoice& Choice, QWidget* Parent) : QDialog(Parent)
{
    setObjectName(QStringLiteral("LineSettingsDialog"));
    setWindowTitle(QStringLiteral("Line settings"));
    const TRs485Choice Rs485 = Choice.Rs485.value_or(TRs485Choice{});

    Speed = new QComboBox(this);
    Speed->setObjectName(QStringLiteral("LineSpeed"));
    for (const std::string_view Rate : BaudRateEntries)
        Speed->addItem(QString::fromLatin1(Rate.data(), static_cast<qsizetype>(Rate.size())));
    Speed->setCurrentText(QString::number(Choice.Baud));

    Rs485Mode = new QGroupBox(QStringLiteral("Kernel RS-485 mode (the driver switches the transceiver)"), this);
    Rs485Mode->setObjectName(QStringLiteral("Rs485Mode"));
    Rs485Mode->setCheckable(true);
    Rs485Mode->setChecked(Choice.Rs485.has_value());
    RtsOnSend = new QCheckBox(QStringLiteral("RTS high while sending"), Rs485Mode);
    RtsOnSend->setObjectName(QStringLiteral("RtsOnSend"));
    RtsOnSend->setChecked(Rs485.RtsOnSend);
    RtsAfterSend = new QCheckBox(QStringLiteral("RTS high after sending"), Rs485Mode);
    RtsAfterSend->setObjectName(QStringLiteral("RtsAfterSend"));
    RtsAfterSend->setChecked(Rs485.RtsAfterSend);
    DelayBeforeSend = DelayBox(QStringLiteral("DelayBeforeSend"), Rs485.DelayBeforeSendMs, Rs485Mode);
    DelayAfterSend = DelayBox(QStringLiteral("DelayAfterSend"), Rs485.DelayAfterSendMs, Rs485Mode);
    RxDuringTx = new QCheckBox(QStringLiteral("Receive while sending"), Rs485Mode);
    RxDuringTx->setObjectName(QStringLiteral("RxDuringTx"));
    RxDuringTx->setChecked(Rs485.RxDuringTx);

    auto* Rs485Form = new QFormLayout(Rs485Mode);
    Rs485Form->addRow(RtsOnSend);
    Rs485Form->addRow(RtsAfterSend);
    Rs485Form->addRow(QStringLiteral("Delay before sending:"), DelayBeforeSend);
    Rs485Form->addRow(QStringLiteral("Delay after sending:"), DelayAfterSend);
    Rs485Form->addRow(RxDuringTx);

    Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* SpeedForm = new QFormLayout;
    SpeedForm->addRow(QStringLiteral("Line speed (baud):"), Speed);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(SpeedForm);
    Layout->addWidget(Rs485Mode);
    Layout->addWidget(Buttons);

    for (QCheckBox* Box : {RtsOnSend, RtsAfterSend})
        connect(Box, &QCheckBox::toggled, this, [this] { UpdateOk(); });
    connect(Rs485Mode, &QGroupBox::toggled, this, [this] { UpdateOk(); });
    UpdateOk();
}

TLineChoice TLineSettingsDialog::Choice() const
{
    TLineChoice Choice;
    Choice.Baud = Speed->currentText().toInt();
    if (Rs485Mode->isChecked())
        Choice.Rs485 = TRs485Choice{RtsOnSend->isChecked(), RtsAfterSend->isChecked(), DelayBeforeSend->value(),
                                    DelayAfterSend->value(), RxDuringTx->isChecked()};
    return Choice;
}

void TLineSettingsDialog::UpdateOk()
{
    Buttons->button(QDialogButtonBox::Ok)
        ->setEnabled(!Rs485Mode->isChecked() || RtsOnSend->isChecked() || RtsAfterSend->isChecked());
}

}  // namespace varnolink
