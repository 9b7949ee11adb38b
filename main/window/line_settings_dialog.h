// SPDX-License-Identifier: MIT
// The dialog of File > "Line settings…".
#pragma once

#include <QDialog>

#include "main/window/line_settings.h"

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QSpinBox;

namespace varnolink {

// The line speed (the module's eight rates) and the kernel's RS-485 mode
// with its RTS levels, delays and receiving while sending. Shows the choice
// it is given; Choice() is what the controls say. OK needs at least one of
// the two RTS levels while the mode is on.
class TLineSettingsDialog : public QDialog {
    Q_OBJECT

public:
    explicit TLineSettingsDialog(const TLineChoice& Choice, QWidget* Parent = nullptr);

    TLineChoice Choice() const;

    QComboBox* Speed = nullptr;
    QGroupBox* Rs485Mode = nullptr;  // checked: the mode is on
    QCheckBox* RtsOnSend = nullptr;
    QCheckBox* RtsAfterSend = nullptr;
    QSpinBox* DelayBeforeSend = nullptr;  // ms
    QSpinBox* DelayAfterSend = nullptr;   // ms
    QCheckBox* RxDuringTx = nullptr;
    QDialogButtonBox* Buttons = nullptr;

private:
    void UpdateOk();
};

}  // namespace varnolink
