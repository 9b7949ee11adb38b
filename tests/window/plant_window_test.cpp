// SPDX-License-Identifier: MIT
// File > "Plant…" against a small plant of simulated modules, each on its
// own pseudo-terminal: an audit shows each module's result and the fields
// that differ from its file, a double-click opens a module's port in the
// main window (closing the one open there), a row says why its module
// differs or cannot be reached in the command line's words, and a fault of
// a configuration file is shown with its place before anything runs.

#include <QAction>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

#include "form_fixture.h"
#include "main/files/config_file.h"
#include "main/files/inventory.h"
#include "main/window/plant_window.h"
#include "main/window/wire_log_window.h"
#include "main/window/port_combo_box.h"
#include "tests/support/scratch_folder.h"

using namespace window_test;

namespace {

TModuleConfig ConfigOf(const TModuleState& State)
{
    return {State.RemoteId, State.BaudIndex, State.Directions, State.Defaults};
}

QStringList Column(const QTableWidget& Table, int Column)
{
    QStringList Texts;
    for (int Row = 0; Row < Table.rowCount(); ++Row)
        Texts << Table.item(Row, Column)->text();
    return Texts;
}

void DoubleClick(QTableWidget& Table, int Row)
{
    const QPoint At = Table.visualItemRect(Table.item(Row, TPlantWindow::NameColumn)).center();
    QTest::mouseClick(Table.viewport(), Qt::LeftButton, {}, At);
    QTest::mouseDClick(Table.viewport(), Qt::LeftButton, {}, At);
}

}  // namespace

class TPlantWindowTest : public TFormSuite {
    Q_OBJECT

private slots:
    void AuditShowsTheDifferencesAndADoubleClickOpensThePort();
    void ARowSaysWhyItsModuleDiffersOrCannotBeReached();
    void FaultOfAConfigurationFileIsShownBeforeAnythingRuns();
};

void TPlantWindowTest::AuditShowsTheDifferencesAndADoubleClickOpensThePort()
{
    const test_support::TScratchFolder Scratch;
    const TModuleState Press = StateWith([](TModuleState& State) { State.RemoteId = 0x11; });
    const TModuleState Pump = StateWith([](TModuleState& State) {
        State.RemoteId = 0x12;
        State.Directions[1] = 0x0F;
    });
    TModuleConfig PumpFile = ConfigOf(Pump);
    PumpFile.Direction[1] = 0x00;
    const auto PressModule = StartSimulator(Press);
    const auto PumpModule = StartSimulator(Pump);
    Scratch.Write("press.ini", ConfigFileText(ConfigOf(Press)));
    Scratch.Write("pump.ini", ConfigFileText(PumpFile));
    const std::string Inventory =
        Scratch.Write("plant.csv", InventoryText({}, {{"press", PressModule->DevicePath(), "press.ini", "hall 1"},
                                                      {"pump", PumpModule->DevicePath(), "pump.ini", "hall 2"}}));
    TErrorRecorder Errors;
    const auto Window = ShowMainWindow({PressModule->DevicePath(), PumpModule->DevicePath()});
    TMainForm& Form = *Window->Form();

    Window->PlantAction->trigger();
    QVERIFY(Window->Plant != nullptr && Window->Plant->isVisible());
    TPlantWindow& Plant = *Window->Plant;
    QVERIFY(Plant.OpenInventory(Inventory));
    QCOMPARE(Column(*Plant.Rows, TPlantWindow::LocationColumn), (QStringList{"hall 1", "hall 2"}));
    QSignalSpy Ended(&Plant, &TPlantWindow::RunEnded);
    Click(Plant.AuditButton);
    QVERIFY(Plant.Running());
    QVERIFY(!Plant.AuditButton->isEnabled() && Plant.StopButton->isEnabled());
    QVERIFY(Ended.wait(20000));

    QCOMPARE(Column(*Plant.Rows, TPlantWindow::ResultColumn), (QStringList{"ok", "differs"}));
    QCOMPARE(Column(*Plant.Rows, TPlantWindow::DifferencesColumn),
             (QStringList{"", "direction.P1: file 00, module 0F"}));
    QVERIFY(Plant.Rows->item(0, 0)->background() != Plant.Rows->item(1, 0)->background());
    QCOMPARE(Plant.Progress->value(), 2);
    QVERIFY(Plant.AuditButton->isEnabled() && !Plant.StopButton->isEnabled());

    // The first module's port, then the second's: the first is closed for it.
    DoubleClick(*Plant.Rows, 0);
    QTRY_COMPARE_WITH_TIMEOUT(Form.StatusConnect->text(), QString("Connect OK"), 10000);
    QCOMPARE(Form.ComboPort->currentText(), PortName(PressModule->DevicePath()));
    DoubleClick(*Plant.Rows, 1);
    QTRY_COMPARE_WITH_TIMEOUT(Form.ComboPort->currentText(), PortName(PumpModule->DevicePath()), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(Form.StatusConnect->text(), QString("Connect OK"), 10000);
    QCOMPARE(Form.ComPort1.Port(), PumpModule->DevicePath());
    QCOMPARE(Form.BiosNameDisplay->text(), QString::fromStdString(Pump.BiosName));
    // The window closed the first port itself before it opened the second.
    const QStringList Notes = Window->WireLog->Lines().filter("  -  ");
    QCOMPARE(Notes.size(), 3);
    QVERIFY(Notes[1].endsWith("closed") && Notes[2].contains(QString::fromStdString(PumpModule->DevicePath())));
    QCOMPARE(Errors.Messages, QStringList{});
}

void TPlantWindowTest::ARowSaysWhyItsModuleDiffersOrCannotBeReached()
{
    const test_support::TScratchFolder Scratch;
    const TModuleState Pump = StateWith([](TModuleState& State) { State.Directions[1] = 0x0F; });
    TModuleConfig PumpFile = ConfigOf(Pump);
    PumpFile.Direction[1] = 0x00;
    TFaults TwoOnOneLine;
    TwoOnOneLine.Twin = true;
    TwoOnOneLine.TwinDelay = std::chrono::milliseconds(30);
    const auto PumpModule = StartSimulator(Pump);
    const auto SharedLine = StartSimulator(Pump, TwoOnOneLine);
    Scratch.Write("pump.ini", ConfigFileText(PumpFile));
    const std::string Inventory =
        Scratch.Write("plant.csv", InventoryText({}, {{"pump", PumpModule->DevicePath(), "pump.ini", ""},
                                                      {"shared", SharedLine->DevicePath(), "pump.ini", ""}}));
    TErrorRecorder Errors;
    TPlantWindow Plant([](const std::string&) {});
    QVERIFY(Plant.OpenInventory(Inventory));
    QSignalSpy Ended(&Plant, &TPlantWindow::RunEnded);
    QVERIFY(Plant.Audit());
    QVERIFY(Ended.wait(20000));

    QCOMPARE(Column(*Plant.Rows, TPlantWindow::ResultColumn), (QStringList{"differs", "port error"}));
    QCOMPARE(Plant.Rows->item(0, TPlantWindow::ResultColumn)->toolTip(), QString("direction.P1: file 00, module 0F"));
    const QString Why = Plant.Rows->item(1, TPlantWindow::ResultColumn)->toolTip();
    QVERIFY2(Why.startsWith("more than one module answered") || Why.startsWith("a reply answered another request"),
             qPrintable(Why));
    QVERIFY2(Why.contains("connect one module at a time"), qPrintable(Why));
}

void TPlantWindowTest::FaultOfAConfigurationFileIsShownBeforeAnythingRuns()
{
    const test_support::TScratchFolder Scratch;
    Scratch.Write("good.ini", ConfigFileText(FactoryModuleConfig));
    Scratch.Write("bad.ini", "[direction]\nP0 = nonsense\n");
    const std::string Inventory = Scratch.Write(
        "plant.csv",
        InventoryText({}, {{"a", "/dev/pts/none-a", "good.ini", ""}, {"b", "/dev/pts/none-b", "bad.ini", ""}}));
    TErrorRecorder Errors;
    TPlantWindow Plant([](const std::string&) { QFAIL("no port is to be opened"); });

    QVERIFY(Plant.OpenInventory(Inventory));
    QVERIFY(!Plant.Audit());
    QVERIFY(!Plant.Running());
    QCOMPARE(Errors.Messages.size(), 1);
    QVERIFY2(Errors.Messages[0].contains("plant.csv:3") && Errors.Messages[0].contains("bad.ini"),
             qPrintable(Errors.Messages[0]));
    QCOMPARE(Column(*Plant.Rows, TPlantWindow::ResultColumn), (QStringList{"", ""}));
}

QTEST_MAIN(TPlantWindowTest)
#include "plant_window_test.moc"
