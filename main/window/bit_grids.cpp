// SPDX-License-Identifier: MIT
// The two bit grids, their byte fields and the Remote ID field: buttons,
// fields and the bit tables kept in agreement.
//
// Every write of a field's text that changes it raises textChanged at once,
// before the write returns, and a write that changes nothing raises nothing
// (QLineEdit behaves so); the change handlers below rely on it.

#include <QLineEdit>
#include <QPushButton>

#include "main/protocol/hex.h"
#include "main/window/form_config.h"
#include "main/window/main_form.h"

namespace varnolink {

namespace {

constexpr qsizetype ByteTextLength = 2;

QString BitCaption(TPortGrid Grid, uint8_t Value)
{
    if (Grid == TPortGrid::Direction)
        return Value == 1 ? QStringLiteral("IN") : QStringLiteral("OUT");
    return Value == 1 ? QStringLiteral("\"1\"") : QStringLiteral("\"0\"");
}

}  // namespace

void TMainForm::ShowByte(TPortGrid Grid, int Row)
{
    const TBitRow& Bits = BitTable(Grid).at(static_cast<std::size_t>(Row));
    uint8_t Value = 0;
    for (int Bit = 0; Bit < PortBitCount; ++Bit)
        if (Bits[static_cast<std::size_t>(Bit)] == 1)
            Value = static_cast<uint8_t>(Value | (1u << Bit));
    // Writing the text the field holds already does nothing, as everywhere
    // in the window; Qt would still lay it out anew, and the change handler
    // shows each row it spreads once more.
    QLineEdit* const Field = ByteField(Grid, Row);
    const QString Text = ByteText(Value);
    if (Field->text() != Text)
        Field->setText(Text);
}

void TMainForm::DisplayByte(TPortGrid Grid, int Row, uint8_t Value)
{
    TBitRow& Bits = BitTable(Grid).at(static_cast<std::size_t>(Row));
    for (int Bit = 0; Bit < PortBitCount; ++Bit) {
        Bits[static_cast<std::size_t>(Bit)] = static_cast<uint8_t>((Value >> Bit) & 1u);
        // A row being marked for a read gets its "?" marks right after its
        // field's handler has run: captions written meanwhile would never be
        // painted, only set and announced to a screen reader in passing.
        if (!MarkingRow_)
            SetBitButtonText(Grid, Row, Bit, BitCaption(Grid, Bits[static_cast<std::size_t>(Bit)]));
    }
}

void TMainForm::DisplayPortReplyText(TPortGrid Grid, int Row, const std::string& Data)
{
    // The field's change handler spreads and normalises the text; the bits
    // are set from the data again so the row is right either way.
    ByteField(Grid, Row)->setText(QString::fromLatin1(Data.data(), static_cast<qsizetype>(Data.size())));
    DisplayByte(Grid, Row, HexStr2ToByte(Data));
}

void TMainForm::BitClick(TPortGrid Grid, int Row, int Bit)
{
    uint8_t& Entry = BitTable(Grid).at(static_cast<std::size_t>(Row)).at(static_cast<std::size_t>(Bit));
    Entry = Entry == 1 ? 0 : 1;
    SetBitButtonText(Grid, Row, Bit, BitCaption(Grid, Entry));
    ShowByte(Grid, Row);
}

void TMainForm::ByteFieldChange(TPortGrid Grid, int Row)
{
    const QLineEdit* Field = ByteField(Grid, Row);
    if (Field->text().size() != ByteTextLength)
        return;  // incomplete: buttons and table keep their values
    DisplayByte(Grid, Row, FieldByte(Field));
    ShowByte(Grid, Row);  // normal form; changes the text at most once more
}

void TMainForm::ByteFieldClick(TPortGrid Grid, int Row)
{
    ByteField(Grid, Row)->clear();
}

void TMainForm::ByteFieldEnter(TPortGrid Grid, int Row)
{
    ByteField(Grid, Row)->clear();
}

void TMainForm::ByteFieldExit(TPortGrid Grid, int Row)
{
    QLineEdit* Field = ByteField(Grid, Row);
    if (Field->text().size() != ByteTextLength)
        Field->setText(QStringLiteral("00"));
    DisplayByte(Grid, Row, FieldByte(Field));
    ShowByte(Grid, Row);
}

void TMainForm::IDDisplayChange()
{
    if (IDDisplay->text().size() == ByteTextLength)
        IDDisplay->setText(ByteText(FieldByte(IDDisplay)));
}

void TMainForm::IDDisplayClick()
{
    IDDisplay->clear();
}

void TMainForm::IDDisplayEnter()
{
    IDDisplay->clear();
}

void TMainForm::IDDisplayExit()
{
    if (IDDisplay->text().size() != ByteTextLength)
        IDDisplay->setText(QStringLiteral("01"));
}

}  // namespace varnolink
