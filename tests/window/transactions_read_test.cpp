// SPDX-License-Identifier: MIT
// READ CONFIG against the simulated module: the fourteen reads on the wire,
// the window afterwards, a module that stops answering, replies that come in
// pieces, with noise, in lower case or after a wrong line, and the controls
// taken away and given back in their order.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>

#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(varnolink::sim::TFaults)

namespace {

// A state with a different value in every field, hex letters included.
TModuleState DistinctState()
{
    TModuleState State;
    State.Status = 0x01;
    State.Directions = {0x12, 0xA4, 0x56, 0x7E, 0x9B};
    State.RemoteId = 0x5A;
    State.Defaults = {0xBC, 0xD1, 0xF0, 0x0F, 0xA5};
    State.BaudIndex = 5;
    State.BiosName = "MODULE NO. 42";
    State.BiosVersion = "2.07b";
    return State;
}

}  // namespace

class TTransactionsReadTest : public TFormSuite {
    Q_OBJECT

private slots:
    void ReadsTheFourteenSettingsAndShowsThemWhateverTheLineDoes_data();
    void ReadsTheFourteenSettingsAndShowsThemWhateverTheLineDoes();
    void ControlsAreTakenAwayDuringTheReadAndGivenBackInOrder();
    void ModuleSilentFromTheP2DirectionRead();
    void NoModuleSendsOnlyTheIdentityRequest();
    void AgainAfterEditingShowsTheModuleNotTheEdits();
};

void TTransactionsReadTest::ReadsTheFourteenSettingsAndShowsThemWhateverTheLineDoes_data()
{
    using varnolink::sim::TMalformedKind;
    QTest::addColumn<TFaults>("LineFaults");
    QTest::newRow("a clean line") << TFaults{};
    QTest::newRow("replies in pieces of three bytes") << FaultsWith([](TFaults& L) {
        L.SplitPieceBytes = 3;
        L.SplitGap = 4ms;
    });
    QTest::newRow("replies byte by byte") << FaultsWith([](TFaults& L) {
        L.SplitPieceBytes = 1;
        L.SplitGap = 1ms;
    });
    QTest::newRow("noise before each reply") << FaultsWith([](TFaults& L) {
        L.Noise.Text = "~#\x01+ 00=FF";
        L.Noise.RandomBytes = 6;
    });
    QTest::newRow("noise between replies, in pieces") << FaultsWith([](TFaults& L) {
        L.Noise.Text = "\n zz=9";
        L.Noise.RandomBytes = 8;
        L.Noise.Placement = varnolink::sim::TNoisePlacement::AfterReply;
        L.SplitPieceBytes = 5;
        L.SplitGap = 2ms;
    });
    QTest::newRow("lower-case data") << FaultsWith([](TFaults& L) { L.LowerCaseData = true; });
    QTest::newRow("a wrong line before each reply")
        << FaultsWith([](TFaults& L) { L.Malformed.Kind = TMalformedKind::BadAddress; });
    QTest::newRow("a short line before each reply, in pieces") << FaultsWith([](TFaults& L) {
        L.Malformed.Kind = TMalformedKind::TooShort;
        L.SplitPieceBytes = 4;
    });
}

void TTransactionsReadTest::ReadsTheFourteenSettingsAndShowsThemWhateverTheLineDoes()
{
    QFETCH(TFaults, LineFaults);
    QVERIFY(F_.Open(DistinctState(), LineFaults));
    F_.Simulator->ClearRequests();

    Click(F_.Form->ReadConfig);

    QCOMPARE(F_.Simulator->Requests(), ReadChainFrames);
    QCOMPARE(WindowMismatches(*F_.Form, DistinctState()), QStringList{});
    QCOMPARE(F_.Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(F_.Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{1});
    QVERIFY(!F_.Form->Timer1.isActive());
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::ControlsAreTakenAwayDuringTheReadAndGivenBackInOrder()
{
    QVERIFY(F_.Open({}, FaultsWith([](TFaults& L) { L.ReplyDelay = 40ms; })));

    // Seen from inside the first wait, when the operator could act.
    QStringList EnabledDuringWait;
    QString ConnectDuringWait = "not sampled";
    bool Waiting = false;
    QTimer::singleShot(0, F_.Form.get(), [&] {
        Waiting = F_.Form->WaitingForReply();
        EnabledDuringWait = EnabledControls(*F_.Form);
        ConnectDuringWait = F_.Form->StatusConnect->text();
    });
    TEnabledChanges Changes(*F_.Form);
    Click(F_.Form->ReadConfig);

    QVERIFY(Waiting);
    QCOMPARE(EnabledDuringWait, QStringList{"bit buttons"});
    QVERIFY(ConnectDuringWait.isEmpty());  // blanked before the first request
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(F_.Simulator->Requests().size(), std::size_t{15});
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::ModuleSilentFromTheP2DirectionRead()
{
    // Values from an earlier read must not survive in the later rows.
    QVERIFY(OpenAndRead(F_, DistinctState(), {}, ShortTimeoutMs));
    F_.Simulator->SetFaults(
        FaultsWith([](TFaults& L) { L.SilentFromRequest = 7; }));  // the seventh read: P2's direction
    TEnabledChanges Changes(*F_.Form);
    Click(F_.Form->ReadConfig);

    QCOMPARE(F_.Simulator->Requests(), FirstOf(ReadChainFrames, 7));
    QCOMPARE(TimedOutDisplay(*F_.Form), TimeOutTexts);
    QCOMPARE(F_.Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(F_.Form->IDDisplay->text(), QString("5A"));
    QCOMPARE(F_.Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), RowShowing(TPortGrid::Direction, 0x12));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 1), RowShowing(TPortGrid::Direction, 0xA4));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 2), MarkedRow);
    QCOMPARE(ShownFields(*F_.Form),
             QStringList({"IDDisplay", "ComboBaud", "StatusDisplay", "P0_DIR", "P1_DIR", "P2_DIR"}));
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::NoModuleSendsOnlyTheIdentityRequest()
{
    QVERIFY(OpenAndRead(F_, DistinctState(), {}, ShortTimeoutMs));
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.SilentFromRequest = 1; }));
    Click(F_.Form->ReadConfig);

    QCOMPARE(F_.Simulator->Requests(), TFrames{"*00:0,00=00\r\n"});
    QCOMPARE(TimedOutDisplay(*F_.Form), TimeOutTexts);
    QCOMPARE(ShownFields(*F_.Form), QStringList{});
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::AgainAfterEditingShowsTheModuleNotTheEdits()
{
    QVERIFY(OpenAndRead(F_, DistinctState()));
    Click(F_.Form->BitButton(TPortGrid::Default, 3, 6));
    TypeInto(F_.Form->IDDisplay, "77");
    Click(F_.Form->BitButton(TPortGrid::Direction, 0, 0));
    QCOMPARE(F_.Form->IDDisplay->text(), QString("77"));
    QCOMPARE(F_.Form->ByteField(TPortGrid::Default, 3)->text(), QString("4F"));
    QVERIFY(!WindowMismatches(*F_.Form, DistinctState()).isEmpty());

    Click(F_.Form->ReadConfig);
    QCOMPARE(F_.Simulator->Requests(), ReadChainFrames);
    QCOMPARE(WindowMismatches(*F_.Form, DistinctState()), QStringList{});
    QCOMPARE(F_.Simulator->State(), DistinctState());
    QVERIFY(F_.Errors->Messages.isEmpty());
}

QTEST_MAIN(TTransactionsReadTest)
#include "transactions_read_test.moc"
