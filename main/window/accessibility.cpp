// SPDX-License-Identifier: MIT
// Names and descriptions for screen readers. A bit button's name says which
// pin it is and what it holds now ("P0 direction, bit 7, input"), so the
// grids can be walked without seeing them; it follows every caption change.

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include <array>
#include <cstddef>

#include "main/protocol/port_table.h"
#include "main/window/main_form.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

namespace {

QString PortLabel(int Row)
{
    return QStringLiteral("P%1").arg(PortDigits[static_cast<std::size_t>(Row)]);
}

QString GridWord(TPortGrid Grid)
{
    return Grid == TPortGrid::Direction ? QStringLiteral("direction") : QStringLiteral("power-on level");
}

// What a caption means: nothing yet, being read, a bit of 1 or of 0.
enum TCaptionMeaning : std::size_t { cmNoValue, cmBeingRead, cmSet, cmClear, CaptionMeaningCount };

TCaptionMeaning MeaningOf(const QString& Caption)
{
    if (Caption.isEmpty())
        return cmNoValue;
    if (Caption == QLatin1String("?"))
        return cmBeingRead;
    return Caption == QLatin1String("IN") || Caption == QLatin1String("\"1\"") ? cmSet : cmClear;
}

// The meaning in words.
QString MeaningText(TPortGrid Grid, std::size_t Meaning)
{
    switch (Meaning) {
    case cmNoValue:
        return QStringLiteral("no value");
    case cmBeingRead:
        return QStringLiteral("being read");
    case cmSet:
        return Grid == TPortGrid::Direction ? QStringLiteral("input") : QStringLiteral("high");
    default:
        return Grid == TPortGrid::Direction ? QStringLiteral("output") : QStringLiteral("low");
    }
}

// Every name a bit button can have ("P0 direction, bit 7, input"), made
// once: a READ CONFIG writes a few hundred captions, and formatting each
// name again cost more than the rest of its exchange.
const QString& BitButtonName(TPortGrid Grid, int Row, int Bit, const QString& Caption)
{
    constexpr std::size_t PerGrid = std::size_t{PortRowCount} * PortBitCount * CaptionMeaningCount;
    static const auto Names = [] {
        std::array<QString, 2 * PerGrid> All;
        std::size_t At = 0;
        for (const TPortGrid Each : {TPortGrid::Direction, TPortGrid::Default})
            for (int EachRow = 0; EachRow < PortRowCount; ++EachRow)
                for (int EachBit = 0; EachBit < PortBitCount; ++EachBit)
                    for (std::size_t Meaning = 0; Meaning < CaptionMeaningCount; ++Meaning)
                        All[At++] = QStringLiteral("%1 %2, bit %3, %4")
                                        .arg(PortLabel(EachRow), GridWord(Each))
                                        .arg(EachBit)
                                        .arg(MeaningText(Each, Meaning));
        return All;
    }();
    const std::size_t GridIndex = Grid == TPortGrid::Direction ? 0 : 1;
    return Names[((GridIndex * PortRowCount + static_cast<std::size_t>(Row)) * PortBitCount +
                  static_cast<std::size_t>(Bit)) *
                     CaptionMeaningCount +
                 MeaningOf(Caption)];
}

void Describe(QWidget* Control, const QString& Name, const QString& Description)
{
    Control->setAccessibleName(Name);
    Control->setAccessibleDescription(Description);
}

}  // namespace

// The byte fields' change handlers write whole rows again with the
// captions they already show: a caption that stays keeps its name (the
// name follows the caption alone), and a screen reader is not told again.
void TMainForm::SetBitButtonText(TPortGrid Grid, int Row, int Bit, const QString& Caption)
{
    QPushButton* const Button = BitButton(Grid, Row, Bit);
    if (Button->text() == Caption && !Button->accessibleName().isEmpty())
        return;
    Button->setText(Caption);
    Button->setAccessibleName(BitButtonName(Grid, Row, Bit, Caption));
}

void TMainForm::DescribeControls()
{
    Describe(GroupBox2, GroupBox2->title(), QStringLiteral("Direction of every pin of the five ports, bit 7 first"));
    Describe(GroupBox1, GroupBox1->title(), QStringLiteral("Level every output pin takes at power-on, bit 7 first"));
    Describe(GroupBox3, GroupBox3->title(), QStringLiteral("Serial port of the module and its identity"));
    Describe(GroupBox4, GroupBox4->title(), QStringLiteral("Status, Remote ID and baud rate of the module"));
    Describe(ComboPort, QStringLiteral("Com Port"), QStringLiteral("Serial port the module is attached to"));
    Describe(OpenPort, QStringLiteral("Open"), QStringLiteral("Opens the chosen port and identifies the module"));
    Describe(ClosePort, QStringLiteral("Close"), QStringLiteral("Closes the port"));
    Describe(StatusConnect, QStringLiteral("Connect"), QStringLiteral("State of the connection to the module"));
    Describe(BiosNameDisplay, QStringLiteral("BIOS Name"), QStringLiteral("BIOS name the module reported"));
    Describe(BIOSVersionDisplay, QStringLiteral("BIOS Version"), QStringLiteral("BIOS version the module reported"));
    Describe(StatusDisplay, QStringLiteral("Remote Status"), QStringLiteral("Status the module reported"));
    Describe(IDDisplay, QStringLiteral("Remote ID Code"),
             QStringLiteral("Remote ID of the module, two hexadecimal digits"));
    Describe(ComboBaud, QStringLiteral("Remote Baudrate"), QStringLiteral("Baud rate of the module's own line"));
    Describe(SaveToDefault, SaveToDefault->text(), QStringLiteral("Writes the factory configuration into the module"));
    Describe(SaveConfig, SaveConfig->text(),
             QStringLiteral("Writes the configuration shown into the module and reads it back"));
    Describe(ReadConfig, ReadConfig->text(), QStringLiteral("Reads the module's configuration into the window"));

    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        const QString Toggle = Grid == TPortGrid::Direction
                                   ? QStringLiteral("Switches the pin between input and output")
                                   : QStringLiteral("Switches the pin's power-on level between high and low");
        for (int Row = 0; Row < PortRowCount; ++Row) {
            for (int Bit = 0; Bit < PortBitCount; ++Bit) {
                BitButton(Grid, Row, Bit)->setAccessibleDescription(Toggle);
                SetBitButtonText(Grid, Row, Bit, BitButton(Grid, Row, Bit)->text());
            }
            Describe(
                ByteField(Grid, Row), QStringLiteral("%1 %2 byte").arg(PortLabel(Row), GridWord(Grid)),
                QStringLiteral("The %1 %2 as two hexadecimal digits, bit 7 first").arg(PortLabel(Row), GridWord(Grid)));
        }
    }
}

}  // namespace varnolink
