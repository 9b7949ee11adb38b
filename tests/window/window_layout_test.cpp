// SPDX-License-Identifier: MIT
// The window as it comes up: caption, size, controls and their places,
// names, fonts, tab order, the start-up state, the entry fields' typing
// rules and the text-setting rule the grids rely on.

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "form_fixture.h"
#include "main/window/port_combo_box.h"

using namespace window_test;

class TWindowLayoutTest : public QObject {
    Q_OBJECT

private slots:
    // Each test gets a fresh window with no port to offer.
    void init() { Form_ = ShowForm({}); }
    void cleanup() { Form_.reset(); }
    void CaptionAndFixedClientSize();
    void ControlsAtTheirPlacesWithTheirCaptions();
    void GridsNamedAndPlacedFromTheTables();
    void FontsBoldMonospacedBitButtonsRegular();
    void TabOrderFollowsTheLayout();
    void StartUpStateHasOnlyThePortListEnabled();
    void BaudListHasTheEightRatesInOrderNothingSelected();
    void TypedLettersBecomeCapitalsAndAtMostTwoAreTaken();
    void TextWriteRaisesChangeAtOnceAndOnlyWhenTheTextDiffers();

private:
    std::unique_ptr<TMainForm> Form_;
};

void TWindowLayoutTest::CaptionAndFixedClientSize()
{
    QCOMPARE(Form_->windowTitle(),
             QString("VARNOLINK I/O (RS485 Control) Setup Configuration Version 1.00a [Update : 15/October/2005]"));
    QCOMPARE(Form_->size(), QSize(714, 350));
    QCOMPARE(Form_->minimumSize(), QSize(714, 350));
    QCOMPARE(Form_->maximumSize(), QSize(714, 350));
}

void TWindowLayoutTest::ControlsAtTheirPlacesWithTheirCaptions()
{
    struct TPlace {
        QWidget* Control;
        QRect Geometry;
    };
    const std::vector<TPlace> Places{
        {Form_->GroupBox2, {0, 0, 484, 172}},        {Form_->GroupBox3, {490, 0, 224, 172}},
        {Form_->GroupBox1, {0, 178, 484, 172}},      {Form_->GroupBox4, {490, 178, 224, 113}},
        {Form_->SaveToDefault, {490, 297, 224, 23}}, {Form_->SaveConfig, {490, 327, 105, 23}},
        {Form_->ReadConfig, {617, 327, 97, 23}},     {Form_->OpenPort, {7, 141, 76, 23}},
        {Form_->ClosePort, {141, 141, 75, 23}}};
    for (const TPlace& Place : Places)
        QCOMPARE(Place.Control->geometry(), Place.Geometry);

    struct TField {
        QWidget* Control;
        QWidget* Group;
        QPoint TopLeft;
        int Width;
    };
    const std::vector<TField> Fields{{Form_->ComboPort, Form_->GroupBox3, {89, 22}, 127},
                                     {Form_->StatusConnect, Form_->GroupBox3, {89, 52}, 127},
                                     {Form_->BiosNameDisplay, Form_->GroupBox3, {89, 82}, 127},
                                     {Form_->BIOSVersionDisplay, Form_->GroupBox3, {126, 111}, 90},
                                     {Form_->StatusDisplay, Form_->GroupBox4, {134, 22}, 82},
                                     {Form_->IDDisplay, Form_->GroupBox4, {141, 52}, 75},
                                     {Form_->ComboBaud, Form_->GroupBox4, {141, 82}, 75}};
    for (const TField& Field : Fields) {
        QCOMPARE(Field.Control->parentWidget(), Field.Group);
        QCOMPARE(Field.Control->pos(), Field.TopLeft);
        QCOMPARE(Field.Control->width(), Field.Width);
    }

    QCOMPARE(Form_->GroupBox2->title(), QString("Port I/O Direction(0=Output,1=Input)"));
    QCOMPARE(Form_->GroupBox3->title(), QString("Setup Communication Port"));
    QCOMPARE(Form_->GroupBox1->title(), QString("Power-on Port Output Default Logic"));
    QCOMPARE(Form_->GroupBox4->title(), QString("Code Setup and Display"));
    QCOMPARE(Form_->SaveToDefault->text(), QString("SAVE CONFIG TO DEFAULT"));
    QCOMPARE(Form_->SaveConfig->text(), QString("SAVE CONFIG"));
    QCOMPARE(Form_->ReadConfig->text(), QString("READ CONFIG"));
    QCOMPARE(Form_->OpenPort->text(), QString("Open"));
    QCOMPARE(Form_->ClosePort->text(), QString("Close"));

    // Each label stands left of its control, at its tabled place.
    QMap<QString, QPoint> Labels;
    for (const QLabel* Label : Form_->findChildren<QLabel*>())
        Labels.insert(Label->text(), Label->pos());
    const QMap<QString, QPoint> Expected{{"Com Port", {7, 30}},       {"Connect", {7, 59}},
                                         {"BIOS Name", {7, 89}},      {"BIOS Version", {7, 119}},
                                         {"Remote Status", {7, 30}},  {"Remote ID Code", {7, 59}},
                                         {"Remote Baudrate", {7, 89}}};
    for (auto Label = Expected.cbegin(); Label != Expected.cend(); ++Label) {
        QVERIFY2(Labels.contains(Label.key()), qPrintable(Label.key()));
        QCOMPARE(Labels.value(Label.key()), Label.value());
    }

    QVERIFY(Form_->StatusConnect->isReadOnly());
    QVERIFY(Form_->BiosNameDisplay->isReadOnly());
    QVERIFY(Form_->StatusDisplay->isReadOnly());
    QVERIFY(!Form_->IDDisplay->isReadOnly());
    QVERIFY(!Form_->ComboPort->isEditable());
    QVERIFY(!Form_->ComboBaud->isEditable());
}

void TWindowLayoutTest::GridsNamedAndPlacedFromTheTables()
{
    const int Digits[] = {0, 1, 2, 4, 5};
    const int RowTops[] = {22, 52, 82, 111, 141};
    const int RowHeights[] = {24, 23, 23, 24, 23};
    const int BitLefts[] = {386, 342, 297, 253, 208, 163, 119, 74};  // bit 0 .. bit 7
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        const QString Prefix = Grid == TPortGrid::Direction ? "DIR" : "DEF";
        QWidget* const Group = Grid == TPortGrid::Direction ? Form_->GroupBox2 : Form_->GroupBox1;
        for (int Row = 0; Row < 5; ++Row) {
            for (int Bit = 0; Bit < 8; ++Bit) {
                const QString Name = Prefix + QString::number(Digits[Row]) + QString::number(Bit);
                auto* Button = Form_->findChild<QPushButton*>(Name);
                QVERIFY2(Button != nullptr, qPrintable(Name));
                QCOMPARE(Button, Form_->BitButton(Grid, Row, Bit));
                QCOMPARE(Button->parentWidget(), Group);
                QCOMPARE(Button->geometry(), QRect(BitLefts[Bit], RowTops[Row], Bit == 5 ? 39 : 38, RowHeights[Row]));
                QVERIFY(Button->text().isEmpty());
            }
            const QString FieldName = QString("P%1_").arg(Digits[Row]) + Prefix;
            auto* Field = Form_->findChild<QLineEdit*>(FieldName);
            QVERIFY2(Field != nullptr, qPrintable(FieldName));
            QCOMPARE(Field, Form_->ByteField(Grid, Row));
            QCOMPARE(Field->geometry(), QRect(438, RowTops[Row], 38, 24));
            QVERIFY(Field->text().isEmpty());
        }
        QStringList RowLabels;
        for (const QLabel* Label : Group->findChildren<QLabel*>()) {
            QCOMPARE(Label->x(), 7);
            RowLabels << QString("%1@%2").arg(Label->text()).arg(Label->y());
        }
        QCOMPARE(RowLabels, QStringList({"PORT P0@30", "PORT P1@59", "PORT P2@89", "PORT P4@119", "PORT P5@149"}));
    }
}

void TWindowLayoutTest::FontsBoldMonospacedBitButtonsRegular()
{
    for (QWidget* Control :
         std::initializer_list<QWidget*>{Form_->GroupBox2, Form_->OpenPort, Form_->IDDisplay,
                                         Form_->ByteField(TPortGrid::Default, 4), Form_->ComboBaud}) {
        const QFontInfo Info(Control->font());
        QVERIFY2(Info.fixedPitch(), qPrintable(Control->objectName() + " " + Info.family()));
        QVERIFY2(Control->font().bold(), qPrintable(Control->objectName()));
        QCOMPARE(Control->font().pointSize(), 10);
    }
    const QFont BitFont = Form_->BitButton(TPortGrid::Direction, 0, 7)->font();
    QVERIFY(!BitFont.bold());
    QVERIFY(QFontInfo(BitFont).fixedPitch());
    QCOMPARE(BitFont.family(), Form_->OpenPort->font().family());
}

void TWindowLayoutTest::TabOrderFollowsTheLayout()
{
    // The chain starts at the first bit button of the direction grid.
    QStringList Expected;
    auto AddGrid = [&](const QString& Prefix) {
        for (const int Digit : {0, 1, 2, 4, 5})
            for (int Bit = 7; Bit >= 0; --Bit)
                Expected << Prefix + QString::number(Digit) + QString::number(Bit);
        for (const int Digit : {0, 1, 2, 4, 5})
            Expected << QString("P%1_").arg(Digit) + Prefix;
    };
    AddGrid("DIR");
    Expected << "ComboPort"
             << "OpenPort"
             << "ClosePort"
             << "StatusConnect"
             << "BiosNameDisplay"
             << "BIOSVersionDisplay";
    AddGrid("DEF");
    Expected << "SaveConfig"
             << "ReadConfig"
             << "IDDisplay"
             << "ComboBaud"
             << "StatusDisplay"
             << "SaveToDefault";

    QStringList Chain;
    QWidget* Widget = Form_->BitButton(TPortGrid::Direction, 0, 7);
    const QSet<QString> Named(Expected.cbegin(), Expected.cend());
    do {
        if (Named.contains(Widget->objectName()))
            Chain << Widget->objectName();
        Widget = Widget->nextInFocusChain();
    } while (Widget != Form_->BitButton(TPortGrid::Direction, 0, 7) && Chain.size() < Expected.size());
    QCOMPARE(Chain, Expected);
}

void TWindowLayoutTest::StartUpStateHasOnlyThePortListEnabled()
{
    QCOMPARE(EnabledControls(*Form_), StartUpControls);
    for (QLineEdit* Field : {Form_->BiosNameDisplay, Form_->BIOSVersionDisplay, Form_->IDDisplay, Form_->StatusDisplay,
                             Form_->StatusConnect})
        QVERIFY(Field->text().isEmpty());
    QCOMPARE(Form_->ComboBaud->currentIndex(), -1);
    QCOMPARE(Form_->ComboPort->count(), 0);
    QVERIFY(!Form_->ComPort1.Connected());
    QVERIFY(!Form_->Timer1.isActive());
    QCOMPARE(Form_->Timer1.interval(), 5000);

    // The serial line as created: 9600 8N1, no flow control, every event.
    QCOMPARE(Form_->ComPort1.Port(), std::string("COM1"));
    QCOMPARE(Form_->ComPort1.BaudRate(), cport::br9600);
    QCOMPARE(Form_->ComPort1.DataBits(), cport::dbEight);
    QCOMPARE(Form_->ComPort1.StopBits(), cport::sbOneStopBit);
    QCOMPARE(Form_->ComPort1.Parity().Bits(), cport::prNone);
    QCOMPARE(Form_->ComPort1.FlowControl().FlowControl(), cport::fcNone);
    QVERIFY(!Form_->ComPort1.FlowControl().OutDSRFlow());
    QCOMPARE(Form_->ComPort1.FlowControl().ControlDTR(), cport::dtrDisable);
    QCOMPARE(Form_->ComPort1.Events(), cport::AllComEvents);
    QVERIFY(Form_->DirBits == TMainForm::TBitTable{});
    QVERIFY(Form_->DefBits == TMainForm::TBitTable{});
}

void TWindowLayoutTest::BaudListHasTheEightRatesInOrderNothingSelected()
{
    QStringList Items;
    for (int Index = 0; Index < Form_->ComboBaud->count(); ++Index)
        Items << Form_->ComboBaud->itemText(Index);
    QCOMPARE(Items, QStringList({"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"}));
    QCOMPARE(Form_->ComboBaud->currentIndex(), -1);
    QVERIFY(Form_->ComboBaud->currentText().isEmpty());
}

void TWindowLayoutTest::TypedLettersBecomeCapitalsAndAtMostTwoAreTaken()
{
    for (QLineEdit* Field : {Form_->IDDisplay, Form_->ByteField(TPortGrid::Direction, 2)}) {
        Field->setEnabled(true);
        QTest::keyClicks(Field, "x");
        QCOMPARE(Field->text(), QString("X"));
        // Two characters are normalised at once (X is no digit); a third is not taken.
        QTest::keyClicks(Field, "bz");
        QCOMPARE(Field->text(), QString("0B"));
        QCOMPARE(Field->maxLength(), 2);
    }
}

void TWindowLayoutTest::TextWriteRaisesChangeAtOnceAndOnlyWhenTheTextDiffers()
{
    QLineEdit* const Field = Form_->ByteField(TPortGrid::Direction, 1);
    QSignalSpy Changes(Field, &QLineEdit::textChanged);

    // A write that changes the text has run the change handler (the row
    // spread and the field normalised) before it returns, with no event
    // processing in between.
    Field->setText("a5");
    QCOMPARE(Field->text(), QString("A5"));
    QCOMPARE(Form_->DirBits[1], (TMainForm::TBitRow{1, 0, 1, 0, 0, 1, 0, 1}));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 1),
             QStringList({"IN", "OUT", "IN", "OUT", "OUT", "IN", "OUT", "IN"}));
    const qsizetype AfterFirstWrite = Changes.size();
    QVERIFY(AfterFirstWrite >= 1);

    // The same text again: no change event, nothing runs.
    Form_->DirBits[1][0] = 0;  // would be restored by a spread
    Field->setText("A5");
    QCOMPARE(Changes.size(), AfterFirstWrite);
    QCOMPARE(Form_->DirBits[1][0], uint8_t{0});

    // A non-normal text is normalised by a second change, which then stops.
    Changes.clear();
    Field->setText("G7");
    QCOMPARE(Field->text(), QString("07"));
    // (The spy, connected after the window's handler, sees the nested
    // change first.)
    QStringList Seen;
    for (const QList<QVariant>& Change : Changes)
        Seen << Change.at(0).toString();
    QCOMPARE(Sorted(Seen), QStringList({"07", "G7"}));
}

QTEST_MAIN(TWindowLayoutTest)
#include "window_layout_test.moc"

using namespace varnolink;
