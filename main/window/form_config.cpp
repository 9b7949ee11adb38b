// SPDX-License-Identifier: MIT
// The configuration as the window's fields show it, both ways.
#include "main/window/form_config.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"
#include "main/window/main_form.h"

namespace varnolink {

namespace {

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

}  // namespace

QString ByteText(uint8_t Value)
{
    // Made once and shared: every change of a byte field asks for its text.
    static const auto Texts = [] {
        std::array<QString, 256> All;
        for (std::size_t Byte = 0; Byte < All.size(); ++Byte)
            All[Byte] = QString::fromStdString(HexByteToStr2(static_cast<uint8_t>(Byte)));
        return All;
    }();
    return Texts[Value];
}

uint8_t FieldByte(const QLineEdit* Field)
{
    // The first two characters are all that count; one outside Latin-1
    // becomes a character that is no digit, as in the Latin-1 text.
    const QString Text = Field->text();
    std::array<char, 2> Digits{};
    const qsizetype Count = std::min<qsizetype>(Text.size(), 2);
    for (qsizetype Index = 0; Index < Count; ++Index) {
        const char16_t Code = Text[Index].unicode();
        Digits[static_cast<std::size_t>(Index)] = Code <= 0xFF ? static_cast<char>(Code) : '?';
    }
    return HexStr2ToByte(std::string_view(Digits.data(), static_cast<std::size_t>(Count)));
}

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

TPartialModuleConfig ShownFields(const TMainForm& Form)
{
    TPartialModuleConfig Shown;
    if (HoldsTwoHexDigits(Form.IDDisplay->text()))
        Shown.RemoteId = FieldByte(Form.IDDisplay);
    if (Form.ComboBaud->currentIndex() >= 0 && Form.ComboBaud->currentIndex() < BaudRateEntryCount)
        Shown.BaudIndex = Form.ComboBaud->currentIndex();
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row)
            if (RowShowsValue(Form, Grid, Row))
                Shown.PortByte(Grid, Row) = FieldByte(Form.ByteField(Grid, Row));
    return Shown;
}

std::optional<TModuleConfig> ShownConfig(const TMainForm& Form)
{
    const TPartialModuleConfig Shown = ShownFields(Form);
    if (!Shown.MissingFields().empty())
        return std::nullopt;
    return Shown.Over(TModuleConfig{});
}

void TypeConfig(TMainForm& Form, const TPartialModuleConfig& Config)
{
    if (Config.RemoteId)
        Form.IDDisplay->setText(ByteText(*Config.RemoteId));
    if (Config.BaudIndex)
        Form.ComboBaud->setCurrentIndex(*Config.BaudIndex);
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row)
            if (const std::optional<uint8_t>& Byte = Config.PortByte(Grid, Row))
                Form.ByteField(Grid, Row)->setText(ByteText(*Byte));
}

}  // namespace varnolink
