// SPDX-License-Identifier: MIT
// Transactions that do not end normally: the module's line vanishing in the
// middle, a write that fails, and the window closed while a transaction
// waits for a reply.

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>

#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

namespace {

// The closed state a lost device leaves: the port list and "Open".
const QStringList ClosedAfterLossControls{"ComboPort", "OpenPort"};

// Waits until the transaction's failure has been reported and the window
// shows Controls, with a deadline generous on a loaded machine; then lets
// the main loop run on for a while, where a late second report would show
// up (the wait decides nothing by itself: the checks after it do).
void WaitForTheReport(const TFormFixture& F, const QStringList& Controls)
{
    QTRY_VERIFY_WITH_TIMEOUT(!F.Errors->Messages.isEmpty() && EnabledControls(*F.Form) == Controls, 20000);
    QTest::qWait(400);
}

TFaults SilentOn(int Code)
{
    return FaultsWith([Code](TFaults& L) { L.SilentCodes = {Code}; });
}

}  // namespace

class TTransactionsFaultsTest : public TFormSuite {
    Q_OBJECT

private slots:
    void LineVanishingDuringAWaitIsReportedOnceAndEndsTheRead();
    void LineVanishingRightAfterAReplyIsReportedOnce();
    void LineVanishingDuringTheWritesSkipsTheReadBack();
    void WriteFailingEndsTheTransactionAndGivesTheControlsBack();
    void ClosingTheWindowDuringReadConfigStopsTheReads();
    void ClosingTheWindowDuringSaveConfigSendsNoReadBack();

private:
    // The window closed from the event loop, and the port with it; the
    // transaction's wait was cut short, not timed out.
    void ExpectClosedDuringTheWait(qint64 WaitedMs)
    {
        QVERIFY2(WaitedMs < TMainForm::ReplyTimeoutMs, qPrintable(QString::number(WaitedMs)));
        QTRY_VERIFY(!F_.Form->isVisible());
        QVERIFY(!F_.Form->ComPort1.Connected());
        QVERIFY(F_.Errors->Messages.isEmpty());
    }
};

void TTransactionsFaultsTest::LineVanishingDuringAWaitIsReportedOnceAndEndsTheRead()
{
    // The P2 direction read gets no reply; while the window waits for it the
    // far end goes away.
    QVERIFY(F_.Open({}, SilentOn(6), 1500));
    F_.Simulator->ClearRequests();
    F_.OnRequest(6, [this] { F_.Simulator->HangUp(); });
    Click(F_.Form->ReadConfig);
    WaitForTheReport(F_, ClosedAfterLossControls);

    QCOMPARE(F_.Simulator->Requests(), FirstOf(ReadChainFrames, 7));
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QCOMPARE(EnabledControls(*F_.Form), ClosedAfterLossControls);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
}

void TTransactionsFaultsTest::LineVanishingRightAfterAReplyIsReportedOnce()
{
    QVERIFY(F_.Open(StateWith([](TModuleState& S) { S.Directions[1] = 0x34; }), {}, 1500));
    F_.Simulator->ClearRequests();

    // The far end goes away the moment P1's direction reply is shown, so the
    // next request is written into a line that is already gone (or not
    // written at all when the loss has been seen first).
    QObject::connect(F_.Form->ByteField(TPortGrid::Direction, 1), &QLineEdit::textChanged, F_.Form.get(),
                     [this](const QString& Text) {
                         if (Text == "34" && !F_.Simulator->HungUp())
                             F_.Simulator->HangUp();
                     });
    Click(F_.Form->ReadConfig);
    WaitForTheReport(F_, ClosedAfterLossControls);

    QCOMPARE(F_.Simulator->Requests(), FirstOf(ReadChainFrames, 6));
    QVERIFY2(F_.Errors->Messages.size() == 1, qPrintable(F_.Errors->Messages.join("\n---\n")));
    QCOMPARE(F_.Form->ByteField(TPortGrid::Direction, 1)->text(), QString("34"));
    QCOMPARE(EnabledControls(*F_.Form), ClosedAfterLossControls);
    QVERIFY(!F_.Form->WaitingForReply());
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
}

void TTransactionsFaultsTest::LineVanishingDuringTheWritesSkipsTheReadBack()
{
    QVERIFY(OpenAndRead(F_, TModuleState{}, {}, 1500));
    F_.Simulator->SetFaults(SilentOn(3));
    F_.OnRequest(3, [this] { F_.Simulator->HangUp(); });
    Click(F_.Form->SaveConfig);
    WaitForTheReport(F_, ClosedAfterLossControls);

    // The line is known to be gone: the read-back is not attempted, so the
    // window still shows what was there before.
    QCOMPARE(F_.Simulator->Requests(), (TFrames{"*02:1,01=00\r\n", "*03:1,03=00\r\n"}));
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QCOMPARE(F_.Form->IDDisplay->text(), QString("01"));
    QCOMPARE(EnabledControls(*F_.Form), ClosedAfterLossControls);
}

void TTransactionsFaultsTest::WriteFailingEndsTheTransactionAndGivesTheControlsBack()
{
    QVERIFY(F_.Open());
    F_.Simulator->ClearRequests();

    // The port is closed underneath the transaction while the P0 direction
    // read marks its field, just before its frame is written.
    QObject::connect(F_.Form->ByteField(TPortGrid::Direction, 0), &QLineEdit::textChanged, F_.Form.get(),
                     [this](const QString& Text) {
                         if (Text == "??")
                             F_.Form->ComPort1.Close();
                     });
    TEnabledChanges Changes(*F_.Form);
    Click(F_.Form->ReadConfig);
    WaitForTheReport(F_, Sorted(ConnectedControls));

    QCOMPARE(F_.Simulator->Requests(), FirstOf(ReadChainFrames, 4));
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    // The failed read shows no value; nothing after it was prepared.
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), MarkedRow);
    QVERIFY(F_.Form->ByteField(TPortGrid::Direction, 1)->text().isEmpty());
    QCOMPARE(Captions(*F_.Form, TPortGrid::Direction, 1), SameCaptions(""));
}

void TTransactionsFaultsTest::ClosingTheWindowDuringReadConfigStopsTheReads()
{
    QVERIFY(F_.Open({}, SilentOn(6)));
    F_.Simulator->ClearRequests();
    F_.OnRequest(6, [this] { F_.Form->close(); });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F_.Form->ReadConfig);  // returns once the wait has been cut short

    ExpectClosedDuringTheWait(Elapsed.elapsed());
    QCOMPARE(F_.Simulator->Requests(), FirstOf(ReadChainFrames, 7));
}

void TTransactionsFaultsTest::ClosingTheWindowDuringSaveConfigSendsNoReadBack()
{
    QVERIFY(OpenAndRead(F_, TModuleState{}));
    F_.Simulator->SetFaults(SilentOn(2));
    F_.OnRequest(2, [this] { F_.Form->close(); });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F_.Form->SaveConfig);

    ExpectClosedDuringTheWait(Elapsed.elapsed());
    QCOMPARE(F_.Simulator->Requests(), TFrames{"*02:1,01=00\r\n"});
    QVERIFY(!F_.Simulator->WaitForRequests(2, 300ms));
    // The read-back never started: nothing was blanked for it.
    QCOMPARE(WindowMismatches(*F_.Form, TModuleState{}), QStringList{});
}

QTEST_MAIN(TTransactionsFaultsTest)
#include "transactions_faults_test.moc"
