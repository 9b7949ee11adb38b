// Transactions that do not end normally: the module's line vanishing in the
// middle, a write that fails, and the window closed while a transaction
// waits for a reply.

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>

#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

namespace {

// A simulator that hands every request to Watch (on its own thread) before
// answering it.
std::unique_ptr<TModuleSimulator> WatchedSimulator(std::function<void(const varnolink::sim::RequestRecord&)> Watch,
                                                   const Faults& Faults = {})
{
    SimulatorOptions Options;
    Options.faults = Faults;
    Options.onRequest = std::move(Watch);
    auto Simulator = std::make_unique<TModuleSimulator>(std::move(Options));
    Simulator->Start();
    return Simulator;
}

// The closed state a lost device leaves: the port list and "Open".
const QStringList ClosedAfterLossControls{"ComboPort", "OpenPort"};

// Lets the main loop run long enough for a late second report to show up.
void LetLateReportsArrive()
{
    QTest::qWait(400);
}

}  // namespace

class TTransactionsFaultsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void LineVanishingDuringAWaitIsReportedOnceAndEndsTheRead();
    void LineVanishingRightAfterAReplyIsReportedOnce();
    void LineVanishingDuringTheWritesSkipsTheReadBack();
    void WriteFailingEndsTheTransactionAndGivesTheControlsBack();
    void ClosingTheWindowDuringReadConfigStopsTheReads();
    void ClosingTheWindowDuringSaveConfigSendsNoReadBack();
};

void TTransactionsFaultsTest::LineVanishingDuringAWaitIsReportedOnceAndEndsTheRead()
{
    TModuleSimulator* Line = nullptr;
    TMainForm* FormSeen = nullptr;
    std::atomic<bool> Armed{false};
    Faults P2DirectionSilent;
    P2DirectionSilent.silentCodes = {6};
    // The P2 direction read gets no reply; while the window waits for it the
    // far end goes away.
    const auto Simulator = WatchedSimulator(
        [&](const varnolink::sim::RequestRecord& Request) {
            if (Armed && Request.code == 6)
                QMetaObject::invokeMethod(FormSeen, [&Line] { Line->HangUp(); }, Qt::QueuedConnection);
        },
        P2DirectionSilent);
    Line = Simulator.get();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    FormSeen = Form.get();
    Form->SetReplyTimeoutForTesting(1500);
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Simulator->ClearRequests();

    Armed = true;
    Click(Form->ReadConfig);
    LetLateReportsArrive();

    const TFrames Reads = ReadChainFrames();
    QCOMPARE(Simulator->Requests(), TFrames(Reads.begin(), Reads.begin() + 7));
    QCOMPARE(Errors.Messages.size(), 1);
    QCOMPARE(EnabledControls(*Form), ClosedAfterLossControls);
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
}

void TTransactionsFaultsTest::LineVanishingRightAfterAReplyIsReportedOnce()
{
    ModuleState State;
    State.directions[1] = 0x34;
    const auto Simulator = StartSimulator(State);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(1500);
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Simulator->ClearRequests();

    // The far end goes away the moment P1's direction reply is shown, so the
    // next request is written into a line that is already gone (or not
    // written at all when the loss has been seen first).
    QObject::connect(Form->ByteField(TPortGrid::Direction, 1), &QLineEdit::textChanged, Form.get(),
                     [&](const QString& Text) {
                         if (Text == "34" && !Simulator->HungUp())
                             Simulator->HangUp();
                     });
    Click(Form->ReadConfig);
    LetLateReportsArrive();

    const TFrames Reads = ReadChainFrames();
    QCOMPARE(Simulator->Requests(), TFrames(Reads.begin(), Reads.begin() + 6));
    QVERIFY2(Errors.Messages.size() == 1, qPrintable(Errors.Messages.join("\n---\n")));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 1)->text(), QString("34"));
    QCOMPARE(EnabledControls(*Form), ClosedAfterLossControls);
    QVERIFY(!Form->WaitingForReply());
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(Errors.Messages.size(), 1);
}

void TTransactionsFaultsTest::LineVanishingDuringTheWritesSkipsTheReadBack()
{
    TModuleSimulator* Line = nullptr;
    TMainForm* FormSeen = nullptr;
    std::atomic<bool> Armed{false};
    Faults BaudWriteSilent;
    BaudWriteSilent.silentCodes = {3};
    const auto Simulator = WatchedSimulator(
        [&](const varnolink::sim::RequestRecord& Request) {
            if (Armed && Request.code == 3)
                QMetaObject::invokeMethod(FormSeen, [&Line] { Line->HangUp(); }, Qt::QueuedConnection);
        });
    Line = Simulator.get();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    FormSeen = Form.get();
    Form->SetReplyTimeoutForTesting(1500);
    OpenSimulatorPort(*Form, *Simulator);
    Click(Form->ReadConfig);
    QCOMPARE(WindowMismatches(*Form, ModuleState{}), QStringList{});
    Simulator->SetFaults(BaudWriteSilent);
    Simulator->ClearRequests();

    Armed = true;
    Click(Form->SaveConfig);
    LetLateReportsArrive();

    // The line is known to be gone: the read-back is not attempted, so the
    // window still shows what was there before.
    QCOMPARE(Simulator->Requests(), (TFrames{WriteFrame(2, "01"), WriteFrame(3, "03")}));
    QCOMPARE(Errors.Messages.size(), 1);
    QCOMPARE(Form->IDDisplay->text(), QString("01"));
    QCOMPARE(EnabledControls(*Form), ClosedAfterLossControls);
}

void TTransactionsFaultsTest::WriteFailingEndsTheTransactionAndGivesTheControlsBack()
{
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Simulator->ClearRequests();

    // The port is closed underneath the transaction while the P0 direction
    // read marks its field, just before its frame is written.
    QObject::connect(Form->ByteField(TPortGrid::Direction, 0), &QLineEdit::textChanged, Form.get(),
                     [&](const QString& Text) {
                         if (Text == "??")
                             Form->ComPort1.Close();
                     });
    TEnabledChanges Changes(*Form);
    Click(Form->ReadConfig);
    LetLateReportsArrive();

    const TFrames Reads = ReadChainFrames();
    QCOMPARE(Simulator->Requests(), TFrames(Reads.begin(), Reads.begin() + 4));
    QCOMPARE(Errors.Messages.size(), 1);
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    // The failed read shows no value; nothing after it was prepared.
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 0)->text(), QString("00"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 0), SameCaptions("?"));
    QVERIFY(Form->ByteField(TPortGrid::Direction, 1)->text().isEmpty());
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 1), SameCaptions(""));
}

void TTransactionsFaultsTest::ClosingTheWindowDuringReadConfigStopsTheReads()
{
    TMainForm* FormSeen = nullptr;
    std::atomic<bool> Armed{false};
    Faults P2DirectionSilent;
    P2DirectionSilent.silentCodes = {6};
    const auto Simulator = WatchedSimulator(
        [&](const varnolink::sim::RequestRecord& Request) {
            if (Armed && Request.code == 6)
                QMetaObject::invokeMethod(FormSeen, [&FormSeen] { FormSeen->close(); }, Qt::QueuedConnection);
        },
        P2DirectionSilent);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    FormSeen = Form.get();
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Simulator->ClearRequests();

    Armed = true;
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(Form->ReadConfig);  // returns once the wait has been cut short
    QVERIFY2(Elapsed.elapsed() < TMainForm::ReplyTimeoutMs, qPrintable(QString::number(Elapsed.elapsed())));

    QTRY_VERIFY(!Form->isVisible());
    QVERIFY(!Form->ComPort1.Connected());
    const TFrames Reads = ReadChainFrames();
    QCOMPARE(Simulator->Requests(), TFrames(Reads.begin(), Reads.begin() + 7));
    QVERIFY(Errors.Messages.isEmpty());
}

void TTransactionsFaultsTest::ClosingTheWindowDuringSaveConfigSendsNoReadBack()
{
    TMainForm* FormSeen = nullptr;
    std::atomic<bool> Armed{false};
    Faults IDWriteSilent;
    IDWriteSilent.silentCodes = {2};
    const auto Simulator = WatchedSimulator(
        [&](const varnolink::sim::RequestRecord& Request) {
            if (Armed && Request.code == 2)
                QMetaObject::invokeMethod(FormSeen, [&FormSeen] { FormSeen->close(); }, Qt::QueuedConnection);
        });
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    FormSeen = Form.get();
    OpenSimulatorPort(*Form, *Simulator);
    Click(Form->ReadConfig);
    QCOMPARE(WindowMismatches(*Form, ModuleState{}), QStringList{});
    Simulator->SetFaults(IDWriteSilent);
    Simulator->ClearRequests();

    Armed = true;
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(Form->SaveConfig);
    QVERIFY2(Elapsed.elapsed() < TMainForm::ReplyTimeoutMs, qPrintable(QString::number(Elapsed.elapsed())));

    QTRY_VERIFY(!Form->isVisible());
    QVERIFY(!Form->ComPort1.Connected());
    QCOMPARE(Simulator->Requests(), TFrames{WriteFrame(2, "01")});
    QVERIFY(!Simulator->WaitForRequests(2, 300ms));
    // The read-back never started: nothing was blanked for it.
    QCOMPARE(WindowMismatches(*Form, ModuleState{}), QStringList{});
    QVERIFY(Errors.Messages.isEmpty());
}

QTEST_MAIN(TTransactionsFaultsTest)
#include "transactions_faults_test.moc"
