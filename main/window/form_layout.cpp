// SPDX-License-Identifier: MIT
// The window's controls: positions, captions, fonts and tab order.

#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <initializer_list>

#include "main/protocol/baud_table.h"
#include "main/window/main_form.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

namespace {

const char* const FormCaption =
    "VARNOLINK I/O (RS485 Control) Setup Configuration Version 1.00a [Update : 15/October/2005]";

constexpr int ClientWidth = 714;
constexpr int ClientHeight = 350;
constexpr int FontPointSize = 10;
constexpr int FieldHeight = 24;
constexpr int ButtonHeight = 23;

// Bit b of a grid row: left edge and width (bit 7 stands leftmost).
struct TBitColumn {
    int Left;
    int Width;
};
constexpr std::array<TBitColumn, PortBitCount> BitColumns{
    {{386, 38}, {342, 38}, {297, 38}, {253, 38}, {208, 38}, {163, 39}, {119, 38}, {74, 38}}};

struct TGridRow {
    int LabelTop;
    int Top;
    int Height;
};
constexpr std::array<TGridRow, PortRowCount> GridRows{
    {{30, 22, 24}, {59, 52, 23}, {89, 82, 23}, {119, 111, 24}, {149, 141, 23}}};

constexpr int RowLabelLeft = 7;
constexpr int ByteFieldLeft = 438;
constexpr int ByteFieldWidth = 38;

// Courier New where it is installed, else a font with the same metrics.
QFont FormFont(bool Bold)
{
    QString Family = QStringLiteral("Courier New");
    if (!QFontDatabase::hasFamily(Family))
        Family = QFontDatabase::hasFamily(QStringLiteral("Liberation Mono"))
                     ? QStringLiteral("Liberation Mono")
                     : QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    QFont Font(Family, FontPointSize, Bold ? QFont::Bold : QFont::Normal);
    Font.setStyleHint(QFont::TypeWriter);
    return Font;
}

QLabel* AddLabel(QWidget* Parent, const QString& Caption, int Left, int Top)
{
    auto* Label = new QLabel(Caption, Parent);
    Label->move(Left, Top);
    Label->adjustSize();
    return Label;
}

QLineEdit* AddField(QWidget* Parent, const char* Name, int Left, int Top, int Width)
{
    auto* Field = new QLineEdit(Parent);
    Field->setObjectName(QString::fromLatin1(Name));
    Field->setGeometry(Left, Top, Width, FieldHeight);
    return Field;
}

QLineEdit* AddDisplayField(QWidget* Parent, const char* Name, int Left, int Top, int Width)
{
    QLineEdit* Field = AddField(Parent, Name, Left, Top, Width);
    Field->setReadOnly(true);
    return Field;
}

QPushButton* AddButton(QWidget* Parent, const char* Name, const char* Caption, int Left, int Top, int Width)
{
    auto* Button = new QPushButton(QString::fromLatin1(Caption), Parent);
    Button->setObjectName(QString::fromLatin1(Name));
    Button->setGeometry(Left, Top, Width, ButtonHeight);
    Button->setAutoDefault(false);
    return Button;
}

QGroupBox* AddGroup(QWidget* Parent, const char* Name, const char* Caption, int Left, int Top, int Width, int Height)
{
    auto* Box = new QGroupBox(QString::fromLatin1(Caption), Parent);
    Box->setObjectName(QString::fromLatin1(Name));
    Box->setGeometry(Left, Top, Width, Height);
    return Box;
}

QString GridName(TPortGrid Grid)
{
    return Grid == TPortGrid::Direction ? QStringLiteral("DIR") : QStringLiteral("DEF");
}

}  // namespace

void TMainForm::BuildLayout()
{
    setWindowTitle(QString::fromLatin1(FormCaption));
    setObjectName(QStringLiteral("MainForm"));
    setFont(FormFont(true));
    setFixedSize(ClientWidth, ClientHeight);

    // Created in tab order, so the focus chain starts right; SetTabOrder
    // then states it explicitly.
    GroupBox2 = AddGroup(this, "GroupBox2", "Port I/O Direction(0=Output,1=Input)", 0, 0, 484, 172);
    BuildGrid(GroupBox2, TPortGrid::Direction);

    GroupBox3 = AddGroup(this, "GroupBox3", "Setup Communication Port", 490, 0, 224, 172);
    AddLabel(GroupBox3, QStringLiteral("Com Port"), 7, 30);
    AddLabel(GroupBox3, QStringLiteral("Connect"), 7, 59);
    AddLabel(GroupBox3, QStringLiteral("BIOS Name"), 7, 89);
    AddLabel(GroupBox3, QStringLiteral("BIOS Version"), 7, 119);
    ComboPort = new TPortComboBox(GroupBox3);
    ComboPort->setObjectName(QStringLiteral("ComboPort"));
    ComboPort->setGeometry(89, 22, 127, FieldHeight);
    OpenPort = AddButton(GroupBox3, "OpenPort", "Open", 7, 141, 76);
    ClosePort = AddButton(GroupBox3, "ClosePort", "Close", 141, 141, 75);
    StatusConnect = AddDisplayField(GroupBox3, "StatusConnect", 89, 52, 127);
    BiosNameDisplay = AddDisplayField(GroupBox3, "BiosNameDisplay", 89, 82, 127);
    BIOSVersionDisplay = AddDisplayField(GroupBox3, "BIOSVersionDisplay", 126, 111, 90);

    GroupBox1 = AddGroup(this, "GroupBox1", "Power-on Port Output Default Logic", 0, 178, 484, 172);
    BuildGrid(GroupBox1, TPortGrid::Default);

    SaveConfig = AddButton(this, "SaveConfig", "SAVE CONFIG", 490, 327, 105);
    ReadConfig = AddButton(this, "ReadConfig", "READ CONFIG", 617, 327, 97);

    GroupBox4 = AddGroup(this, "GroupBox4", "Code Setup and Display", 490, 178, 224, 113);
    AddLabel(GroupBox4, QStringLiteral("Remote Status"), 7, 30);
    AddLabel(GroupBox4, QStringLiteral("Remote ID Code"), 7, 59);
    AddLabel(GroupBox4, QStringLiteral("Remote Baudrate"), 7, 89);
    IDDisplay = AddField(GroupBox4, "IDDisplay", 141, 52, 75);
    ComboBaud = new QComboBox(GroupBox4);
    ComboBaud->setObjectName(QStringLiteral("ComboBaud"));
    ComboBaud->setGeometry(141, 82, 75, FieldHeight);
    for (const std::string_view Entry : BaudRateEntries)
        ComboBaud->addItem(QString::fromLatin1(Entry.data(), static_cast<qsizetype>(Entry.size())));
    ComboBaud->setCurrentIndex(-1);
    StatusDisplay = AddDisplayField(GroupBox4, "StatusDisplay", 134, 22, 82);

    SaveToDefault = AddButton(this, "SaveToDefault", "SAVE CONFIG TO DEFAULT", 490, 297, 224);

    SetTabOrder();
}

void TMainForm::BuildGrid(QGroupBox* Box, TPortGrid Grid)
{
    const int G = static_cast<int>(Grid);
    // The grids' texts (hexadecimal digits, "?", "IN", "OUT", "\"1\"") look
    // the same in the monospaced font with or without text shaping, and a
    // READ CONFIG lays them out a few hundred times: they go without it.
    QFont BitFont = FormFont(false);
    BitFont.setStyleStrategy(QFont::PreferNoShaping);
    QFont FieldFont = FormFont(true);
    FieldFont.setStyleStrategy(QFont::PreferNoShaping);
    for (int Row = 0; Row < PortRowCount; ++Row) {
        const int Digit = PortDigits[static_cast<std::size_t>(Row)];
        const TGridRow& Place = GridRows[static_cast<std::size_t>(Row)];
        AddLabel(Box, QStringLiteral("PORT P%1").arg(Digit), RowLabelLeft, Place.LabelTop);
        for (int Bit = PortBitCount - 1; Bit >= 0; --Bit) {
            const TBitColumn& Column = BitColumns[static_cast<std::size_t>(Bit)];
            auto* Button = new QPushButton(Box);
            Button->setObjectName(GridName(Grid) + QString::number(Digit) + QString::number(Bit));
            Button->setGeometry(Column.Left, Place.Top, Column.Width, Place.Height);
            // The button's place is fixed (no layout moves it): held at its
            // size, a caption change does not ask the grid for a new layout.
            Button->setFixedSize(Button->size());
            Button->setFont(BitFont);
            Button->setAutoDefault(false);
            BitButtons_[static_cast<std::size_t>(G)][static_cast<std::size_t>(Row)][static_cast<std::size_t>(Bit)] =
                Button;
        }
    }
    for (int Row = 0; Row < PortRowCount; ++Row) {
        const int Digit = PortDigits[static_cast<std::size_t>(Row)];
        const TGridRow& Place = GridRows[static_cast<std::size_t>(Row)];
        auto* Field = new QLineEdit(Box);
        Field->setObjectName(QStringLiteral("P%1_").arg(Digit) + GridName(Grid));
        Field->setGeometry(ByteFieldLeft, Place.Top, ByteFieldWidth, FieldHeight);
        Field->setFont(FieldFont);
        ByteFields_[static_cast<std::size_t>(G)][static_cast<std::size_t>(Row)] = Field;
    }
}

void TMainForm::SetTabOrder()
{
    std::vector<QWidget*> Chain;
    auto AddGrid = [&](TPortGrid Grid) {
        for (int Row = 0; Row < PortRowCount; ++Row)
            for (int Bit = PortBitCount - 1; Bit >= 0; --Bit)
                Chain.push_back(BitButton(Grid, Row, Bit));
        for (int Row = 0; Row < PortRowCount; ++Row)
            Chain.push_back(ByteField(Grid, Row));
    };
    AddGrid(TPortGrid::Direction);
    for (QWidget* Control : std::initializer_list<QWidget*>{ComboPort, OpenPort, ClosePort, StatusConnect,
                                                            BiosNameDisplay, BIOSVersionDisplay})
        Chain.push_back(Control);
    AddGrid(TPortGrid::Default);
    for (QWidget* Control :
         std::initializer_list<QWidget*>{SaveConfig, ReadConfig, IDDisplay, ComboBaud, StatusDisplay, SaveToDefault})
        Chain.push_back(Control);
    for (std::size_t Index = 1; Index < Chain.size(); ++Index)
        QWidget::setTabOrder(Chain[Index - 1], Chain[Index]);
}

QPushButton* TMainForm::BitButton(TPortGrid Grid, int Row, int Bit) const
{
    return BitButtons_.at(static_cast<std::size_t>(Grid))
        .at(static_cast<std::size_t>(Row))
        .at(static_cast<std::size_t>(Bit));
}

QLineEdit* TMainForm::ByteField(TPortGrid Grid, int Row) const
{
    return ByteFields_.at(static_cast<std::size_t>(Grid)).at(static_cast<std::size_t>(Row));
}

}  // namespace varnolink
