// The three configuration transactions: READ CONFIG, SAVE CONFIG and
// SAVE CONFIG TO DEFAULT. Each is a chain of request-and-wait steps, listed
// below as tables; a chain stops at the first request that gets no reply.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>

#include <array>
#include <cstdint>
#include <string>

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"

namespace {

using TStep = TMainForm::TRequestStep;

// Member requests without an argument, as chain steps.
template <void (TMainForm::*Request)()>
void Send(TMainForm& Form)
{
    (Form.*Request)();
}

// A port write with the value its byte field holds when the step is reached,
// so that a bit clicked while the chain runs is part of what is sent.
template <void (TMainForm::*Request)(uint8_t), TPortGrid Grid, int Row>
void SavePortField(TMainForm& Form)
{
    (Form.*Request)(HexStr2ToByte(Form.ByteField(Grid, Row)->text().toLatin1().toStdString()));
}

void SaveIDField(TMainForm& Form)
{
    Form.SaveIDCode(Form.IDDisplay->text().toLatin1().toStdString());
}

void SaveBaudSelection(TMainForm& Form)
{
    Form.SaveBaudrate(Form.ComboBaud->currentIndex());
}

// A write of a fixed value.
template <void (TMainForm::*Request)(uint8_t), uint8_t Value>
void SaveValue(TMainForm& Form)
{
    (Form.*Request)(Value);
}

void SaveFactoryID(TMainForm& Form)
{
    Form.SaveIDCode("01");
}

constexpr int FactoryBaudIndex = 3;  // 9600 baud

void SaveFactoryBaudrate(TMainForm& Form)
{
    Form.SaveBaudrate(FactoryBaudIndex);
}

// Everything the module holds, read into the window.
constexpr std::array<TStep, 14> ReadChain{
    Send<&TMainForm::ReadBIOSVersion>,   Send<&TMainForm::ReadStatus>,
    Send<&TMainForm::ReadIDCode>,        Send<&TMainForm::ReadBaudrate>,
    Send<&TMainForm::Read_P0_Direction>, Send<&TMainForm::Read_P1_Direction>,
    Send<&TMainForm::Read_P2_Direction>, Send<&TMainForm::Read_P4_Direction>,
    Send<&TMainForm::Read_P5_Direction>, Send<&TMainForm::Read_P0_Default>,
    Send<&TMainForm::Read_P1_Default>,   Send<&TMainForm::Read_P2_Default>,
    Send<&TMainForm::Read_P4_Default>,   Send<&TMainForm::Read_P5_Default>,
};

// What the window shows, written into the module.
constexpr std::array<TStep, 12> SaveChain{
    SaveIDField,
    SaveBaudSelection,
    SavePortField<&TMainForm::Save_P0_Direction, TPortGrid::Direction, 0>,
    SavePortField<&TMainForm::Save_P1_Direction, TPortGrid::Direction, 1>,
    SavePortField<&TMainForm::Save_P2_Direction, TPortGrid::Direction, 2>,
    SavePortField<&TMainForm::Save_P4_Direction, TPortGrid::Direction, 3>,
    SavePortField<&TMainForm::Save_P5_Direction, TPortGrid::Direction, 4>,
    SavePortField<&TMainForm::Save_P0_Default, TPortGrid::Default, 0>,
    SavePortField<&TMainForm::Save_P1_Default, TPortGrid::Default, 1>,
    SavePortField<&TMainForm::Save_P2_Default, TPortGrid::Default, 2>,
    SavePortField<&TMainForm::Save_P4_Default, TPortGrid::Default, 3>,
    SavePortField<&TMainForm::Save_P5_Default, TPortGrid::Default, 4>,
};

// The identity and status, then the factory settings: ID 01, 9600 baud,
// P0 and P1 outputs, P2 half inputs (bits 4 to 7), P4 and P5 inputs, every
// output high at power-on.
constexpr std::array<TStep, 14> FactoryChain{
    Send<&TMainForm::ReadBIOSVersion>,
    Send<&TMainForm::ReadStatus>,
    SaveFactoryID,
    SaveFactoryBaudrate,
    SaveValue<&TMainForm::Save_P0_Direction, 0x00>,
    SaveValue<&TMainForm::Save_P1_Direction, 0x00>,
    SaveValue<&TMainForm::Save_P2_Direction, 0xF0>,
    SaveValue<&TMainForm::Save_P4_Direction, 0xFF>,
    SaveValue<&TMainForm::Save_P5_Direction, 0xFF>,
    SaveValue<&TMainForm::Save_P0_Default, 0xFF>,
    SaveValue<&TMainForm::Save_P1_Default, 0xFF>,
    SaveValue<&TMainForm::Save_P2_Default, 0xFF>,
    SaveValue<&TMainForm::Save_P4_Default, 0xFF>,
    SaveValue<&TMainForm::Save_P5_Default, 0xFF>,
};

bool IsHexDigit(QChar Character)
{
    const char16_t Code = Character.unicode();
    return (Code >= u'0' && Code <= u'9') || (Code >= u'A' && Code <= u'F') || (Code >= u'a' && Code <= u'f');
}

bool HoldsTwoHexDigits(const QString& Text)
{
    return Text.size() == 2 && IsHexDigit(Text[0]) && IsHexDigit(Text[1]);
}

// A port row shows a value the operator has seen when its field holds two
// digits and none of its buttons carries the mark of a read still waiting
// for (or never given) its reply.
bool RowShowsValue(const TMainForm& Form, TPortGrid Grid, int Row)
{
    if (!HoldsTwoHexDigits(Form.ByteField(Grid, Row)->text()))
        return false;
    for (int Bit = 0; Bit < PortBitCount; ++Bit)
        if (Form.BitButton(Grid, Row, Bit)->text() == QLatin1String("?"))
            return false;
    return true;
}

// The fields SAVE CONFIG would have to invent a value for, named as the
// window labels them.
QStringList FieldsWithoutValue(const TMainForm& Form)
{
    QStringList Missing;
    if (!HoldsTwoHexDigits(Form.IDDisplay->text()))
        Missing << QStringLiteral("Remote ID Code");
    if (Form.ComboBaud->currentIndex() < 0 || Form.ComboBaud->currentIndex() >= BaudRateEntryCount)
        Missing << QStringLiteral("Remote Baudrate");
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        const QString GridName =
            Grid == TPortGrid::Direction ? QStringLiteral("I/O Direction") : QStringLiteral("Output Default");
        for (int Row = 0; Row < PortRowCount; ++Row)
            if (!RowShowsValue(Form, Grid, Row))
                Missing << QStringLiteral("%1 PORT P%2").arg(GridName).arg(PortDigits[static_cast<std::size_t>(Row)]);
    }
    return Missing;
}

}  // namespace

// The sixteen controls a transaction takes away from the operator while it
// runs, in the order they are disabled and enabled again. The bit buttons
// stay usable.
std::array<QWidget*, 16> TMainForm::TransactionControls() const
{
    return {ReadConfig,  SaveConfig,  ClosePort,   SaveToDefault, IDDisplay,   ComboBaud,
            ByteField(TPortGrid::Direction, 0),    ByteField(TPortGrid::Direction, 1),
            ByteField(TPortGrid::Direction, 2),    ByteField(TPortGrid::Direction, 3),
            ByteField(TPortGrid::Direction, 4),    ByteField(TPortGrid::Default, 0),
            ByteField(TPortGrid::Default, 1),      ByteField(TPortGrid::Default, 2),
            ByteField(TPortGrid::Default, 3),      ByteField(TPortGrid::Default, 4)};
}

TMainForm::TTransactionScope::TTransactionScope(TMainForm& Form) : Form_(Form)
{
    ++Form_.BusyDepth_;
    for (QWidget* Control : Form_.TransactionControls())
        Form_.SetControlEnabled(Control, false);
}

// Also when an error of the port ends the transaction early: the operator
// must get the controls back, "Close" above all.
// A device lost meanwhile takes the window to the closed state instead.
TMainForm::TTransactionScope::~TTransactionScope()
{
    if (--Form_.BusyDepth_ == 0 && Form_.LossPending_) {
        Form_.FinishDeviceLoss();
        return;
    }
    for (QWidget* Control : Form_.TransactionControls())
        Form_.SetControlEnabled(Control, true);
}

// Grids first, then the identity, status, ID and baud fields; the baud list
// shows no text exactly when no entry is selected.
void TMainForm::BlankDisplay()
{
    BlankGrid(TPortGrid::Direction);
    BlankGrid(TPortGrid::Default);
    BiosNameDisplay->clear();
    BIOSVersionDisplay->clear();
    StatusConnect->clear();
    IDDisplay->clear();
    ComboBaud->setCurrentIndex(-1);
    StatusDisplay->clear();
    ComboBaud->setCurrentIndex(-1);
}

bool TMainForm::TransactionMayGoOn() const
{
    // A closing window ends the transaction; so does a device that has gone
    // away, whose loss the operator has already been told about: it would
    // answer nothing, and every further write would only fail again.
    return !CloseRequested_ && !DeviceLossReported_;
}

bool TMainForm::RunRequestChain(std::span<const TRequestStep> Steps)
{
    for (const TRequestStep Step : Steps) {
        if (!TransactionMayGoOn())
            return false;
        try {
            Step(*this);
        } catch (const cport::EComPort& Failure) {
            // A device that is gone: its loss, reported once.
            if (TakeWriteFailureAsLoss(Failure))
                return false;
            // Any other refusal: its error, shown by the caller's error
            // display, is the one report of the failed line; the port's own
            // report of the lost device would only say it again.
            DeviceLossReported_ = true;
            throw;
        }
        WaitCommandExecute();
        if (ReplyReceived() != 1)
            return false;
    }
    return true;
}

void TMainForm::ReadConfigClick()
{
    const TTransactionScope Busy(*this);
    BlankDisplay();
    RunRequestChain(ReadChain);
}

void TMainForm::SaveConfigClick()
{
    // Writing a value the operator has never seen (a blank field, the "00"
    // left by a read that got no reply, a baud index of -1) would overwrite
    // the module's configuration with invented values.
    if (const QStringList Missing = FieldsWithoutValue(*this); !Missing.isEmpty()) {
        ShowErrorMessage(QStringLiteral("SAVE CONFIG has sent nothing: these fields hold no value read from the "
                                        "module or entered:\n\n%1\n\nRead the configuration (READ CONFIG) or enter "
                                        "the missing values, then save again.")
                             .arg(Missing.join(QLatin1Char('\n'))));
        return;
    }

    const TTransactionScope Busy(*this);
    RunRequestChain(SaveChain);
    // Whatever became of the writes, the window then shows what the module holds.
    if (!TransactionMayGoOn())
        return;
    BlankDisplay();
    RunRequestChain(ReadChain);
}

void TMainForm::SaveToDefaultClick()
{
    const TTransactionScope Busy(*this);
    BlankDisplay();
    RunRequestChain(FactoryChain);
}
