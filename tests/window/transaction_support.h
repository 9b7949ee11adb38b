// SPDX-License-Identifier: MIT
#pragma once

// Pieces shared by the transaction suites: the frames the module should
// receive, the window compared with a module state, and a recorder of the
// order in which controls are disabled and enabled.

#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QStringList>

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "form_fixture.h"
#include "tests/support/read_chain_frames.h"

namespace transaction_test {

using namespace window_test;

using TFrames = std::vector<std::string>;

// The reply time-out for scenarios in which the module stays silent: short,
// but long enough for every answered request on a busy machine.
constexpr int ShortTimeoutMs = 1000;

inline std::string HexByte(uint8_t Value)
{
    char Text[8];
    std::snprintf(Text, sizeof Text, "%02X", static_cast<unsigned>(Value));
    return Text;
}

// A configuration with a different byte in every setting.
inline TModuleState ConfiguredState()
{
    TModuleState State;
    State.RemoteId = 0x5A;
    State.BaudIndex = 5;
    State.Directions = {0x12, 0x34, 0x56, 0x78, 0x9A};
    State.Defaults = {0xBC, 0xDE, 0xF0, 0x0F, 0xA5};
    return State;
}

using test_support::ReadChainFrames;

// The first Count frames of Chain: a chain cut short.
inline TFrames FirstOf(const TFrames& Chain, std::size_t Count)
{
    return TFrames(Chain.begin(), Chain.begin() + static_cast<std::ptrdiff_t>(Count));
}

inline TFrames Joined(std::initializer_list<TFrames> Parts)
{
    TFrames All;
    for (const TFrames& Part : Parts)
        All.insert(All.end(), Part.begin(), Part.end());
    return All;
}

// Captions of a row showing Value, bit 7 first.
inline QStringList RowCaptions(TPortGrid Grid, uint8_t Value)
{
    QStringList Texts;
    for (int Bit = 7; Bit >= 0; --Bit) {
        const bool Set = ((Value >> Bit) & 1u) != 0;
        if (Grid == TPortGrid::Direction)
            Texts << (Set ? "IN" : "OUT");
        else
            Texts << (Set ? "\"1\"" : "\"0\"");
    }
    return Texts;
}

// The state of a row that shows Value (see RowState).
inline QString RowShowing(TPortGrid Grid, uint8_t Value)
{
    return QString("%1 | %2 | %3")
        .arg(QString::fromStdString(HexByte(Value)), RowCaptions(Grid, Value).join(' '))
        .arg(static_cast<unsigned>(Value), 8, 2, QChar(u'0'));
}

inline QString Qs(const std::string& Text)
{
    return QString::fromStdString(Text);
}

// Everything that differs between the window and a full read of State; an
// empty list when the window shows exactly the module's configuration.
inline QStringList WindowMismatches(const TMainForm& Form, const TModuleState& State)
{
    QStringList Found;
    const auto Check = [&Found](const QString& What, const QString& Shown, const QString& Expected) {
        if (Shown != Expected)
            Found << QStringLiteral("%1: shows \"%2\", expected \"%3\"").arg(What, Shown, Expected);
    };
    Check("StatusConnect", Form.StatusConnect->text(), "Connect OK");
    Check("BiosNameDisplay", Form.BiosNameDisplay->text(), Qs(State.BiosName));
    Check("BIOSVersionDisplay", Form.BIOSVersionDisplay->text(), Qs(State.BiosVersion));
    Check("StatusDisplay", Form.StatusDisplay->text(), State.Status == 0 ? "Ready" : "Error");
    Check("IDDisplay", Form.IDDisplay->text(), Qs(HexByte(State.RemoteId)));
    Check("ComboBaud", Form.ComboBaud->currentText(), Form.ComboBaud->itemText(State.BaudIndex));
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        for (int Row = 0; Row < PortRowCount; ++Row) {
            const auto Index = static_cast<std::size_t>(Row);
            const uint8_t Value = Grid == TPortGrid::Direction ? State.Directions[Index] : State.Defaults[Index];
            const QLineEdit* Field = Form.ByteField(Grid, Row);
            Check(Field->objectName(), Field->text(), Qs(HexByte(Value)));
            Check(Field->objectName() + " captions", Captions(Form, Grid, Row).join(' '),
                  RowCaptions(Grid, Value).join(' '));
            const TMainForm::TBitRow& Bits = (Grid == TPortGrid::Direction ? Form.DirBits : Form.DefBits)[Index];
            for (int Bit = 0; Bit < PortBitCount; ++Bit)
                if (Bits[static_cast<std::size_t>(Bit)] != ((Value >> Bit) & 1u))
                    Found << QStringLiteral("%1 bit %2 in the table").arg(Field->objectName()).arg(Bit);
        }
    }
    return Found;
}

// The configuration fields that show anything: IDDisplay, ComboBaud,
// StatusDisplay, and each byte field with a text or a caption on its row.
inline QStringList ShownFields(const TMainForm& Form)
{
    QStringList Shown;
    if (!Form.IDDisplay->text().isEmpty())
        Shown << "IDDisplay";
    if (Form.ComboBaud->currentIndex() != -1)
        Shown << "ComboBaud";
    if (!Form.StatusDisplay->text().isEmpty())
        Shown << "StatusDisplay";
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row)
            if (!Form.ByteField(Grid, Row)->text().isEmpty() || Captions(Form, Grid, Row) != SameCaptions(""))
                Shown << Form.ByteField(Grid, Row)->objectName();
    return Shown;
}

// The window connected to the simulator with the module's configuration
// read, requests cleared; true when the window shows exactly the module.
inline bool OpenAndRead(TFormFixture& Fixture, const TModuleState& State, const TFaults& TFaults = {},
                        int TimeoutMs = 0)
{
    if (!Fixture.Open(State, TFaults, TimeoutMs))
        return false;
    Click(Fixture.Form->ReadConfig);
    Fixture.Simulator->ClearRequests();
    return WindowMismatches(*Fixture.Form, State).isEmpty();
}

// Everything that differs from a whole SAVE CONFIG of Saved: Writes, then
// the read-back, on the wire; Saved stored in the module and shown.
inline QStringList SaveMismatches(const TFormFixture& Fixture, const TFrames& Writes, const TModuleState& Saved)
{
    QStringList Found;
    const TFrames Sent = Fixture.Simulator->Requests();
    if (Sent != Joined({Writes, ReadChainFrames})) {
        QStringList Frames;
        for (const std::string& Frame : Sent)
            Frames << Qs(Frame).trimmed();
        Found << "on the wire: " + Frames.join(' ');
    }
    if (!(Fixture.Simulator->State() == Saved))
        Found << "the module stores another state";
    return Found + WindowMismatches(*Fixture.Form, Saved);
}

// The sixteen controls a transaction disables and enables, in their order.
inline const QStringList TransactionControlNames{
    "ReadConfig", "SaveConfig", "ClosePort", "SaveToDefault", "IDDisplay", "ComboBaud", "P0_DIR", "P1_DIR",
    "P2_DIR",     "P4_DIR",     "P5_DIR",    "P0_DEF",        "P1_DEF",    "P2_DEF",    "P4_DEF", "P5_DEF"};

// Records "-Name" when a watched control is disabled and "+Name" when it
// is enabled, in the order it happens.
class TEnabledChanges : public QObject {
public:
    explicit TEnabledChanges(const TMainForm& Form)
    {
        for (const QString& Name : TransactionControlNames)
            if (QWidget* Control = Form.findChild<QWidget*>(Name))
                Control->installEventFilter(this);
    }

    QStringList Changes;

    // What a transaction does to the controls: all sixteen off, then on.
    static QStringList WholeTransaction()
    {
        QStringList Expected;
        for (const QString& Name : TransactionControlNames)
            Expected << "-" + Name;
        for (const QString& Name : TransactionControlNames)
            Expected << "+" + Name;
        return Expected;
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        if (Event->type() == QEvent::EnabledChange)
            if (const auto* Control = qobject_cast<QWidget*>(Watched))
                Changes << (Control->isEnabled() ? "+" : "-") + Control->objectName();
        return false;
    }
};

// Display texts after a wait that timed out, with everything else blank.
inline QStringList TimedOutDisplay(const TMainForm& Form)
{
    return {Form.StatusConnect->text(), Form.BiosNameDisplay->text(), Form.BIOSVersionDisplay->text()};
}
inline const QStringList TimeOutTexts{"Time-Out", "Unknown", "Unknown"};

}  // namespace transaction_test
