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

// Lets the main loop run long enough for a late second report to show up.
void LetLateReportsArrive()
{
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
        QTRY_VERIFY(!F.Form->isVisible());
        QVERIFY(!F.Form->ComPort1.Connected());
        QVERIFY(F.Errors->Messages.isEmpty());
    }

};

void TTransactionsFaultsTest::LineVanishingDuringAWaitIsReportedOnceAndEndsTheRead()
{
    // The P2 direction read gets no reply; while the window waits for it the
    // far end goes away.
    QVERIFY(F.Open({}, SilentOn(6), 1500));
    F.Simulator->ClearRequests();
    F.OnRequest(6, [this] { F.Simulator->HangUp(); });
    Click(F.Form->ReadConfig);
    LetLateReportsArrive();

    QCOMPARE(F.Simulator->Requests(), FirstOf(ReadChainFrames, 7));
    QCOMPARE(F.Errors->Messages.size(), 1);
    QCOMPARE(EnabledControls(*F.Form), ClosedAfterLossControls);
    QCOMPARE(F.Form->StatusConnect->text(), QString("Disconnect"));
}

void TTransactionsFaultsTest::LineVanishingRightAfterAReplyIsReportedOnce()
{
    QVERIFY(F.Open(StateWith([](TModuleState& S) { S.Directions[1] = 0x34; }), {}, 1500));
    F.Simulator->ClearRequests();

    // The far end goes away the moment P1's direction reply is shown, so the
    // next request is written into a line that is already gone (or not
    // written at all when the loss has been seen first).
    QObject::connect(F.Form->ByteField(TPortGrid::Direction, 1), &QLineEdit::textChanged, F.Form.get(),
                     [this](const QString& Text) {
                         if (Text == "34" && !F.Simulator->HungUp())
                             F.Simulator->HangUp();
                     });
    Click(F.Form->ReadConfig);
    LetLateReportsArrive();

    QCOMPARE(F.Simulator->Requests(), FirstOf(ReadChainFrames, 6));
    QVERIFY2(F.Errors->Messages.size() == 1, qPrintable(F.Errors->Messages.join("\n---\n")));
    QCOMPARE(F.Form->ByteField(TPortGrid::Direction, 1)->text(), QString("34"));
    QCOMPARE(EnabledControls(*F.Form), ClosedAfterLossControls);
    QVERIFY(!F.Form->WaitingForReply());
    QCOMPARE(F.Form->StatusConnect->text(), QString("Disconnect"));
}

void TTransactionsFaultsTest::LineVanishingDuringTheWritesSkipsTheReadBack()
{
    QVERIFY(OpenAndRead(F, TModuleState{}, {}, 1500));
    F.Simulator->SetFaults(SilentOn(3));
    F.OnRequest(3, [this] { F.Simulator->HangUp(); });
    Click(F.Form->SaveConfig);
    LetLateReportsArrive();

    // The line is known to be gone: the read-back is not attempted, so the
    // window still shows what was there before.
    QCOMPARE(F.Simulator->Requests(), (TFrames{"*02:1,01=00\r\n", "*03:1,03=00\r\n"}));
    QCOMPARE(F.Errors->Messages.size(), 1);
    QCOMPARE(F.Form->IDDisplay->text(), QString("01"));
    QCOMPARE(EnabledControls(*F.Form), ClosedAfterLossControls);
}

void TTransactionsFaultsTest::WriteFailingEndsTheTransactionAndGivesTheControlsBack()
{
    QVERIFY(F.Open());
    F.Simulator->ClearRequests();

    // The port is closed underneath the transaction while the P0 direction
    // read marks its field, just before its frame is written.
    QObject::connect(F.Form->ByteField(TPortGrid::Direction, 0), &QLineEdit::textChanged, F.Form.get(),
                     [this](const QString& Text) {
                         if (Text == "??")
                             F.Form->ComPort1.Close();
                     });
    TEnabledChanges Changes(*F.Form);
    Click(F.Form->ReadConfig);
    LetLateReportsArrive();

    QCOMPARE(F.Simulator->Requests(), FirstOf(ReadChainFrames, 4));
    QCOMPARE(F.Errors->Messages.size(), 1);
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*F.Form), Sorted(ConnectedControls));
    // The failed read shows no value; nothing after it was prepared.
    QCOMPARE(RowState(*F.Form, TPortGrid::Direction, 0), MarkedRow);
    QVERIFY(F.Form->ByteField(TPortGrid::Direction, 1)->text().isEmpty());
    QCOMPARE(Captions(*F.Form, TPortGrid::Direction, 1), SameCaptions(""));
}

void TTransactionsFaultsTest::ClosingTheWindowDuringReadConfigStopsTheReads()
{
    QVERIFY(F.Open({}, SilentOn(6)));
    F.Simulator->ClearRequests();
    F.OnRequest(6, [this] { F.Form->close(); });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F.Form->ReadConfig);  // returns once the wait has been cut short

    ExpectClosedDuringTheWait(Elapsed.elapsed());
    QCOMPARE(F.Simulator->Requests(), FirstOf(ReadChainFrames, 7));
}

void TTransactionsFaultsTest::ClosingTheWindowDuringSaveConfigSendsNoReadBack()
{
    QVERIFY(OpenAndRead(F, TModuleState{}));
    F.Simulator->SetFaults(SilentOn(2));
    F.OnRequest(2, [this] { F.Form->close(); });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F.Form->SaveConfig);

    ExpectClosedDuringTheWait(Elapsed.elapsed());
    QCOMPARE(F.Simulator->Requests(), TFrames{"*02:1,01=00\r\n"});
    QVERIFY(!F.Simulator->WaitForRequests(2, 300ms));
    // The read-back never started: nothing was blanked for it.
    QCOMPARE(WindowMismatches(*F.Form, TModuleState{}), QStringList{});
}

QTEST_MAIN(TTransactionsFaultsTest)
#include "transactions_faults_test.moc"
