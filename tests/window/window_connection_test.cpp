// SPDX-License-Identifier: MIT
// Opening and closing the connection: the identity check, the states the
// window goes through, errors of the port and a device that goes away.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cerrno>
#include <stdexcept>

#include "main/window/error_display.h"
#include "main/window/port_combo_box.h"
#include "transaction_support.h"

using namespace transaction_test;

class TWindowConnectionTest : public TFormSuite {
    Q_OBJECT

private slots:
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
    QVERIFY(F_.Open(StateWith([](TModuleState& S) {
        S.BiosName = "TEST MODULE 7";
        S.BiosVersion = "9.87z";
    })));
    QCOMPARE(F_.Form->BiosNameDisplay->text(), QString("TEST MODULE 7"));
    QCOMPARE(F_.Form->BIOSVersionDisplay->text(), QString("9.87z"));
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY(F_.Form->ComPort1.Connected());
    QCOMPARE(F_.Form->ComPort1.Port(), F_.Simulator->DevicePath());
    QCOMPARE(F_.Form->ComPort1.BaudRate(), cport::br9600);
    QCOMPARE(F_.Simulator->Requests(), std::vector<std::string>{"*00:0,00=00\r\n"});
    QVERIFY(!F_.Form->Timer1.isActive());
    // Opening reads no configuration: the grids and fields stay blank.
    QCOMPARE(ShownFields(*F_.Form), QStringList{});
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TWindowConnectionTest::SilentModuleTimesOutWithOnlyCloseEnabledAndCanBeRetried()
{
    QVERIFY(!F_.Open({}, FaultsWith([](TFaults& L) { L.SilentFromRequest = 1; }), 300));
    QCOMPARE(TimedOutDisplay(*F_.Form), TimeOutTexts);
    QCOMPARE(EnabledControls(*F_.Form), QStringList{"ClosePort"});
    QCOMPARE(F_.Form->ReplyReceived(), uint8_t{0});
    QCOMPARE(F_.Form->TimedOut, uint8_t{1});
    QVERIFY(F_.Form->ComPort1.Connected());  // the port stays open
    QVERIFY(!F_.Form->Timer1.isActive());

    // "Close" and "Open" start a new attempt with a new wait.
    Click(F_.Form->ClosePort);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
    Click(F_.Form->OpenPort);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Time-Out"));
    QVERIFY(F_.Simulator->WaitForRequests(2, std::chrono::milliseconds(2000)));
    QCOMPARE(F_.Simulator->Requests().size(), std::size_t{2});
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TWindowConnectionTest::OpenFailureShowsTheErrorAndLeavesOpenAndCloseEnabled()
{
    F_.StartModule();
    F_.ShowWindow();
    DropDown(*F_.Form);
    QVERIFY(PickPort(*F_.Form, PortName(F_.Simulator->DevicePath())));

    // Another port takes the line between the drop-down and "Open".
    cport::TComPort Holder;
    Holder.SetEvents({});
    Holder.SetPort(F_.Simulator->DevicePath());
    Holder.Open();
    Click(F_.Form->OpenPort);

    QCOMPARE(F_.Errors->Messages.size(), 1);
    QVERIFY2(F_.Errors->Messages.at(0).startsWith("Unable to open com port"), qPrintable(F_.Errors->Messages.at(0)));
    QVERIFY(!F_.Form->ComPort1.Connected());
    QCOMPARE(EnabledControls(*F_.Form), Sorted({"ComboPort", "OpenPort", "ClosePort"}));
    QCOMPARE(TimedOutDisplay(*F_.Form), QStringList({"", "", ""}));
    QCOMPARE(ShownFields(*F_.Form), QStringList{});
    QVERIFY(F_.Simulator->Requests().empty());

    // "Close" on the port that never opened completes without an error.
    Click(F_.Form->ClosePort);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QCOMPARE(EnabledControls(*F_.Form), Sorted({"ComboPort", "OpenPort"}));

    // Once the line is free, "Open" works without picking the port again.
    Holder.Close();
    Click(F_.Form->OpenPort);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Connect OK"));
}

void TWindowConnectionTest::RefusedRequestWriteLeavesThePortClosable()
{
    F_.StartModule();
    F_.ShowWindow();
    // The line goes away right after the port has opened: the identity
    // request cannot be written.
    F_.Form->ComPort1.OnAfterOpen = [this](cport::TComponent*) { F_.Simulator->HangUp(); };
    OpenSimulatorPort(*F_.Form, *F_.Simulator);

    // The refused write means the device is gone: the window closes the
    // port itself and says so once, the write's error first.
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QVERIFY2(F_.Errors->Messages.at(0).startsWith("WriteFile function failed"), qPrintable(F_.Errors->Messages.at(0)));
    QVERIFY(!F_.Form->ComPort1.Connected());
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(EnabledControls(*F_.Form), Sorted({"ComboPort", "OpenPort"}));
}

void TWindowConnectionTest::CloseBlanksAndDisablesEverythingAndKeepsThePort()
{
    QVERIFY(F_.Open());
    // Fill what the operator can fill: both grids, the ID and the baud rate.
    Click(F_.Form->BitButton(TPortGrid::Direction, 0, 7));
    Click(F_.Form->BitButton(TPortGrid::Default, 4, 0));
    TypeInto(F_.Form->IDDisplay, "2b");
    F_.Form->ComboBaud->setCurrentIndex(4);
    QCOMPARE(F_.Form->ByteField(TPortGrid::Direction, 0)->text(), QString("80"));
    QCOMPARE(F_.Form->IDDisplay->text(), QString("2B"));

    Click(F_.Form->ClosePort);

    QVERIFY(!F_.Form->ComPort1.Connected());
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(ShownFields(*F_.Form), QStringList{});
    QVERIFY(F_.Form->BiosNameDisplay->text().isEmpty());
    QVERIFY(F_.Form->BIOSVersionDisplay->text().isEmpty());
    // IDDisplay keeps its enabled state; the previously chosen port stays shown.
    QCOMPARE(EnabledControls(*F_.Form), Sorted({"ComboPort", "OpenPort", "IDDisplay"}));
    QCOMPARE(F_.Form->ComboPort->currentText(), PortName(F_.Simulator->DevicePath()));
    // The bit tables are not reset.
    QCOMPARE(F_.Form->DirBits[0][7], uint8_t{1});
    QCOMPARE(F_.Form->DefBits[4][0], uint8_t{1});
    QVERIFY(F_.Errors->Messages.isEmpty());
}

void TWindowConnectionTest::ReopenIdentifiesAgainWithBlankGridsAndRememberedBits()
{
    F_.Open();
    TypeInto(F_.Form->ByteField(TPortGrid::Direction, 2), "c3");
    Click(F_.Form->ClosePort);

    Click(F_.Form->OpenPort);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Connect OK"));
    QCOMPARE(F_.Simulator->Requests().size(), std::size_t{2});
    // Opening empties the Remote ID; no focus move on the way may refill it.
    QVERIFY2(F_.Form->IDDisplay->text().isEmpty(), qPrintable(F_.Form->IDDisplay->text()));
    QCOMPARE(Captions(*F_.Form, TPortGrid::Direction, 2), SameCaptions(""));
    QVERIFY(F_.Form->ByteField(TPortGrid::Direction, 2)->text().isEmpty());

    // The first click on the blank row shows the remembered C3 with bit 0 flipped.
    Click(F_.Form->BitButton(TPortGrid::Direction, 2, 0));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 2), RowShowing(TPortGrid::Direction, 0xC2));
    QCOMPARE(Captions(*F_.Form, TPortGrid::Direction, 1), SameCaptions(""));
    QVERIFY(F_.Errors->Messages.isEmpty());
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
    QVERIFY(F_.Open({}, {}, 200));
    F_.Simulator->HangUp();
    QTRY_COMPARE_WITH_TIMEOUT(F_.Errors->Messages.size(), 1, 5000);
    QVERIFY2(F_.Errors->Messages.at(0).contains(QString::fromStdString(F_.Simulator->DevicePath())),
             qPrintable(F_.Errors->Messages.at(0)));
    QVERIFY(F_.Errors->Messages.at(0).contains("stopped working"));

    // Requests into the dead line time out (or fail); the loss is not told again.
    RunGuarded([this] { F_.Form->ReadStatus(); });
    F_.Form->WaitCommandExecute();
    QTest::qWait(300);
    QCOMPARE(F_.Errors->Messages.count(F_.Errors->Messages.at(0)), 1);

    // The port can still be closed.
    Click(F_.Form->ClosePort);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
}

QTEST_MAIN(TWindowConnectionTest)
#include "window_connection_test.moc"

using namespace varnolink;
