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

class TWindowReplyWaitTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void SilentModuleTimesOutAfterTheFullFiveSeconds();
    void ReplyInPiecesUpdatesTheGridOnce();
    void ReplyAfterTheTimeOutIsStillShown();
    void ClosingTheWindowDuringTheWaitEndsItAndClosesThePort();
    void ApplicationQuittingDuringTheWaitEndsIt();
};

void TWindowReplyWaitTest::SilentModuleTimesOutAfterTheFullFiveSeconds()
{
    Faults Silent;
    Silent.silentFromRequest = 1;
    const auto Simulator = StartSimulator({}, Silent);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    DropDown(*Form);
    QVERIFY(PickPort(*Form, PortName(Simulator->DevicePath())));

    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(Form->OpenPort);
    const qint64 Waited = Elapsed.elapsed();

    QVERIFY2(Waited >= 5000, qPrintable(QString::number(Waited)));
    QCOMPARE(Form->StatusConnect->text(), QString("Time-Out"));
    QCOMPARE(Form->BiosNameDisplay->text(), QString("Unknown"));
    QCOMPARE(Form->BIOSVersionDisplay->text(), QString("Unknown"));
    QCOMPARE(EnabledControls(*Form), QStringList{"ClosePort"});
    QVERIFY(Errors.Messages.isEmpty());
}

void TWindowReplyWaitTest::ReplyInPiecesUpdatesTheGridOnce()
{
    ModuleState State;
    State.directions[4] = 0x3C;
    Faults Pieces;
    Pieces.splitPieceBytes = 2;
    Pieces.splitGap = 15ms;
    const auto Simulator = StartSimulator(State, Pieces);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));

    QLineEdit* const P5 = Form->ByteField(TPortGrid::Direction, 4);
    Form->Read_P5_Direction();
    QSignalSpy Changes(P5, &QLineEdit::textChanged);
    Form->WaitCommandExecute();

    QCOMPARE(Form->ReplyReceived(), uint8_t{1});
    QCOMPARE(Changes.size(), 1);
    QCOMPARE(Changes.at(0).at(0).toString(), QString("3C"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 4),
             QStringList({"OUT", "OUT", "IN", "IN", "IN", "IN", "OUT", "OUT"}));
    QVERIFY(Errors.Messages.isEmpty());
}

void TWindowReplyWaitTest::ReplyAfterTheTimeOutIsStillShown()
{
    ModuleState State;
    State.defaults[0] = 0x5A;
    const auto Simulator = StartSimulator(State);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(150);
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));

    Faults Slow;
    Slow.replyDelay = 600ms;
    Simulator->SetFaults(Slow);
    Form->Read_P0_Default();
    Form->WaitCommandExecute();
    QCOMPARE(Form->ReplyReceived(), uint8_t{0});
    QCOMPARE(Form->StatusConnect->text(), QString("Time-Out"));
    QCOMPARE(Form->ByteField(TPortGrid::Default, 0)->text(), QString("00"));

    // Decoded when the main loop next runs, into the field of its own code.
    QTRY_COMPARE_WITH_TIMEOUT(Form->ByteField(TPortGrid::Default, 0)->text(), QString("5A"), 3000);
    QCOMPARE(Form->ReplyReceived(), uint8_t{1});
    QVERIFY(Errors.Messages.isEmpty());
}

void TWindowReplyWaitTest::ClosingTheWindowDuringTheWaitEndsItAndClosesThePort()
{
    Faults Silent;
    Silent.silentFromRequest = 1;
    const auto Simulator = StartSimulator({}, Silent);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    DropDown(*Form);
    QVERIFY(PickPort(*Form, PortName(Simulator->DevicePath())));

    bool WaitingWhenClosed = false;
    QTimer::singleShot(200, Form.get(), [&] {
        WaitingWhenClosed = Form->WaitingForReply();
        Form->close();
    });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(Form->OpenPort);  // returns once the wait has been cut short
    QVERIFY(WaitingWhenClosed);
    QVERIFY2(Elapsed.elapsed() < 4000, qPrintable(QString::number(Elapsed.elapsed())));
    QVERIFY(!Form->WaitingForReply());
    QCOMPARE(Form->ReplyReceived(), uint8_t{0});

    // The window closes from the event loop once the handler has returned.
    QTRY_VERIFY(!Form->isVisible());
    QVERIFY(!Form->ComPort1.Connected());
    QVERIFY(Errors.Messages.isEmpty());
}

// Last in this suite: afterwards the application has been told to quit.
void TWindowReplyWaitTest::ApplicationQuittingDuringTheWaitEndsIt()
{
    Faults Silent;
    Silent.silentFromRequest = 1;
    const auto Simulator = StartSimulator({}, Silent);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(200);
    OpenSimulatorPort(*Form, *Simulator);
    Click(Form->ClosePort);
    Form->SetReplyTimeoutForTesting(TMainForm::ReplyTimeoutMs);

    QTimer::singleShot(200, qApp, [] { QCoreApplication::exit(0); });
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(Form->OpenPort);
    QVERIFY2(Elapsed.elapsed() < 4000, qPrintable(QString::number(Elapsed.elapsed())));
    QCOMPARE(Form->ReplyReceived(), uint8_t{0});
    QVERIFY(!Form->WaitingForReply());
    // No "Time-Out": the wait was given up, not expired.
    QVERIFY(Form->StatusConnect->text().isEmpty());
}

QTEST_MAIN(TWindowReplyWaitTest)
#include "window_reply_wait_test.moc"
