// SPDX-License-Identifier: MIT
// The reply wait: the real 5000 ms time-out, replies in pieces, late
// replies, and a window that is closed or an application that quits while
// a wait runs.

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "form_fixture.h"

using namespace window_test;
using namespace std::chrono_literals;

namespace {

const TFaults Silent = FaultsWith([](TFaults& L) { L.SilentFromRequest = 1; });

}  // namespace

class TWindowReplyWaitTest : public TFormSuite {
    Q_OBJECT

private slots:
    void SilentModuleTimesOutAfterTheFullFiveSeconds();
    void ReplyInPiecesUpdatesTheGridOnce();
    void ReplyAfterTheTimeOutIsStillShown();
    void ClosingTheWindowDuringTheWaitEndsItAndClosesThePort();
    void ApplicationQuittingDuringTheWaitEndsIt();

private:
    // A silent module's port picked, "Open" not yet pressed.
    bool PickSilentModule()
    {
        F_.StartModule({}, Silent);
        F_.ShowWindow();
        DropDown(*F_.Form);
        return PickPort(*F_.Form, PortName(F_.Simulator->DevicePath()));
    }
};

void TWindowReplyWaitTest::SilentModuleTimesOutAfterTheFullFiveSeconds()
{
    QVERIFY(PickSilentModule());
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F_.Form->OpenPort);
    const qint64 Waited = Elapsed.elapsed();

    QVERIFY2(Waited >= 5000, qPrintable(QString::number(Waited)));
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Time-Out"));
    QCOMPARE(F_.Form->BiosNameDisplay->text(), QString("Unknown"));
    QCOMPARE(F_.Form->BIOSVersionDisplay->text(), QString("Unknown"));
    QCOMPARE(EnabledControls(*F_.Form), QStringList{"ClosePort"});
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TWindowReplyWaitTest::ReplyInPiecesUpdatesTheGridOnce()
{
    QVERIFY(F_.Open(StateWith([](TModuleState& S) { S.Directions[4] = 0x3C; }), FaultsWith([](TFaults& L) {
                        L.SplitPieceBytes = 2;
                        L.SplitGap = 15ms;
                    })));
    QLineEdit* const P5 = F_.Form->ByteField(TPortGrid::Direction, 4);
    F_.Form->Read_P5_Direction();
    QSignalSpy Changes(P5, &QLineEdit::textChanged);
    F_.Form->WaitCommandExecute();

    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{1});
    QCOMPARE(Changes.size(), 1);
    QCOMPARE(Changes.at(0).at(0).toString(), QString("3C"));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 4), QString("3C | OUT OUT IN IN IN IN OUT OUT | 00111100"));
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TWindowReplyWaitTest::ReplyAfterTheTimeOutIsStillShown()
{
    QVERIFY(F_.Open(StateWith([](TModuleState& S) { S.Defaults[0] = 0x5A; }), {}, 150));
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.ReplyDelay = 600ms; }));
    F_.Form->Read_P0_Default();
    F_.Form->WaitCommandExecute();
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{0});
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Time-Out"));
    QCOMPARE(F_.Form->ByteField(TPortGrid::Default, 0)->text(), QString("00"));

    // Decoded when the main loop next runs, into the field of its own code.
    QTRY_COMPARE_WITH_TIMEOUT(F_.Form->ByteField(TPortGrid::Default, 0)->text(), QString("5A"), 3000);
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{1});
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TWindowReplyWaitTest::ClosingTheWindowDuringTheWaitEndsItAndClosesThePort()
{
    QVERIFY(PickSilentModule());
    bool WaitingWhenClosed = false;
    QTimer::singleShot(200, F_.Form.get(), [&] {
        WaitingWhenClosed = F_.Form->WaitingForReply();
        F_.Form->close();
    });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F_.Form->OpenPort);  // returns once the wait has been cut short
    QVERIFY(WaitingWhenClosed);
    QVERIFY2(Elapsed.elapsed() < 4000, qPrintable(QString::number(Elapsed.elapsed())));
    QVERIFY(!F_.Form->WaitingForReply());
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{0});

    // The window closes from the event loop once the handler has returned.
    QTRY_VERIFY(!F_.Form->isVisible());
    QVERIFY(!F_.Form->ComPort1.Connected());
    QVERIFY(F_.Errors->Messages.isEmpty());
}

// Last in this suite: afterwards the application has been told to quit.
void TWindowReplyWaitTest::ApplicationQuittingDuringTheWaitEndsIt()
{
    F_.Open({}, Silent, 200);
    Click(F_.Form->ClosePort);
    F_.Form->SetReplyTimeoutForTesting(TMainForm::ReplyTimeoutMs);

    QTimer::singleShot(200, qApp, [] { QCoreApplication::exit(0); });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F_.Form->OpenPort);
    QVERIFY2(Elapsed.elapsed() < 4000, qPrintable(QString::number(Elapsed.elapsed())));
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{0});
    QVERIFY(!F_.Form->WaitingForReply());
    // No "Time-Out": the wait was given up, not expired.
    QVERIFY(F_.Form->StatusConnect->text().isEmpty());
}

QTEST_MAIN(TWindowReplyWaitTest)
#include "window_reply_wait_test.moc"
