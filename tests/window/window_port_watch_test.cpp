// SPDX-License-Identifier: MIT
// The port list with what the device manager knows, busy ports greyed with
// their holder, refreshes on udev events, and the window's recovery when the
// adapter is pulled during READ CONFIG or SAVE CONFIG and plugged in again.

#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <cstring>

#include "fake_udev_source.h"
#include "main/window/error_display.h"
#include "main/window/port_combo_box.h"
#include "tests/ports/held_port.h"
#include "transaction_support.h"

using namespace transaction_test;

namespace {

const QStringList ClosedControls{"ComboPort", "OpenPort"};
const QString AdapterText = "FTDI FT232R USB UART (A10K3Z4P)";

// A window whose device manager is Udev (kept by the window).
std::unique_ptr<TMainForm> ShowFormWithUdev(std::vector<std::string> Candidates, TFakeUdevSource*& Udev)
{
    auto Form = ShowForm(std::move(Candidates));
    auto Source = std::make_unique<TFakeUdevSource>();
    Udev = Source.get();
    Form->SetUdevSourceForTesting(std::move(Source));
    return Form;
}

int IndexOf(const TMainForm& Form, const std::string& DevicePath)
{
    return Form.ComboPort->findText(PortName(DevicePath));
}

}  // namespace

class TWindowPortWatchTest : public TFormSuite {
    Q_OBJECT

private slots:
    void OpenListDescribesEachPortAndGreysABusyOneWithItsHolder();
    void AdapterPluggedInIsListedWithoutADropDown();
    void AdapterPulledDuringATransactionClosesKeepsTheValuesAndComesBack_data();
    void AdapterPulledDuringATransactionClosesKeepsTheValuesAndComesBack();
    void RemoveEventOfTheOpenDeviceIsItsLoss();
    void ErrorBoxesGiveAReasonBelowTheComponentText();
};

void TWindowPortWatchTest::OpenListDescribesEachPortAndGreysABusyOneWithItsHolder()
{
    const auto Usb = StartSimulator();
    const auto Plain = StartSimulator();
    const auto Held = StartSimulator();
    TFakeUdevSource* Udev = nullptr;
    const auto Form = ShowFormWithUdev({Usb->DevicePath(), Plain->DevicePath(), Held->DevicePath()}, Udev);
    Udev->Devices[Usb->DevicePath()] = UsbAdapter("A10K3Z4P");
    const ports_test::THeldElsewhere Holder(Held->DevicePath());

    DropDown(*Form);
    TPortComboBox* const List = Form->ComboPort;
    QCOMPARE(List->count(), 3);
    QCOMPARE(List->ItemLine(IndexOf(*Form, Usb->DevicePath())), PortName(Usb->DevicePath()) + " \u2014 " + AdapterText);
    QCOMPARE(List->ItemLine(IndexOf(*Form, Plain->DevicePath())),
             PortName(Plain->DevicePath()) + " \u2014 pseudo-terminal");
    QCOMPARE(List->ItemLine(IndexOf(*Form, Held->DevicePath())),
             PortName(Held->DevicePath()) + QString(" \u2014 pseudo-terminal, in use by %1, process %2")
                                                .arg(QString::fromStdString(ports_test::OwnProgramName()))
                                                .arg(Holder.Process()));
    QVERIFY(List->PortSelectable(PortName(Usb->DevicePath())));
    QVERIFY(!List->PortSelectable(PortName(Held->DevicePath())));
    // The closed list still shows only the name.
    QVERIFY(PickPort(*Form, PortName(Usb->DevicePath())));
    QCOMPARE(List->currentText(), PortName(Usb->DevicePath()));
}

void TWindowPortWatchTest::AdapterPluggedInIsListedWithoutADropDown()
{
    const auto Simulator = StartSimulator();
    TFakeUdevSource* Udev = nullptr;
    const auto Form = ShowFormWithUdev({Simulator->DevicePath()}, Udev);
    QCOMPARE(Form->ComboPort->count(), 0);
    Udev->Devices[Simulator->DevicePath()] = UsbAdapter("A10K3Z4P");
    Udev->Emit(TUdevAction::Added, Simulator->DevicePath());
    QTRY_COMPARE(Form->ComboPort->count(), 1);
    QCOMPARE(Form->ComboPort->PortDescription(PortName(Simulator->DevicePath())), AdapterText);
    QCOMPARE(Form->ComboPort->currentIndex(), -1);  // nothing is picked for the operator
}

void TWindowPortWatchTest::AdapterPulledDuringATransactionClosesKeepsTheValuesAndComesBack_data()
{
    QTest::addColumn<bool>("Saving");
    QTest::addColumn<int>("PulledAtCode");
    QTest::newRow("READ CONFIG, waiting for P2 direction") << false << 6;
    QTest::newRow("SAVE CONFIG, writing the baud rate") << true << 3;
}

void TWindowPortWatchTest::AdapterPulledDuringATransactionClosesKeepsTheValuesAndComesBack()
{
    QFETCH(bool, Saving);
    QFETCH(int, PulledAtCode);
    const TModuleState Before = StateWith([](TModuleState& S) {
        S.RemoteId = 0x5C;
        S.Directions = {0x11, 0x22, 0x33, 0x44, 0x55};
    });
    const TFaults Pulled = FaultsWith([PulledAtCode](TFaults& L) { L.SilentCodes = {PulledAtCode}; });
    F_.StartModule(Before, Pulled);
    const auto Second = StartSimulator();
    const std::string FirstPath = F_.Simulator->DevicePath();
    TMainForm* const Form = &F_.ShowWindow(0, {FirstPath, Second->DevicePath()});
    auto Source = std::make_unique<TFakeUdevSource>();
    TFakeUdevSource* const Udev = Source.get();
    Form->SetUdevSourceForTesting(std::move(Source));
    Udev->Devices[FirstPath] = UsbAdapter("A10K3Z4P");
    OpenSimulatorPort(*Form, *F_.Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    if (Saving) {
        F_.Simulator->SetFaults({});
        Click(Form->ReadConfig);
        Form->IDDisplay->setText("2C");
        F_.Simulator->SetFaults(Pulled);
    }
    F_.OnRequest(PulledAtCode, [this] { F_.Simulator->HangUp(); });

    // A reply wait that would run for half a minute ends with the loss.
    Form->SetReplyTimeoutForTesting(30000);
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(Saving ? Form->SaveConfig : Form->ReadConfig);
    QTRY_VERIFY_WITH_TIMEOUT(!Form->ComPort1.Connected(), 15000);
    QVERIFY2(Elapsed.elapsed() < 15000, qPrintable(QString::number(Elapsed.elapsed())));
    // The loss reported and the window closed; then room for a late second report.
    QTRY_VERIFY_WITH_TIMEOUT(!F_.Errors->Messages.isEmpty() && EnabledControls(*Form) == ClosedControls, 15000);
    QTest::qWait(300);

    QCOMPARE(EnabledControls(*Form), ClosedControls);
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    F_.Disarm();
    const QStringList& Messages = F_.Errors->Messages;
    QCOMPARE(Messages.size(), 1);
    QVERIFY2(Messages.at(0).contains(AdapterText) && Messages.at(0).contains("gone (unplugged?)"),
             qPrintable(Messages.at(0)));
    // Nothing was overwritten: the rows read (or shown) before the loss stay.
    QCOMPARE(Form->BiosNameDisplay->text(), QString::fromStdString(Before.BiosName));
    QCOMPARE(Form->IDDisplay->text(), Saving ? QString("2C") : QString("5C"));
    QCOMPARE(RowState(*Form, TPortGrid::Direction, 1), RowShowing(TPortGrid::Direction, 0x22));

    // The same adapter comes back under another name: listed and picked.
    Udev->Devices[Second->DevicePath()] = UsbAdapter("A10K3Z4P");
    Udev->Emit(TUdevAction::Removed, FirstPath);
    Udev->Devices.erase(FirstPath);  // its name may go to another terminal now
    F_.Simulator.reset();
    Udev->Emit(TUdevAction::Added, Second->DevicePath());
    QTRY_COMPARE(Form->ComboPort->currentText(), PortName(Second->DevicePath()));
    QVERIFY(Form->OpenPort->isEnabled());
    Form->SetReplyTimeoutForTesting(5000);
    Click(Form->OpenPort);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    if (Saving) {
        // What the operator had is written to the adapter that came back.
        Click(Form->SaveConfig);
        QCOMPARE(Second->State().RemoteId, uint8_t{0x2C});
        QCOMPARE(Second->State().Directions, Before.Directions);
    }
    QCOMPARE(Messages.size(), 1);
    F_.Reset();  // the window lets go of Second's line before Second goes
}

void TWindowPortWatchTest::RemoveEventOfTheOpenDeviceIsItsLoss()
{
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    TFakeUdevSource* Udev = nullptr;
    const auto Form = ShowFormWithUdev({Simulator->DevicePath()}, Udev);
    OpenSimulatorPort(*Form, *Simulator);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Udev->Emit(TUdevAction::Removed, Simulator->DevicePath());
    QTRY_VERIFY(!Form->ComPort1.Connected());
    QCOMPARE(EnabledControls(*Form), ClosedControls);
    QCOMPARE(Errors.Messages.size(), 1);
    QVERIFY(Errors.Messages.at(0).contains(QString::fromStdString(Simulator->DevicePath())));
}

void TWindowPortWatchTest::ErrorBoxesGiveAReasonBelowTheComponentText()
{
    // Another program takes the picked port before "Open".
    const auto Simulator = StartSimulator();
    TErrorRecorder Errors;
    const auto Form = ShowForm({Simulator->DevicePath()});
    DropDown(*Form);
    QVERIFY(PickPort(*Form, PortName(Simulator->DevicePath())));
    {
        const ports_test::THeldElsewhere Holder(Simulator->DevicePath());
        Click(Form->OpenPort);
        QCOMPARE(Errors.Messages.size(), 1);
        // EBUSY from the holder's exclusive mode, or EWOULDBLOCK from its lock for root.
        const QStringList Lines = Errors.Messages.at(0).split('\n');
        QCOMPARE(Lines.size(), 2);
        QVERIFY2(Lines.at(0).startsWith("Unable to open com port (win error code: "), qPrintable(Lines.at(0)));
        QCOMPARE(Lines.at(1), QString("The port is in use by %1, process %2.")
                                  .arg(QString::fromStdString(ports_test::OwnProgramName()))
                                  .arg(Holder.Process()));
    }

    const struct {
        int32_t Code;
        int32_t SystemError;
        QStringList Lines;
    } Cases[] = {
        {cport::CError_WriteFailed,
         EIO,
         {QString("WriteFile function failed (win error code: %1)").arg(EIO), "The device is gone (unplugged?)."}},
        {cport::CError_OpenFailed,
         EACCES,
         {QString("Unable to open com port (win error code: %1)").arg(EACCES),
          QString("The system says: %1.").arg(strerror(EACCES)),
          "Your user may not use this serial port: add it to the \"dialout\" group "
          "(sudo adduser $USER dialout), then log out and log in again."}},
    };
    for (const auto& Case : Cases)
        QCOMPARE(ErrorReportText(std::make_exception_ptr(cport::EComPort(Case.Code, Case.SystemError))).split('\n'),
                 Case.Lines);
    QCOMPARE(ErrorReportText(std::make_exception_ptr(cport::EComPort(cport::CError_InvalidAsync))),
             QString("Invalid Async parameter"));
}

QTEST_MAIN(TWindowPortWatchTest)
#include "window_port_watch_test.moc"

using namespace varnolink;
