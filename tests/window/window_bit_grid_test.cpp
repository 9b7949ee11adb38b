// The bit grids, the byte fields and the Remote ID field, driven by real key
// and mouse events on a connected window: every worked example of the entry
// rules, the focus rules, replies and the read marking.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "form_fixture.h"

using namespace window_test;

namespace {

const QStringList A5Captions{"IN", "OUT", "IN", "OUT", "OUT", "IN", "OUT", "IN"};

}  // namespace

class TWindowBitGridTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init();
    void cleanup();

    void TypingALetterThenADigitShowsTheByte();
    void NonHexadecimalCharactersCountAsZero();
    void OneDigitLeftBehindBecomesZero();
    void ClickingABitButtonTogglesItsBitInTheField();
    void ReplyInLowerCaseIsShownInNormalForm();
    void ReplyWithQuestionMarksShowsZero();
    void TabbingThroughAByteFieldClearsItsRow();
    void TabbingThroughTheRemoteIdLeavesZeroOne();
    void RemoteIdTypedInLowerCaseIsShownInCapitals();
    void ClickIntoAFilledFieldEmptiesItButKeepsTheRow();
    void EveryClickEmptiesAFieldThatHasTheFocus();
    void BitClickWhileAFieldHoldsOneCharacterLeavesTheFieldFirst();
    void SwitchingToAnotherWindowIsNeitherLeavingNorEntering();
    void DefaultGridShowsQuotedDigits();
    void EachOfTheEightyButtonsTogglesOnlyItsOwnBit();
    void ReadMarkingShowsZeroAndQuestionMarksUntilTheReply();

private:
    QLineEdit* Field(TPortGrid Grid, int Row) const { return Form_->ByteField(Grid, Row); }
    QPushButton* Button(TPortGrid Grid, int Row, int Bit) const { return Form_->BitButton(Grid, Row, Bit); }

    std::unique_ptr<TModuleSimulator> Simulator_;
    std::unique_ptr<TMainForm> Form_;
    std::unique_ptr<TErrorRecorder> Errors_;
};

void TWindowBitGridTest::init()
{
    ModuleState State;
    State.directions[0] = 0xE1;
    Faults Lower;
    Lower.lowerCaseData = true;
    Simulator_ = StartSimulator(State, Lower);
    Errors_ = std::make_unique<TErrorRecorder>();
    Form_ = ShowForm({Simulator_->DevicePath()});
    Form_->SetReplyTimeoutForTesting(500);
    OpenSimulatorPort(*Form_, *Simulator_);
    QCOMPARE(Form_->StatusConnect->text(), QString("Connect OK"));
}

void TWindowBitGridTest::cleanup()
{
    if (Errors_)
        QVERIFY(Errors_->Messages.isEmpty());
    Form_.reset();
    Errors_.reset();
    Simulator_.reset();
}

void TWindowBitGridTest::TypingALetterThenADigitShowsTheByte()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    Click(P0);
    QVERIFY(P0->hasFocus());
    QTest::keyClicks(P0, "a");
    QCOMPARE(P0->text(), QString("A"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 0), SameCaptions(""));  // unchanged
    QTest::keyClicks(P0, "5");
    QCOMPARE(P0->text(), QString("A5"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 0), A5Captions);
    QCOMPARE(Form_->DirBits[0], (TMainForm::TBitRow{1, 0, 1, 0, 0, 1, 0, 1}));
}

void TWindowBitGridTest::NonHexadecimalCharactersCountAsZero()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    Click(P0);
    QTest::keyClicks(P0, "G");
    QCOMPARE(P0->text(), QString("G"));
    QTest::keyClicks(P0, "7");
    QCOMPARE(P0->text(), QString("07"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 0),
             QStringList({"OUT", "OUT", "OUT", "OUT", "OUT", "IN", "IN", "IN"}));

    // A digit, then a question mark: 5 and 0.
    QLineEdit* const P4 = Field(TPortGrid::Direction, 3);
    Click(P4);
    QTest::keyClicks(P4, "5?");
    QCOMPARE(P4->text(), QString("50"));
}

void TWindowBitGridTest::OneDigitLeftBehindBecomesZero()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    Click(P0);
    QTest::keyClicks(P0, "FF");
    QCOMPARE(Form_->DirBits[0], (TMainForm::TBitRow{1, 1, 1, 1, 1, 1, 1, 1}));
    Click(P0);
    QTest::keyClicks(P0, "7");
    QTest::keyClick(P0, Qt::Key_Tab);
    QVERIFY(!P0->hasFocus());
    QCOMPARE(P0->text(), QString("00"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 0), SameCaptions("OUT"));
    QCOMPARE(Form_->DirBits[0], TMainForm::TBitRow{});
}

void TWindowBitGridTest::ClickingABitButtonTogglesItsBitInTheField()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    Click(P0);
    QTest::keyClicks(P0, "A5");
    Click(Button(TPortGrid::Direction, 0, 0));
    QCOMPARE(P0->text(), QString("A4"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 0),
             QStringList({"IN", "OUT", "IN", "OUT", "OUT", "IN", "OUT", "OUT"}));
    Click(Button(TPortGrid::Direction, 0, 0));
    QCOMPARE(P0->text(), QString("A5"));
}

void TWindowBitGridTest::ReplyInLowerCaseIsShownInNormalForm()
{
    // The simulator holds E1 for P0's direction and answers in lower case.
    QSignalSpy Changes(Field(TPortGrid::Direction, 0), &QLineEdit::textChanged);
    Form_->Read_P0_Direction();
    Form_->WaitCommandExecute();
    QCOMPARE(Form_->ReplyReceived(), uint8_t{1});
    QCOMPARE(Simulator_->Requests().back(), std::string("*04:0,00=00\r\n"));
    QCOMPARE(Field(TPortGrid::Direction, 0)->text(), QString("E1"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 0),
             QStringList({"IN", "IN", "IN", "OUT", "OUT", "OUT", "OUT", "IN"}));
    QCOMPARE(Form_->DirBits[0], (TMainForm::TBitRow{1, 0, 0, 0, 0, 1, 1, 1}));
    QVERIFY(Changes.size() >= 1);
}

void TWindowBitGridTest::ReplyWithQuestionMarksShowsZero()
{
    Click(Field(TPortGrid::Default, 2));
    QTest::keyClicks(Field(TPortGrid::Default, 2), "3C");
    Form_->AnalysisPacket("*??:E11,00=??");
    QCOMPARE(Form_->ReplyReceived(), uint8_t{1});
    QCOMPARE(Field(TPortGrid::Default, 2)->text(), QString("00"));
    QCOMPARE(Captions(*Form_, TPortGrid::Default, 2), SameCaptions("\"0\""));
    QCOMPARE(Form_->DefBits[2], TMainForm::TBitRow{});
}

void TWindowBitGridTest::TabbingThroughAByteFieldClearsItsRow()
{
    QLineEdit* const P1 = Field(TPortGrid::Direction, 1);
    Click(P1);
    QTest::keyClicks(P1, "FF");
    // From the last bit button of the grid, the tab goes to P0_DIR, then P1_DIR.
    Button(TPortGrid::Direction, 4, 0)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Button(TPortGrid::Direction, 4, 0), Qt::Key_Tab);
    QVERIFY(Field(TPortGrid::Direction, 0)->hasFocus());
    QTest::keyClick(Field(TPortGrid::Direction, 0), Qt::Key_Tab);
    QVERIFY(P1->hasFocus());
    QVERIFY(P1->text().isEmpty());  // emptied on entry
    QCOMPARE(Form_->DirBits[1], (TMainForm::TBitRow{1, 1, 1, 1, 1, 1, 1, 1}));
    QTest::keyClick(P1, Qt::Key_Tab);
    QCOMPARE(P1->text(), QString("00"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 1), SameCaptions("OUT"));
    QCOMPARE(Form_->DirBits[1], TMainForm::TBitRow{});
    // P0_DIR was passed through as well.
    QCOMPARE(Field(TPortGrid::Direction, 0)->text(), QString("00"));
}

void TWindowBitGridTest::TabbingThroughTheRemoteIdLeavesZeroOne()
{
    Form_->ReadConfig->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Form_->ReadConfig, Qt::Key_Tab);
    QVERIFY(Form_->IDDisplay->hasFocus());
    QVERIFY(Form_->IDDisplay->text().isEmpty());
    QTest::keyClick(Form_->IDDisplay, Qt::Key_Tab);
    QCOMPARE(Form_->IDDisplay->text(), QString("01"));

    // One character left behind also falls back to 01.
    Click(Form_->IDDisplay);
    QTest::keyClicks(Form_->IDDisplay, "7");
    QTest::keyClick(Form_->IDDisplay, Qt::Key_Tab);
    QCOMPARE(Form_->IDDisplay->text(), QString("01"));
}

void TWindowBitGridTest::RemoteIdTypedInLowerCaseIsShownInCapitals()
{
    Click(Form_->IDDisplay);
    QTest::keyClicks(Form_->IDDisplay, "e");
    QCOMPARE(Form_->IDDisplay->text(), QString("E"));
    QTest::keyClicks(Form_->IDDisplay, "z");
    QCOMPARE(Form_->IDDisplay->text(), QString("E0"));
    // A Remote ID reply is shown as two capital hexadecimal digits as well.
    Form_->AnalysisPacket("*??:E02,00=a5");
    QCOMPARE(Form_->IDDisplay->text(), QString("A5"));
}

void TWindowBitGridTest::ClickIntoAFilledFieldEmptiesItButKeepsTheRow()
{
    QLineEdit* const P2 = Field(TPortGrid::Direction, 2);
    Click(P2);
    QTest::keyClicks(P2, "A5");
    Click(Button(TPortGrid::Direction, 0, 0));  // the focus leaves the field
    QVERIFY(!P2->hasFocus());
    Click(P2);
    QVERIFY(P2->text().isEmpty());
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 2), A5Captions);
    QCOMPARE(Form_->DirBits[2], (TMainForm::TBitRow{1, 0, 1, 0, 0, 1, 0, 1}));
}

void TWindowBitGridTest::EveryClickEmptiesAFieldThatHasTheFocus()
{
    QLineEdit* const P5 = Field(TPortGrid::Default, 4);
    Click(P5);
    QTest::keyClicks(P5, "1");
    QVERIFY(P5->hasFocus());
    Click(P5);
    QVERIFY(P5->text().isEmpty());
    QTest::keyClicks(P5, "2");
    QTest::mouseDClick(P5, Qt::LeftButton);
    QVERIFY(P5->text().isEmpty());
}

void TWindowBitGridTest::BitClickWhileAFieldHoldsOneCharacterLeavesTheFieldFirst()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    Click(P0);
    QTest::keyClicks(P0, "FF");
    Click(P0);
    QTest::keyClicks(P0, "3");
    Click(Button(TPortGrid::Direction, 0, 6));
    // The field was left first (00, row cleared), then bit 6 was set.
    QCOMPARE(P0->text(), QString("40"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 0),
             QStringList({"OUT", "IN", "OUT", "OUT", "OUT", "OUT", "OUT", "OUT"}));
}

void TWindowBitGridTest::SwitchingToAnotherWindowIsNeitherLeavingNorEntering()
{
    QLineEdit* const P2 = Field(TPortGrid::Default, 2);
    Click(P2);
    QTest::keyClicks(P2, "7");

    QWidget Other;
    Other.show();
    Other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&Other));
    QCOMPARE(P2->text(), QString("7"));  // not left: no "00"
    Form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Form_.get()));
    QVERIFY(P2->hasFocus());
    QCOMPARE(P2->text(), QString("7"));  // not entered again: not emptied
    QTest::keyClicks(P2, "e");
    QCOMPARE(P2->text(), QString("7E"));
}

void TWindowBitGridTest::DefaultGridShowsQuotedDigits()
{
    QLineEdit* const P4 = Field(TPortGrid::Default, 3);
    Click(P4);
    QTest::keyClicks(P4, "81");
    QCOMPARE(Captions(*Form_, TPortGrid::Default, 3),
             QStringList({"\"1\"", "\"0\"", "\"0\"", "\"0\"", "\"0\"", "\"0\"", "\"0\"", "\"1\""}));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 3), SameCaptions(""));  // the other grid is untouched
    QCOMPARE(Form_->DirBits[3], TMainForm::TBitRow{});
}

void TWindowBitGridTest::EachOfTheEightyButtonsTogglesOnlyItsOwnBit()
{
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        for (int Row = 0; Row < PortRowCount; ++Row) {
            for (int Bit = 0; Bit < PortBitCount; ++Bit) {
                const TMainForm::TBitTable DirBefore = Form_->DirBits;
                const TMainForm::TBitTable DefBefore = Form_->DefBits;
                Click(Button(Grid, Row, Bit));

                TMainForm::TBitTable DirExpected = DirBefore;
                TMainForm::TBitTable DefExpected = DefBefore;
                uint8_t& Entry = (Grid == TPortGrid::Direction ? DirExpected : DefExpected)[Row][Bit];
                Entry = Entry == 1 ? 0 : 1;
                QVERIFY(Form_->DirBits == DirExpected);
                QVERIFY(Form_->DefBits == DefExpected);

                const QString One = Grid == TPortGrid::Direction ? "IN" : "\"1\"";
                const QString Zero = Grid == TPortGrid::Direction ? "OUT" : "\"0\"";
                QCOMPARE(Button(Grid, Row, Bit)->text(), Entry == 1 ? One : Zero);
                uint8_t Value = 0;
                for (int B = 0; B < PortBitCount; ++B)
                    Value = static_cast<uint8_t>(Value | ((Grid == TPortGrid::Direction ? DirExpected : DefExpected)[Row][B] << B));
                QCOMPARE(Field(Grid, Row)->text(), QString("%1").arg(Value, 2, 16, QChar('0')).toUpper());
            }
        }
    }
    // Every bit is now 1 in both grids.
    QCOMPARE(Field(TPortGrid::Direction, 4)->text(), QString("FF"));
    QCOMPARE(Field(TPortGrid::Default, 0)->text(), QString("FF"));
}

void TWindowBitGridTest::ReadMarkingShowsZeroAndQuestionMarksUntilTheReply()
{
    Faults SilentOnP1;
    SilentOnP1.silentCodes = {5};
    Simulator_->SetFaults(SilentOnP1);
    QLineEdit* const P1 = Field(TPortGrid::Direction, 1);
    Click(P1);
    QTest::keyClicks(P1, "FF");

    Form_->Read_P1_Direction();
    QCOMPARE(P1->text(), QString("00"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 1), SameCaptions("?"));
    QCOMPARE(Form_->DirBits[1], TMainForm::TBitRow{});

    Form_->WaitCommandExecute();
    QCOMPARE(Form_->ReplyReceived(), uint8_t{0});
    QCOMPARE(Form_->StatusConnect->text(), QString("Time-Out"));
    QCOMPARE(P1->text(), QString("00"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 1), SameCaptions("?"));

    // A click meanwhile starts from the zeroed row.
    Click(Button(TPortGrid::Direction, 1, 3));
    QCOMPARE(P1->text(), QString("08"));
    QCOMPARE(Captions(*Form_, TPortGrid::Direction, 1),
             QStringList({"OUT", "OUT", "OUT", "OUT", "IN", "OUT", "OUT", "OUT"}));
}

QTEST_MAIN(TWindowBitGridTest)
#include "window_bit_grid_test.moc"
