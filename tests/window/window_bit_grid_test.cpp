// SPDX-License-Identifier: MIT
// The bit grids, the byte fields and the Remote ID field, driven by real key
// and mouse events on a connected window: every worked example of the entry
// rules, the focus rules, replies and the read marking.

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "form_fixture.h"

using namespace window_test;

namespace {

const QString A5Captions = "IN OUT IN OUT OUT IN OUT IN";

}  // namespace

class TWindowBitGridTest : public TFormSuite {
    Q_OBJECT

private slots:
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
    QLineEdit* Field(TPortGrid Grid, int Row) const { return F_.Form->ByteField(Grid, Row); }
    QPushButton* Button(TPortGrid Grid, int Row, int Bit) const { return F_.Form->BitButton(Grid, Row, Bit); }
};

void TWindowBitGridTest::init()
{
    QVERIFY(F_.Open(StateWith([](TModuleState& S) { S.Directions[0] = 0xE1; }),
                    FaultsWith([](TFaults& L) { L.LowerCaseData = true; }), 500));
}

void TWindowBitGridTest::cleanup()
{
    if (F_.Errors)
        QVERIFY(F_.Errors->Messages.isEmpty());
    F_.Reset();
}

void TWindowBitGridTest::TypingALetterThenADigitShowsTheByte()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    Click(P0);
    QVERIFY(P0->hasFocus());
    QTest::keyClicks(P0, "a");
    QCOMPARE(P0->text(), QString("A"));
    QCOMPARE(Captions(*F_.Form, TPortGrid::Direction, 0), SameCaptions(""));  // unchanged
    QTest::keyClicks(P0, "5");
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), "A5 | " + A5Captions + " | 10100101");
}

void TWindowBitGridTest::NonHexadecimalCharactersCountAsZero()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    TypeInto(P0, "G");
    QCOMPARE(P0->text(), QString("G"));
    QTest::keyClicks(P0, "7");
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), QString("07 | OUT OUT OUT OUT OUT IN IN IN | 00000111"));

    // A digit, then a question mark: 5 and 0.
    QLineEdit* const P4 = Field(TPortGrid::Direction, 3);
    TypeInto(P4, "5?");
    QCOMPARE(P4->text(), QString("50"));
}

void TWindowBitGridTest::OneDigitLeftBehindBecomesZero()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    TypeInto(P0, "FF");
    QCOMPARE(F_.Form->DirBits[0], (TMainForm::TBitRow{1, 1, 1, 1, 1, 1, 1, 1}));
    TypeInto(P0, "7");
    QTest::keyClick(P0, Qt::Key_Tab);
    QVERIFY(!P0->hasFocus());
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), QString("00 | OUT OUT OUT OUT OUT OUT OUT OUT | 00000000"));
}

void TWindowBitGridTest::ClickingABitButtonTogglesItsBitInTheField()
{
    QLineEdit* const P0 = Field(TPortGrid::Direction, 0);
    TypeInto(P0, "A5");
    Click(Button(TPortGrid::Direction, 0, 0));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), QString("A4 | IN OUT IN OUT OUT IN OUT OUT | 10100100"));
    Click(Button(TPortGrid::Direction, 0, 0));
    QCOMPARE(P0->text(), QString("A5"));
}

void TWindowBitGridTest::ReplyInLowerCaseIsShownInNormalForm()
{
    // The simulator holds E1 for P0's direction and answers in lower case.
    QSignalSpy Changes(Field(TPortGrid::Direction, 0), &QLineEdit::textChanged);
    F_.Form->Read_P0_Direction();
    F_.Form->WaitCommandExecute();
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{1});
    QCOMPARE(F_.Simulator->Requests().back(), std::string("*04:0,00=00\r\n"));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), QString("E1 | IN IN IN OUT OUT OUT OUT IN | 11100001"));
    QVERIFY(Changes.size() >= 1);
}

void TWindowBitGridTest::ReplyWithQuestionMarksShowsZero()
{
    TypeInto(Field(TPortGrid::Default, 2), "3C");
    F_.Form->AnalysisPacket("*??:E11,00=??");
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{1});
    QCOMPARE(RowState(*F_.Form, TPortGrid::Default, 2),
             QString("00 | \"0\" \"0\" \"0\" \"0\" \"0\" \"0\" \"0\" \"0\" | 00000000"));
}

void TWindowBitGridTest::TabbingThroughAByteFieldClearsItsRow()
{
    QLineEdit* const P1 = Field(TPortGrid::Direction, 1);
    TypeInto(P1, "FF");
    // From the last bit button of the grid, the tab goes to P0_DIR, then P1_DIR.
    Button(TPortGrid::Direction, 4, 0)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Button(TPortGrid::Direction, 4, 0), Qt::Key_Tab);
    QVERIFY(Field(TPortGrid::Direction, 0)->hasFocus());
    QTest::keyClick(Field(TPortGrid::Direction, 0), Qt::Key_Tab);
    QVERIFY(P1->hasFocus());
    QVERIFY(P1->text().isEmpty());  // emptied on entry
    QCOMPARE(F_.Form->DirBits[1], (TMainForm::TBitRow{1, 1, 1, 1, 1, 1, 1, 1}));
    QTest::keyClick(P1, Qt::Key_Tab);
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 1), QString("00 | OUT OUT OUT OUT OUT OUT OUT OUT | 00000000"));
    // P0_DIR was passed through as well.
    QCOMPARE(Field(TPortGrid::Direction, 0)->text(), QString("00"));
}

void TWindowBitGridTest::TabbingThroughTheRemoteIdLeavesZeroOne()
{
    F_.Form->ReadConfig->setFocus(Qt::TabFocusReason);
    QTest::keyClick(F_.Form->ReadConfig, Qt::Key_Tab);
    QVERIFY(F_.Form->IDDisplay->hasFocus());
    QVERIFY(F_.Form->IDDisplay->text().isEmpty());
    QTest::keyClick(F_.Form->IDDisplay, Qt::Key_Tab);
    QCOMPARE(F_.Form->IDDisplay->text(), QString("01"));

    // One character left behind also falls back to 01.
    TypeInto(F_.Form->IDDisplay, "7");
    QTest::keyClick(F_.Form->IDDisplay, Qt::Key_Tab);
    QCOMPARE(F_.Form->IDDisplay->text(), QString("01"));
}

void TWindowBitGridTest::RemoteIdTypedInLowerCaseIsShownInCapitals()
{
    TypeInto(F_.Form->IDDisplay, "e");
    QCOMPARE(F_.Form->IDDisplay->text(), QString("E"));
    QTest::keyClicks(F_.Form->IDDisplay, "z");
    QCOMPARE(F_.Form->IDDisplay->text(), QString("E0"));
    // A Remote ID reply is shown as two capital hexadecimal digits as well.
    F_.Form->AnalysisPacket("*??:E02,00=a5");
    QCOMPARE(F_.Form->IDDisplay->text(), QString("A5"));
}

void TWindowBitGridTest::ClickIntoAFilledFieldEmptiesItButKeepsTheRow()
{
    QLineEdit* const P2 = Field(TPortGrid::Direction, 2);
    TypeInto(P2, "A5");
    Click(Button(TPortGrid::Direction, 0, 0));  // the focus leaves the field
    QVERIFY(!P2->hasFocus());
    Click(P2);
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 2), " | " + A5Captions + " | 10100101");
}

void TWindowBitGridTest::EveryClickEmptiesAFieldThatHasTheFocus()
{
    QLineEdit* const P5 = Field(TPortGrid::Default, 4);
    TypeInto(P5, "1");
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
    TypeInto(P0, "FF");
    TypeInto(P0, "3");
    Click(Button(TPortGrid::Direction, 0, 6));
    // The field was left first (00, row cleared), then bit 6 was set.
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), QString("40 | OUT IN OUT OUT OUT OUT OUT OUT | 01000000"));
}

void TWindowBitGridTest::SwitchingToAnotherWindowIsNeitherLeavingNorEntering()
{
    QLineEdit* const P2 = Field(TPortGrid::Default, 2);
    TypeInto(P2, "7");

    QWidget Other;
    Other.show();
    Other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&Other));
    QCOMPARE(P2->text(), QString("7"));  // not left: no "00"
    F_.Form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(F_.Form.get()));
    QVERIFY(P2->hasFocus());
    QCOMPARE(P2->text(), QString("7"));  // not entered again: not emptied
    QTest::keyClicks(P2, "e");
    QCOMPARE(P2->text(), QString("7E"));
}

void TWindowBitGridTest::DefaultGridShowsQuotedDigits()
{
    QLineEdit* const P4 = Field(TPortGrid::Default, 3);
    TypeInto(P4, "81");
    QCOMPARE(RowState(*F_.Form, TPortGrid::Default, 3),
             QString("81 | \"1\" \"0\" \"0\" \"0\" \"0\" \"0\" \"0\" \"1\" | 10000001"));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 3),
             " | " + SameCaptions("").join(' ') + " | 00000000");  // untouched
}

void TWindowBitGridTest::EachOfTheEightyButtonsTogglesOnlyItsOwnBit()
{
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        for (int Row = 0; Row < PortRowCount; ++Row) {
            for (int Bit = 0; Bit < PortBitCount; ++Bit) {
                const TMainForm::TBitTable DirBefore = F_.Form->DirBits;
                const TMainForm::TBitTable DefBefore = F_.Form->DefBits;
                Click(Button(Grid, Row, Bit));

                TMainForm::TBitTable DirExpected = DirBefore;
                TMainForm::TBitTable DefExpected = DefBefore;
                uint8_t& Entry = (Grid == TPortGrid::Direction ? DirExpected : DefExpected)[Row][Bit];
                Entry = Entry == 1 ? 0 : 1;
                QVERIFY(F_.Form->DirBits == DirExpected);
                QVERIFY(F_.Form->DefBits == DefExpected);

                const QString One = Grid == TPortGrid::Direction ? "IN" : "\"1\"";
                const QString Zero = Grid == TPortGrid::Direction ? "OUT" : "\"0\"";
                QCOMPARE(Button(Grid, Row, Bit)->text(), Entry == 1 ? One : Zero);
                uint8_t Value = 0;
                for (int B = 0; B < PortBitCount; ++B)
                    Value = static_cast<uint8_t>(
                        Value | ((Grid == TPortGrid::Direction ? DirExpected : DefExpected)[Row][B] << B));
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
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.SilentCodes = {5}; }));
    QLineEdit* const P1 = Field(TPortGrid::Direction, 1);
    TypeInto(P1, "FF");

    F_.Form->Read_P1_Direction();
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 1), QString("00 | ? ? ? ? ? ? ? ? | 00000000"));

    F_.Form->WaitCommandExecute();
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{0});
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Time-Out"));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 1), QString("00 | ? ? ? ? ? ? ? ? | 00000000"));

    // A click meanwhile starts from the zeroed row.
    Click(Button(TPortGrid::Direction, 1, 3));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 1), QString("08 | OUT OUT OUT OUT IN OUT OUT OUT | 00001000"));
}

QTEST_MAIN(TWindowBitGridTest)
#include "window_bit_grid_test.moc"
