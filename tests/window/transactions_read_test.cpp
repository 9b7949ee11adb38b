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

Q_DECLARE_METATYPE(varnolink::sim::Faults)

namespace {

// A state with a different value in every field, hex letters included.
ModuleState DistinctState()
{
    ModuleState State;
    State.status = 0x01;
    State.directions = {0x12, 0xA4, 0x56, 0x7E, 0x9B};
    State.remoteId = 0x5A;
    State.defaults = {0xBC, 0xD1, 0xF0, 0x0F, 0xA5};
    State.baudIndex = 5;
    State.biosName = "MODULE NO. 42";
    State.biosVersion = "2.07b";
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
    using varnolink::sim::MalformedKind;
    QTest::addColumn<Faults>("LineFaults");
    QTest::newRow("a clean line") << Faults{};
    QTest::newRow("replies in pieces of three bytes") << FaultsWith([](Faults& L) {
        L.splitPieceBytes = 3;
        L.splitGap = 4ms;
    });
    QTest::newRow("replies byte by byte") << FaultsWith([](Faults& L) {
        L.splitPieceBytes = 1;
        L.splitGap = 1ms;
    });
    QTest::newRow("noise before each reply") << FaultsWith([](Faults& L) {
        L.noise.text = "~#\x01+ 00=FF";
        L.noise.randomBytes = 6;
    });
    QTest::newRow("noise between replies, in pieces") << FaultsWith([](Faults& L) {
        L.noise.text = "\n zz=9";
        L.noise.randomBytes = 8;
        L.noise.placement = varnolink::sim::NoisePlacement::kAfterReply;
        L.splitPieceBytes = 5;
        L.splitGap = 2ms;
    });
    QTest::newRow("lower-case data") << FaultsWith([](Faults& L) { L.lowerCaseData = true; });
    QTest::newRow("a wrong line before each reply") << FaultsWith([](Faults& L) { L.malformed.kind = MalformedKind::kBadAddress; });
    QTest::newRow("a short line before each reply, in pieces") << FaultsWith([](Faults& L) {
        L.malformed.kind = MalformedKind::kTooShort;
        L.splitPieceBytes = 4;
    });
}

void TTransactionsReadTest::ReadsTheFourteenSettingsAndShowsThemWhateverTheLineDoes()
{
    QFETCH(Faults, LineFaults);
    QVERIFY(F.Open(DistinctState(), LineFaults));
    F.Simulator->ClearRequests();

    Click(F.Form->ReadConfig);

    QCOMPARE(F.Simulator->Requests(), ReadChainFrames);
    QCOMPARE(WindowMismatches(*F.Form, DistinctState()), QStringList{});
    QCOMPARE(F.Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(F.Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(EnabledControls(*F.Form), Sorted(ConnectedControls));
    QCOMPARE(F.Form->ReplyReceived(), uint8_t{1});
    QVERIFY(!F.Form->Timer1.isActive());
    QVERIFY(F.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::ControlsAreTakenAwayDuringTheReadAndGivenBackInOrder()
{
    QVERIFY(F.Open({}, FaultsWith([](Faults& L) { L.replyDelay = 40ms; })));

    // Seen from inside the first wait, when the operator could act.
    QStringList EnabledDuringWait;
    QString ConnectDuringWait = "not sampled";
    bool Waiting = false;
    QTimer::singleShot(0, F.Form.get(), [&] {
        Waiting = F.Form->WaitingForReply();
        EnabledDuringWait = EnabledControls(*F.Form);
        ConnectDuringWait = F.Form->StatusConnect->text();
    });
    TEnabledChanges Changes(*F.Form);
    Click(F.Form->ReadConfig);

    QVERIFY(Waiting);
    QCOMPARE(EnabledDuringWait, QStringList{"bit buttons"});
    QVERIFY(ConnectDuringWait.isEmpty());  // blanked before the first request
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(F.Simulator->Requests().size(), std::size_t{15});
    QVERIFY(F.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::ModuleSilentFromTheP2DirectionRead()
{
    // Values from an earlier read must not survive in the later rows.
    QVERIFY(OpenAndRead(F, DistinctState(), {}, ShortTimeoutMs));
    F.Simulator->SetFaults(FaultsWith([](Faults& L) { L.silentFromRequest = 7; }));  // the seventh read: P2's direction
    TEnabledChanges Changes(*F.Form);
    Click(F.Form->ReadConfig);

    QCOMPARE(F.Simulator->Requests(), FirstOf(ReadChainFrames, 7));
    QCOMPARE(TimedOutDisplay(*F.Form), TimeOutTexts);
    QCOMPARE(F.Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(F.Form->IDDisplay->text(), QString("5A"));
    QCOMPARE(F.Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(RowState(*F.Form, TPortGrid::Direction, 0), RowShowing(TPortGrid::Direction, 0x12));
    QCOMPARE(RowState(*F.Form, TPortGrid::Direction, 1), RowShowing(TPortGrid::Direction, 0xA4));
    QCOMPARE(RowState(*F.Form, TPortGrid::Direction, 2), MarkedRow);
    QCOMPARE(ShownFields(*F.Form), QStringList({"IDDisplay", "ComboBaud", "StatusDisplay", "P0_DIR", "P1_DIR", "P2_DIR"}));
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*F.Form), Sorted(ConnectedControls));
    QVERIFY(F.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::NoModuleSendsOnlyTheIdentityRequest()
{
    QVERIFY(OpenAndRead(F, DistinctState(), {}, ShortTimeoutMs));
    F.Simulator->SetFaults(FaultsWith([](Faults& L) { L.silentFromRequest = 1; }));
    Click(F.Form->ReadConfig);

    QCOMPARE(F.Simulator->Requests(), TFrames{"*00:0,00=00\r\n"});
    QCOMPARE(TimedOutDisplay(*F.Form), TimeOutTexts);
    QCOMPARE(ShownFields(*F.Form), QStringList{});
    QCOMPARE(EnabledControls(*F.Form), Sorted(ConnectedControls));
    QVERIFY(F.Errors->Messages.isEmpty());
}

void TTransactionsReadTest::AgainAfterEditingShowsTheModuleNotTheEdits()
{
    QVERIFY(OpenAndRead(F, DistinctState()));
    Click(F.Form->BitButton(TPortGrid::Default, 3, 6));
    TypeInto(F.Form->IDDisplay, "77");
    Click(F.Form->BitButton(TPortGrid::Direction, 0, 0));
    QCOMPARE(F.Form->IDDisplay->text(), QString("77"));
    QCOMPARE(F.Form->ByteField(TPortGrid::Default, 3)->text(), QString("4F"));
    QVERIFY(!WindowMismatches(*F.Form, DistinctState()).isEmpty());

    Click(F.Form->ReadConfig);
    QCOMPARE(F.Simulator->Requests(), ReadChainFrames);
    QCOMPARE(WindowMismatches(*F.Form, DistinctState()), QStringList{});
    QCOMPARE(F.Simulator->State(), DistinctState());
    QVERIFY(F.Errors->Messages.isEmpty());
}

QTEST_MAIN(TTransactionsReadTest)
#include "transactions_read_test.moc"
