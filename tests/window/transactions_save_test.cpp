// SAVE CONFIG and SAVE CONFIG TO DEFAULT against the simulated module: the
// writes on the wire after editing with the mouse and the keyboard, the read
// back, a silent module, the refusal to write values nobody has seen, a bit
// clicked while the writes run, and the factory values.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <chrono>

#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

namespace {

ModuleState ReadState()
{
    ModuleState State;
    State.remoteId = 0x5A;
    State.baudIndex = 5;
    State.directions = {0x12, 0x34, 0x56, 0x78, 0x9A};
    State.defaults = {0xBC, 0xDE, 0xF0, 0x0F, 0xA5};
    return State;
}

// A window connected to Simulator that has read the module's configuration.
bool ConnectAndRead(TMainForm& Form, TModuleSimulator& Simulator)
{
    OpenSimulatorPort(Form, Simulator);
    if (Form.StatusConnect->text() != "Connect OK")
        return false;
    Click(Form.ReadConfig);
    Simulator.ClearRequests();
    return WindowMismatches(Form, Simulator.State()).isEmpty();
}

QString MessagesText(const TErrorRecorder& Errors)
{
    return Errors.Messages.join("\n---\n");
}

}  // namespace

class TTransactionsSaveTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void SavesWhatWasEditedThenReadsEverythingBack();
    void SilentModuleCostsTwoTimeOuts();
    void ModuleSilentFromTheThirdWriteStillGetsTheReadBack();
    void RefusedWhenNothingHasBeenRead();
    void RefusedForTheRowsOfAReadThatGotNoReply();
    void BitClickedDuringTheWritesChangesWhatIsSent();
    void SaveToDefaultWritesTheFactoryValuesWithoutReadBack();
    void SaveToDefaultStopsAtTheFirstMissingReply();
};

void TTransactionsSaveTest::SavesWhatWasEditedThenReadsEverythingBack()
{
    const auto Simulator = StartSimulator(ReadState());
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    QVERIFY(ConnectAndRead(*Form, *Simulator));

    // The operator edits: baud one entry down, a typed P1 direction, a
    // flipped P0 direction bit, a typed Remote ID, a flipped P2 default bit,
    // and a P5 default typed with a non-hexadecimal character.
    QTest::keyClick(Form->ComboBaud, Qt::Key_Down);
    Click(Form->ByteField(TPortGrid::Direction, 1));
    QTest::keyClicks(Form->ByteField(TPortGrid::Direction, 1), "c3");
    Click(Form->BitButton(TPortGrid::Direction, 0, 7));
    Click(Form->IDDisplay);
    QTest::keyClicks(Form->IDDisplay, "3c");
    Click(Form->BitButton(TPortGrid::Default, 2, 3));
    Click(Form->ByteField(TPortGrid::Default, 4));
    QTest::keyClicks(Form->ByteField(TPortGrid::Default, 4), "g7");

    ModuleState Edited = ReadState();
    Edited.baudIndex = 6;
    Edited.directions[1] = 0xC3;
    Edited.directions[0] = 0x92;
    Edited.remoteId = 0x3C;
    Edited.defaults[2] = 0xF8;
    Edited.defaults[4] = 0x07;
    QCOMPARE(Form->ComboBaud->currentText(), QString("57600"));
    QCOMPARE(Form->IDDisplay->text(), QString("3C"));
    QCOMPARE(Form->ByteField(TPortGrid::Default, 4)->text(), QString("07"));
    QCOMPARE(Simulator->Requests(), TFrames{});

    TEnabledChanges Changes(*Form);
    Click(Form->SaveConfig);

    QCOMPARE(Simulator->Requests(), Joined({WriteFramesOf(Edited), ReadChainFrames()}));
    QCOMPARE(Simulator->State(), Edited);
    QCOMPARE(WindowMismatches(*Form, Edited), QStringList{});
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(MessagesText(Errors)));
}

void TTransactionsSaveTest::SilentModuleCostsTwoTimeOuts()
{
    const auto Simulator = StartSimulator(ReadState());
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(ShortTimeoutMs);
    QVERIFY(ConnectAndRead(*Form, *Simulator));

    Faults Silent;
    Silent.silentFromRequest = 1;
    Simulator->SetFaults(Silent);
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(Form->SaveConfig);

    // The first write goes unanswered, then the read-back's first read.
    QVERIFY(Elapsed.elapsed() >= 2 * ShortTimeoutMs);
    QCOMPARE(Simulator->Requests(), (TFrames{WriteFrame(2, "5A"), ReadFrame(0)}));
    QCOMPARE(TimedOutDisplay(*Form), TimeOutTexts);
    QVERIFY(Form->IDDisplay->text().isEmpty());
    QCOMPARE(Form->ComboBaud->currentIndex(), -1);
    QVERIFY(Form->StatusDisplay->text().isEmpty());
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row) {
            QVERIFY(Form->ByteField(Grid, Row)->text().isEmpty());
            QCOMPARE(Captions(*Form, Grid, Row), SameCaptions(""));
        }
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(MessagesText(Errors)));
}

void TTransactionsSaveTest::ModuleSilentFromTheThirdWriteStillGetsTheReadBack()
{
    const auto Simulator = StartSimulator(ReadState());
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(ShortTimeoutMs);
    QVERIFY(ConnectAndRead(*Form, *Simulator));
    Click(Form->BitButton(TPortGrid::Direction, 0, 0));  // P0 direction 12 -> 13

    Faults P0DirectionSilent;
    P0DirectionSilent.silentCodes = {4};
    Simulator->SetFaults(P0DirectionSilent);
    Click(Form->SaveConfig);

    // The write of P0's direction is stored but unanswered: the writes stop
    // there and the read-back stops at the read of the same setting.
    const TFrames Reads = ReadChainFrames();
    QCOMPARE(Simulator->Requests(),
             Joined({{WriteFrame(2, "5A"), WriteFrame(3, "05"), WriteFrame(4, "13")},
                     TFrames(Reads.begin(), Reads.begin() + 5)}));
    QCOMPARE(Simulator->State().directions[0], uint8_t{0x13});
    QCOMPARE(Simulator->State().directions[1], uint8_t{0x34});
    QCOMPARE(Form->IDDisplay->text(), QString("5A"));
    QCOMPARE(Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 0)->text(), QString("00"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 0), SameCaptions("?"));
    QVERIFY(Form->ByteField(TPortGrid::Direction, 1)->text().isEmpty());
    QCOMPARE(TimedOutDisplay(*Form), TimeOutTexts);
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(MessagesText(Errors)));
}

void TTransactionsSaveTest::RefusedWhenNothingHasBeenRead()
{
    const auto Simulator = StartSimulator(ReadState());
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    // One row entered by hand has been seen; it is not named.
    Click(Form->BitButton(TPortGrid::Default, 1, 0));
    Simulator->ClearRequests();
    TEnabledChanges Changes(*Form);

    Click(Form->SaveConfig);

    QVERIFY(!Simulator->WaitForRequests(1, 300ms));
    QCOMPARE(Errors.Messages.size(), 1);
    const QString& Message = Errors.Messages.at(0);
    for (const char* Missing : {"Remote ID Code", "Remote Baudrate", "I/O Direction PORT P0",
                                "I/O Direction PORT P1", "I/O Direction PORT P2", "I/O Direction PORT P4",
                                "I/O Direction PORT P5", "Output Default PORT P0", "Output Default PORT P2",
                                "Output Default PORT P4", "Output Default PORT P5"})
        QVERIFY2(Message.contains(Missing), qPrintable(QString(Missing) + " not named in: " + Message));
    QVERIFY2(!Message.contains("Output Default PORT P1"), qPrintable(Message));
    QVERIFY(Changes.Changes.isEmpty());
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QCOMPARE(Simulator->State(), ReadState());
}

void TTransactionsSaveTest::RefusedForTheRowsOfAReadThatGotNoReply()
{
    const auto Simulator = StartSimulator(ReadState());
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(ShortTimeoutMs);
    OpenSimulatorPort(*Form, *Simulator);

    Faults SilentFromP4Direction;
    SilentFromP4Direction.silentFromRequest = 8;
    Simulator->SetFaults(SilentFromP4Direction);
    Click(Form->ReadConfig);
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 3), SameCaptions("?"));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 3)->text(), QString("00"));
    Simulator->SetFaults({});
    Simulator->ClearRequests();

    Click(Form->SaveConfig);
    QVERIFY(!Simulator->WaitForRequests(1, 300ms));
    QCOMPARE(Errors.Messages.size(), 1);
    QString Message = Errors.Messages.at(0);
    for (const char* Missing : {"I/O Direction PORT P4", "I/O Direction PORT P5", "Output Default PORT P0",
                                "Output Default PORT P5"})
        QVERIFY2(Message.contains(Missing), qPrintable(QString(Missing) + " not named in: " + Message));
    for (const char* Shown : {"Remote ID Code", "Remote Baudrate", "I/O Direction PORT P0", "I/O Direction PORT P2"})
        QVERIFY2(!Message.contains(Shown), qPrintable(QString(Shown) + " named in: " + Message));

    // The operator fills the rows in: the P4 direction by a bit click, the
    // rest by typing; then the configuration is saved as shown.
    Click(Form->BitButton(TPortGrid::Direction, 3, 2));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 3)->text(), QString("04"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 3), RowCaptions(TPortGrid::Direction, 0x04));
    const std::array<std::pair<TPortGrid, int>, 6> Typed{{{TPortGrid::Direction, 4},
                                                          {TPortGrid::Default, 0},
                                                          {TPortGrid::Default, 1},
                                                          {TPortGrid::Default, 2},
                                                          {TPortGrid::Default, 3},
                                                          {TPortGrid::Default, 4}}};
    for (const auto& [Grid, Row] : Typed) {
        Click(Form->ByteField(Grid, Row));
        QTest::keyClicks(Form->ByteField(Grid, Row), "e" + QString::number(Row));
    }
    Click(Form->SaveConfig);

    ModuleState Saved = ReadState();
    Saved.directions[3] = 0x04;
    Saved.directions[4] = 0xE4;
    Saved.defaults = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4};
    QCOMPARE(Errors.Messages.size(), 1);
    QCOMPARE(Simulator->Requests(), Joined({WriteFramesOf(Saved), ReadChainFrames()}));
    QCOMPARE(WindowMismatches(*Form, Saved), QStringList{});
}

void TTransactionsSaveTest::BitClickedDuringTheWritesChangesWhatIsSent()
{
    SimulatorOptions Options;
    Options.state = ReadState();
    TMainForm* FormSeen = nullptr;
    std::atomic<bool> Armed{false};
    // When the baud-rate write arrives, the operator clicks bit 7 of P4's
    // direction and bit 0 of P0's default, before their writes are built.
    // The clicks run on the main thread inside the wait for the reply.
    Options.onRequest = [&](const varnolink::sim::RequestRecord& Request) {
        if (!Armed || Request.code != 3)
            return;
        QMetaObject::invokeMethod(
            FormSeen,
            [&FormSeen] {
                Click(FormSeen->BitButton(TPortGrid::Direction, 3, 7));
                Click(FormSeen->BitButton(TPortGrid::Default, 0, 0));
            },
            Qt::QueuedConnection);
    };
    TModuleSimulator Simulator(Options);
    Simulator.Start();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator.DevicePath()});
    FormSeen = Form.get();
    QVERIFY(ConnectAndRead(*Form, Simulator));

    Armed = true;
    Click(Form->SaveConfig);
    Armed = false;

    ModuleState Sent = ReadState();
    Sent.directions[3] = 0xF8;  // 78 with bit 7 set
    Sent.defaults[0] = 0xBD;    // BC with bit 0 set
    QCOMPARE(Simulator.Requests(), Joined({WriteFramesOf(Sent), ReadChainFrames()}));
    QCOMPARE(Simulator.State(), Sent);
    QCOMPARE(WindowMismatches(*Form, Sent), QStringList{});
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(MessagesText(Errors)));
    Simulator.Stop();
}

void TTransactionsSaveTest::SaveToDefaultWritesTheFactoryValuesWithoutReadBack()
{
    ModuleState Changed = ReadState();
    Changed.status = 0x01;
    Changed.biosName = "SITE 7 MODULE";
    const auto Simulator = StartSimulator(Changed);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    QVERIFY(ConnectAndRead(*Form, *Simulator));
    TEnabledChanges Changes(*Form);

    Click(Form->SaveToDefault);

    const TFrames Expected{ReadFrame(0),           ReadFrame(1),           WriteFrame(2, "01"),
                           WriteFrame(3, "03"),    WriteFrame(4, "00"),    WriteFrame(5, "00"),
                           WriteFrame(6, "F0"),    WriteFrame(7, "FF"),    WriteFrame(8, "FF"),
                           WriteFrame(9, "FF"),    WriteFrame(10, "FF"),   WriteFrame(11, "FF"),
                           WriteFrame(12, "FF"),   WriteFrame(13, "FF")};
    QCOMPARE(Simulator->Requests(), Expected);
    QVERIFY(!Simulator->WaitForRequests(15, 300ms));  // nothing read back

    ModuleState Factory = ModuleState::Factory();
    Factory.status = Changed.status;
    Factory.biosName = Changed.biosName;
    QCOMPARE(Simulator->State(), Factory);
    // What the replies carried: the identity, the status, each written value.
    QCOMPARE(WindowMismatches(*Form, Factory), QStringList{});
    QCOMPARE(Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(MessagesText(Errors)));
}

void TTransactionsSaveTest::SaveToDefaultStopsAtTheFirstMissingReply()
{
    const auto Simulator = StartSimulator(ReadState());
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(ShortTimeoutMs);
    QVERIFY(ConnectAndRead(*Form, *Simulator));

    Faults P2DirectionSilent;
    P2DirectionSilent.silentCodes = {6};
    Simulator->SetFaults(P2DirectionSilent);
    Click(Form->SaveToDefault);

    QCOMPARE(Simulator->Requests(), (TFrames{ReadFrame(0), ReadFrame(1), WriteFrame(2, "01"), WriteFrame(3, "03"),
                                             WriteFrame(4, "00"), WriteFrame(5, "00"), WriteFrame(6, "F0")}));
    // Shown: what the answered writes carried; the rest stays blank.
    QCOMPARE(Form->IDDisplay->text(), QString("01"));
    QCOMPARE(Form->ComboBaud->currentText(), QString("9600"));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 1)->text(), QString("00"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 1), SameCaptions("OUT"));
    QVERIFY(Form->ByteField(TPortGrid::Direction, 2)->text().isEmpty());
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 2), SameCaptions(""));
    QVERIFY(Form->ByteField(TPortGrid::Default, 0)->text().isEmpty());
    QCOMPARE(TimedOutDisplay(*Form), TimeOutTexts);
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(MessagesText(Errors)));
}

QTEST_MAIN(TTransactionsSaveTest)
#include "transactions_save_test.moc"
