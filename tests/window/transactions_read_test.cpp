// READ CONFIG against the simulated module: the fourteen reads on the wire,
// the window afterwards, a module that stops answering, replies that come in
// pieces, with noise, in lower case or after a wrong line, and the controls
// taken away and given back in their order.

#include <QApplication>
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
    State.remoteId = 0x5A;
    State.baudIndex = 5;
    State.directions = {0x12, 0xA4, 0x56, 0x7E, 0x9B};
    State.defaults = {0xBC, 0xD1, 0xF0, 0x0F, 0xA5};
    State.biosName = "MODULE NO. 42";
    State.biosVersion = "2.07b";
    return State;
}

}  // namespace

class TTransactionsReadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void ReadsTheFourteenSettingsInOrderAndShowsThem();
    void ControlsAreTakenAwayDuringTheReadAndGivenBackInOrder();
    void ModuleSilentFromTheP2DirectionRead();
    void NoModuleSendsOnlyTheIdentityRequest();
    void RepliesAreDecodedWhateverTheLineDoes_data();
    void RepliesAreDecodedWhateverTheLineDoes();
    void AgainAfterEditingShowsTheModuleNotTheEdits();
};

void TTransactionsReadTest::ReadsTheFourteenSettingsInOrderAndShowsThem()
{
    const ModuleState State = DistinctState();
    const auto Simulator = StartSimulator(State);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Simulator->ClearRequests();

    Click(Form->ReadConfig);

    QCOMPARE(Simulator->Requests(), ReadChainFrames());
    QCOMPARE(WindowMismatches(*Form, State), QStringList{});
    QCOMPARE(Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QCOMPARE(Form->ReplyReceived(), uint8_t{1});
    QVERIFY(!Form->Timer1.isActive());
    QVERIFY(Errors.Messages.isEmpty());
}

void TTransactionsReadTest::ControlsAreTakenAwayDuringTheReadAndGivenBackInOrder()
{
    Faults Slow;
    Slow.replyDelay = 40ms;
    const auto Simulator = StartSimulator(ModuleState{}, Slow);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));

    // Seen from inside the first wait, when the operator could act.
    QStringList EnabledDuringWait;
    QString ConnectDuringWait = "not sampled";
    bool Waiting = false;
    QTimer::singleShot(0, Form.get(), [&] {
        Waiting = Form->WaitingForReply();
        EnabledDuringWait = EnabledControls(*Form);
        ConnectDuringWait = Form->StatusConnect->text();
    });
    TEnabledChanges Changes(*Form);
    Click(Form->ReadConfig);

    QVERIFY(Waiting);
    QCOMPARE(EnabledDuringWait, QStringList{"bit buttons"});
    QVERIFY(ConnectDuringWait.isEmpty());  // blanked before the first request
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(Simulator->Requests().size(), std::size_t{15});
    QVERIFY(Errors.Messages.isEmpty());
}

void TTransactionsReadTest::ModuleSilentFromTheP2DirectionRead()
{
    const ModuleState State = DistinctState();
    const auto Simulator = StartSimulator(State);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(ShortTimeoutMs);
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    // Values from an earlier read must not survive in the later rows.
    Click(Form->ReadConfig);
    QCOMPARE(WindowMismatches(*Form, State), QStringList{});

    Faults SilentFromP2;
    SilentFromP2.silentFromRequest = 7;  // the seventh read is P2's direction
    Simulator->SetFaults(SilentFromP2);
    Simulator->ClearRequests();
    TEnabledChanges Changes(*Form);
    Click(Form->ReadConfig);

    const TFrames All = ReadChainFrames();
    QCOMPARE(Simulator->Requests(), TFrames(All.begin(), All.begin() + 7));
    QCOMPARE(TimedOutDisplay(*Form), TimeOutTexts);
    QCOMPARE(Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(Form->IDDisplay->text(), QString("5A"));
    QCOMPARE(Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 0)->text(), QString("12"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 0), RowCaptions(TPortGrid::Direction, 0x12));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 1)->text(), QString("A4"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 1), RowCaptions(TPortGrid::Direction, 0xA4));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 2)->text(), QString("00"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 2), SameCaptions("?"));
    QCOMPARE(Form->DirBits[2], TMainForm::TBitRow{});
    for (int Row = 3; Row < PortRowCount; ++Row) {
        QVERIFY(Form->ByteField(TPortGrid::Direction, Row)->text().isEmpty());
        QCOMPARE(Captions(*Form, TPortGrid::Direction, Row), SameCaptions(""));
    }
    for (int Row = 0; Row < PortRowCount; ++Row) {
        QVERIFY(Form->ByteField(TPortGrid::Default, Row)->text().isEmpty());
        QCOMPARE(Captions(*Form, TPortGrid::Default, Row), SameCaptions(""));
    }
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY(Errors.Messages.isEmpty());
}

void TTransactionsReadTest::NoModuleSendsOnlyTheIdentityRequest()
{
    const auto Simulator = StartSimulator(DistinctState());
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(ShortTimeoutMs);
    OpenSimulatorPort(*Form, *Simulator);
    Click(Form->ReadConfig);
    QCOMPARE(WindowMismatches(*Form, DistinctState()), QStringList{});

    Faults Silent;
    Silent.silentFromRequest = 1;
    Simulator->SetFaults(Silent);
    Simulator->ClearRequests();
    Click(Form->ReadConfig);

    QCOMPARE(Simulator->Requests(), TFrames{ReadFrame(0)});
    QCOMPARE(TimedOutDisplay(*Form), TimeOutTexts);
    QVERIFY(Form->StatusDisplay->text().isEmpty());
    QVERIFY(Form->IDDisplay->text().isEmpty());
    QCOMPARE(Form->ComboBaud->currentIndex(), -1);
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row) {
            QVERIFY(Form->ByteField(Grid, Row)->text().isEmpty());
            QCOMPARE(Captions(*Form, Grid, Row), SameCaptions(""));
        }
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY(Errors.Messages.isEmpty());
}

void TTransactionsReadTest::RepliesAreDecodedWhateverTheLineDoes_data()
{
    QTest::addColumn<Faults>("LineFaults");

    Faults Pieces;
    Pieces.splitPieceBytes = 3;
    Pieces.splitGap = 4ms;
    QTest::newRow("replies in pieces of three bytes") << Pieces;

    Faults OneByOne;
    OneByOne.splitPieceBytes = 1;
    OneByOne.splitGap = 1ms;
    QTest::newRow("replies byte by byte") << OneByOne;

    Faults NoiseBefore;
    NoiseBefore.noise.text = "~#\x01+ 00=FF";
    NoiseBefore.noise.randomBytes = 6;
    QTest::newRow("noise before each reply") << NoiseBefore;

    Faults NoiseBetween;
    NoiseBetween.noise.text = "\n zz=9";
    NoiseBetween.noise.randomBytes = 8;
    NoiseBetween.noise.placement = varnolink::sim::NoisePlacement::kAfterReply;
    NoiseBetween.splitPieceBytes = 5;
    NoiseBetween.splitGap = 2ms;
    QTest::newRow("noise between replies, in pieces") << NoiseBetween;

    Faults LowerCase;
    LowerCase.lowerCaseData = true;
    QTest::newRow("lower-case data") << LowerCase;

    Faults WrongLineFirst;
    WrongLineFirst.malformed.kind = varnolink::sim::MalformedKind::kBadAddress;
    QTest::newRow("a wrong line before each reply") << WrongLineFirst;

    Faults ShortLineFirst;
    ShortLineFirst.malformed.kind = varnolink::sim::MalformedKind::kTooShort;
    ShortLineFirst.splitPieceBytes = 4;
    QTest::newRow("a short line before each reply, in pieces") << ShortLineFirst;
}

void TTransactionsReadTest::RepliesAreDecodedWhateverTheLineDoes()
{
    QFETCH(Faults, LineFaults);
    const ModuleState State = DistinctState();
    const auto Simulator = StartSimulator(State, LineFaults);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Simulator->ClearRequests();

    Click(Form->ReadConfig);

    QCOMPARE(Simulator->Requests(), ReadChainFrames());
    QCOMPARE(WindowMismatches(*Form, State), QStringList{});
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY(Errors.Messages.isEmpty());
}

void TTransactionsReadTest::AgainAfterEditingShowsTheModuleNotTheEdits()
{
    const ModuleState State = DistinctState();
    const auto Simulator = StartSimulator(State);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    Click(Form->ReadConfig);

    Click(Form->BitButton(TPortGrid::Default, 3, 6));
    Click(Form->IDDisplay);
    QTest::keyClicks(Form->IDDisplay, "77");
    Click(Form->BitButton(TPortGrid::Direction, 0, 0));
    QCOMPARE(Form->IDDisplay->text(), QString("77"));
    QCOMPARE(Form->ByteField(TPortGrid::Default, 3)->text(), QString("4F"));
    QVERIFY(!WindowMismatches(*Form, State).isEmpty());

    Simulator->ClearRequests();
    Click(Form->ReadConfig);
    QCOMPARE(Simulator->Requests(), ReadChainFrames());
    QCOMPARE(WindowMismatches(*Form, State), QStringList{});
    QCOMPARE(Simulator->State(), State);
    QVERIFY(Errors.Messages.isEmpty());
}

QTEST_MAIN(TTransactionsReadTest)
#include "transactions_read_test.moc"
