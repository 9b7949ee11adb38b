// Opening and closing the connection: the identity check, the states the
// window goes through, errors of the port and a device that goes away.

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cerrno>
#include <stdexcept>

#include "form_fixture.h"
#include "main/window/error_display.h"
#include "main/window/port_combo_box.h"

using namespace window_test;

class TWindowConnectionTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void OpenIdentifiesTheModuleAndEnablesTheConfiguration();
    void SilentModuleTimesOutWithOnlyCloseEnabledAndCanBeRetried();
    void OpenFailureShowsTheErrorAndLeavesOpenAndCloseEnabled();
    void RefusedRequestWriteLeavesThePortClosable();
    void CloseBlanksAndDisablesEverythingAndKeepsThePort();
    void ReopenIdentifiesAgainWithBlankGridsAndRememberedBits();
    void ErrorTextAddsTheDialoutHintForAPermissionRefusal();
    void DeviceThatGoesAwayIsReportedOnce();
};

void TWindowConnectionTest::OpenIdentifiesTheModuleAndEnablesTheConfiguration()
{
    ModuleState State;
    State.biosName = "TEST MODULE 7";
    State.biosVersion = "9.87z";
    const auto Simulator = StartSimulator(State);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});

    OpenSimulatorPort(*Form, *Simulator);

    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    QCOMPARE(Form->BiosNameDisplay->text(), QString("TEST MODULE 7"));
    QCOMPARE(Form->BIOSVersionDisplay->text(), QString("9.87z"));
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY(Form->ComPort1.Connected());
    QCOMPARE(Form->ComPort1.Port(), Simulator->DevicePath());
    QCOMPARE(Form->ComPort1.BaudRate(), cport::br9600);
    QCOMPARE(Simulator->Requests(), std::vector<std::string>{"*00:0,00=00\r\n"});
    QVERIFY(!Form->Timer1.isActive());
    // Opening reads no configuration: the grids and fields stay blank.
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 0), SameCaptions(""));
    QVERIFY(Form->ByteField(TPortGrid::Default, 4)->text().isEmpty());
    QVERIFY(Form->IDDisplay->text().isEmpty());
    QCOMPARE(Form->ComboBaud->currentIndex(), -1);
    QVERIFY(Errors.Messages.isEmpty());
}

void TWindowConnectionTest::SilentModuleTimesOutWithOnlyCloseEnabledAndCanBeRetried()
{
    Faults Silent;
    Silent.silentFromRequest = 1;
    const auto Simulator = StartSimulator({}, Silent);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(300);

    OpenSimulatorPort(*Form, *Simulator);

    QCOMPARE(Form->StatusConnect->text(), QString("Time-Out"));
    QCOMPARE(Form->BiosNameDisplay->text(), QString("Unknown"));
    QCOMPARE(Form->BIOSVersionDisplay->text(), QString("Unknown"));
    QCOMPARE(EnabledControls(*Form), QStringList{"ClosePort"});
    QCOMPARE(Form->ReplyReceived(), uint8_t{0});
    QCOMPARE(Form->TimedOut, uint8_t{1});
    QVERIFY(Form->ComPort1.Connected());  // the port stays open
    QVERIFY(!Form->Timer1.isActive());

    // "Close" and "Open" start a new attempt with a new wait.
    Click(Form->ClosePort);
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    Click(Form->OpenPort);
    QCOMPARE(Form->StatusConnect->text(), QString("Time-Out"));
    QVERIFY(Simulator->WaitForRequests(2, std::chrono::milliseconds(2000)));
    QCOMPARE(Simulator->Requests().size(), std::size_t{2});
    QVERIFY(Errors.Messages.isEmpty());
}

void TWindowConnectionTest::OpenFailureShowsTheErrorAndLeavesOpenAndCloseEnabled()
{
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    DropDown(*Form);
    QVERIFY(PickPort(*Form, PortName(Simulator->DevicePath())));

    // Another port takes the line between the drop-down and "Open".
    cport::TComPort Holder;
    Holder.SetEvents({});
    Holder.SetPort(Simulator->DevicePath());
    Holder.Open();
    Click(Form->OpenPort);

    QCOMPARE(Errors.Messages.size(), 1);
    QVERIFY2(Errors.Messages.at(0).startsWith("Unable to open com port"), qPrintable(Errors.Messages.at(0)));
    QVERIFY(!Form->ComPort1.Connected());
    QCOMPARE(EnabledControls(*Form), Sorted({"ComboPort", "OpenPort", "ClosePort"}));
    for (QLineEdit* Field :
         {Form->StatusConnect, Form->BiosNameDisplay, Form->BIOSVersionDisplay, Form->StatusDisplay, Form->IDDisplay})
        QVERIFY(Field->text().isEmpty());
    QCOMPARE(Form->ComboBaud->currentIndex(), -1);
    QVERIFY(Simulator->Requests().empty());

    // "Close" on the port that never opened completes without an error.
    Click(Form->ClosePort);
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(Errors.Messages.size(), 1);
    QCOMPARE(EnabledControls(*Form), Sorted({"ComboPort", "OpenPort"}));

    // Once the line is free, "Open" works without picking the port again.
    Holder.Close();
    Click(Form->OpenPort);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
}

void TWindowConnectionTest::RefusedRequestWriteLeavesThePortClosable()
{
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    // The line goes away right after the port has opened: the identity
    // request cannot be written.
    Form->ComPort1.OnAfterOpen = [&](cport::TComponent*) { Simulator->HangUp(); };
    OpenSimulatorPort(*Form, *Simulator);

    // The refused write means the device is gone: the window closes the
    // port itself and says so once, the write's error first.
    QCOMPARE(Errors.Messages.size(), 1);
    QVERIFY2(Errors.Messages.at(0).startsWith("WriteFile function failed"), qPrintable(Errors.Messages.at(0)));
    QVERIFY(!Form->ComPort1.Connected());
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(EnabledControls(*Form), Sorted({"ComboPort", "OpenPort"}));
}

void TWindowConnectionTest::CloseBlanksAndDisablesEverythingAndKeepsThePort()
{
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));

    // Fill what the operator can fill: both grids, the ID and the baud rate.
    Click(Form->BitButton(TPortGrid::Direction, 0, 7));
    Click(Form->BitButton(TPortGrid::Default, 4, 0));
    Click(Form->IDDisplay);
    QTest::keyClicks(Form->IDDisplay, "2b");
    Form->ComboBaud->setCurrentIndex(4);
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 0)->text(), QString("80"));
    QCOMPARE(Form->IDDisplay->text(), QString("2B"));

    Click(Form->ClosePort);

    QVERIFY(!Form->ComPort1.Connected());
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        for (int Row = 0; Row < PortRowCount; ++Row) {
            QCOMPARE(Captions(*Form, Grid, Row), SameCaptions(""));
            QVERIFY(Form->ByteField(Grid, Row)->text().isEmpty());
        }
    }
    for (QLineEdit* Field : {Form->BiosNameDisplay, Form->BIOSVersionDisplay, Form->StatusDisplay, Form->IDDisplay})
        QVERIFY2(Field->text().isEmpty(), qPrintable(Field->objectName()));
    QCOMPARE(Form->ComboBaud->currentIndex(), -1);
    // IDDisplay keeps its enabled state; the previously chosen port stays shown.
    QCOMPARE(EnabledControls(*Form), Sorted({"ComboPort", "OpenPort", "IDDisplay"}));
    QCOMPARE(Form->ComboPort->currentText(), PortName(Simulator->DevicePath()));
    // The bit tables are not reset.
    QCOMPARE(Form->DirBits[0][7], uint8_t{1});
    QCOMPARE(Form->DefBits[4][0], uint8_t{1});
    QVERIFY(Errors.Messages.isEmpty());
}

void TWindowConnectionTest::ReopenIdentifiesAgainWithBlankGridsAndRememberedBits()
{
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    Click(Form->ByteField(TPortGrid::Direction, 2));
    QTest::keyClicks(Form->ByteField(TPortGrid::Direction, 2), "c3");
    Click(Form->ClosePort);

    Click(Form->OpenPort);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    QCOMPARE(Simulator->Requests().size(), std::size_t{2});
    // Opening empties the Remote ID; no focus move on the way may refill it.
    QVERIFY2(Form->IDDisplay->text().isEmpty(), qPrintable(Form->IDDisplay->text()));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 2), SameCaptions(""));
    QVERIFY(Form->ByteField(TPortGrid::Direction, 2)->text().isEmpty());

    // The first click on the blank row shows the remembered C3 with bit 0 flipped.
    Click(Form->BitButton(TPortGrid::Direction, 2, 0));
    QCOMPARE(Form->ByteField(TPortGrid::Direction, 2)->text(), QString("C2"));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 2),
             QStringList({"IN", "IN", "OUT", "OUT", "OUT", "OUT", "IN", "OUT"}));
    QCOMPARE(Captions(*Form, TPortGrid::Direction, 1), SameCaptions(""));
    QVERIFY(Errors.Messages.isEmpty());
}

void TWindowConnectionTest::ErrorTextAddsTheDialoutHintForAPermissionRefusal()
{
    const QString Refused =
        ErrorMessageText(std::make_exception_ptr(cport::EComPort(cport::CError_OpenFailed, EACCES)));
    const QStringList Lines = Refused.split('\n');
    QCOMPARE(Lines.size(), 2);
    QCOMPARE(Lines.at(0), QString("Unable to open com port (win error code: %1)").arg(EACCES));
    QVERIFY(Lines.at(1).contains("\"dialout\" group"));
    QVERIFY(Lines.at(1).contains("log in again"));

    const QString Missing =
        ErrorMessageText(std::make_exception_ptr(cport::EComPort(cport::CError_OpenFailed, ENOENT)));
    QCOMPARE(Missing, QString("Unable to open com port (win error code: %1)").arg(ENOENT));
    QCOMPARE(ErrorMessageText(std::make_exception_ptr(std::runtime_error("plain failure"))), QString("plain failure"));
    QCOMPARE(ErrorMessageText(std::make_exception_ptr(42)), QString("Unknown error"));
}

void TWindowConnectionTest::DeviceThatGoesAwayIsReportedOnce()
{
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    Form->SetReplyTimeoutForTesting(200);
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));

    Simulator->HangUp();
    QTRY_COMPARE_WITH_TIMEOUT(Errors.Messages.size(), 1, 5000);
    QVERIFY2(Errors.Messages.at(0).contains(QString::fromStdString(Simulator->DevicePath())),
             qPrintable(Errors.Messages.at(0)));
    QVERIFY(Errors.Messages.at(0).contains("stopped working"));

    // Requests into the dead line time out (or fail); the loss is not told again.
    RunGuarded([&] { Form->ReadStatus(); });
    Form->WaitCommandExecute();
    QTest::qWait(300);
    QCOMPARE(Errors.Messages.count(Errors.Messages.at(0)), 1);

    // The port can still be closed.
    Click(Form->ClosePort);
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
}

QTEST_MAIN(TWindowConnectionTest)
#include "window_connection_test.moc"
