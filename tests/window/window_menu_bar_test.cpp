// SPDX-License-Identifier: MIT
// The menu bar above the main window's layout: the layout is the central
// area, unchanged; the configuration items follow the connection; opening a
// file types it into the fields, saving writes what the window shows (and
// refuses fields without a value), comparing lists the differences with the
// module and leaves the fields alone.

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "form_fixture.h"
#include "main/files/config_file.h"
#include "main/window/main_window.h"
#include "main/window/port_combo_box.h"

using namespace window_test;

namespace {

const TModuleConfig FileConfig{0xA7, 6, {0x5A, 0x01, 0x02, 0x04, 0x08}, {0xFE, 0x10, 0x20, 0x40, 0x80}};

QStringList EnabledItems(const TMainWindow& Window)
{
    QStringList Enabled;
    for (const QAction* Action : {Window.OpenConfigurationAction, Window.SaveConfigurationAction, Window.CompareAction,
                                  Window.QuitAction, Window.AboutAction})
        if (Action->isEnabled())
            Enabled << Action->text();
    return Enabled;
}

TModuleState StateOf(const TModuleConfig& Config)
{
    TModuleState State;
    State.RemoteId = Config.RemoteId;
    State.BaudIndex = Config.BaudIndex;
    State.Directions = Config.Direction;
    State.Defaults = Config.PowerOnDefault;
    return State;
}

}  // namespace

class TWindowMenuBarTest : public TFormSuite {
    Q_OBJECT

private slots:
    void LayoutIsTheCentralAreaAndItemsFollowTheConnection();
    void OpenedFileIsWrittenBySaveConfig();
    void SaveWritesWhatTheWindowShowsAndRefusesFieldsWithoutValue();
    void CompareListsDifferencesAndLeavesTheFields();
    void WrongFileIsReportedWithItsLine();
    void ClosingDuringATransactionEndsItThenCloses();
    void AddedNetworkPortIsListedAndShown();

    void cleanup()
    {
        F_.Disarm();
        Window_.reset();
        F_.Reset();
    }

private:
    // The simulator with State, and the main window on its port, shown.
    TMainForm& Show(const TModuleState& State = {})
    {
        F_.StartModule(State);
        Window_ = ShowMainWindow({F_.Simulator->DevicePath()});
        return *Window_->Form();
    }

    QTemporaryDir Folder_;
    std::unique_ptr<TMainWindow> Window_;
};

void TWindowMenuBarTest::LayoutIsTheCentralAreaAndItemsFollowTheConnection()
{
    TMainForm& Form = Show();
    const int MenuHeight = Window_->menuBar()->height();
    QVERIFY(MenuHeight > 0);
    QCOMPARE(Form.geometry(), QRect(0, MenuHeight, 714, 350));
    QCOMPARE(Window_->size(), QSize(714, 350 + MenuHeight));
    QCOMPARE(Window_->windowTitle(), Form.windowTitle());
    QCOMPARE(Window_->OpenConfigurationAction->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    QCOMPARE(Window_->SaveConfigurationAction->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
    QCOMPARE(Window_->QuitAction->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));

    QCOMPARE(Sorted(EnabledControls(Form)), Sorted(StartUpControls));
    QCOMPARE(EnabledItems(*Window_), QStringList({"Quit", "About"}));
    OpenSimulatorPort(Form, *F_.Simulator);
    QCOMPARE(Form.StatusConnect->text(), QStringLiteral("Connect OK"));
    QCOMPARE(Sorted(EnabledControls(Form)), Sorted(ConnectedControls));
    QCOMPARE(EnabledItems(*Window_), QStringList({"Open configuration\u2026", "Save configuration as\u2026",
                                                  "Compare with module", "Quit", "About"}));
    Click(Form.ClosePort);
    QCOMPARE(EnabledItems(*Window_), QStringList({"Quit", "About"}));
}

void TWindowMenuBarTest::OpenedFileIsWrittenBySaveConfig()
{
    TMainForm& Form = Show();
    OpenSimulatorPort(Form, *F_.Simulator);
    const std::string Path = Folder_.filePath("opened.ini").toStdString();
    std::ofstream(Path) << ConfigFileText(FileConfig);

    QVERIFY(Window_->OpenConfigurationFile(Path));
    QCOMPARE(Form.IDDisplay->text(), QStringLiteral("A7"));
    QCOMPARE(Form.ComboBaud->currentText(), QStringLiteral("57600"));
    QCOMPARE(Form.ByteField(TPortGrid::Direction, 0)->text(), QStringLiteral("5A"));
    QCOMPARE(Captions(Form, TPortGrid::Direction, 0),
             QStringList({"OUT", "IN", "OUT", "IN", "IN", "OUT", "IN", "OUT"}));
    QCOMPARE(Form.ByteField(TPortGrid::Default, 4)->text(), QStringLiteral("80"));

    Click(Form.SaveConfig);
    QCOMPARE(F_.Simulator->State(), StateOf(FileConfig));
}

void TWindowMenuBarTest::SaveWritesWhatTheWindowShowsAndRefusesFieldsWithoutValue()
{
    TMainForm& Form = Show(StateOf(FileConfig));
    OpenSimulatorPort(Form, *F_.Simulator);
    const std::string Path = Folder_.filePath("saved.ini").toStdString();

    TErrorRecorder Errors;
    QVERIFY(!Window_->SaveConfigurationFile(Path));  // nothing read yet: blank fields
    QCOMPARE(Errors.Messages.size(), 1);
    QVERIFY(Errors.Messages.front().contains(QStringLiteral("Remote ID Code")));
    QVERIFY(!QFile::exists(QString::fromStdString(Path)));

    Click(Form.ReadConfig);
    QVERIFY(Window_->SaveConfigurationFile(Path));
    QCOMPARE(RequireComplete(LoadConfigFile(Path), Path), FileConfig);
}

void TWindowMenuBarTest::CompareListsDifferencesAndLeavesTheFields()
{
    TMainForm& Form = Show(StateOf(FileConfig));
    OpenSimulatorPort(Form, *F_.Simulator);
    Click(Form.ReadConfig);
    Click(Form.BitButton(TPortGrid::Default, 2, 0));  // P2 default 20 -> 21 in the window only
    TModuleState Changed = StateOf(FileConfig);
    Changed.BaudIndex = 3;
    F_.Simulator->SetState(Changed);
    F_.Simulator->ClearRequests();

    QVERIFY(Window_->CompareWithModule());
    QCOMPARE(F_.Simulator->Requests().size(), std::size_t{14});
    const auto* Dialog = Window_->findChild<QDialog*>(QStringLiteral("CompareDialog"));
    QVERIFY(Dialog != nullptr && Dialog->isVisible());
    const auto* List = Dialog->findChild<QListWidget*>(QStringLiteral("Differences"));
    QVERIFY(List != nullptr);
    QStringList Lines;
    for (int Row = 0; Row < List->count(); ++Row)
        Lines << List->item(Row)->text();
    QCOMPARE(Lines, QStringList({"baud: window 57600, module 9600", "power_on_default.P2: window 21, module 20"}));
    QCOMPARE(Form.ComboBaud->currentText(), QStringLiteral("57600"));
    QCOMPARE(Form.ByteField(TPortGrid::Default, 2)->text(), QStringLiteral("21"));
    QCOMPARE(Form.StatusConnect->text(), QStringLiteral("Connect OK"));
    QCOMPARE(Sorted(EnabledControls(Form)), Sorted(ConnectedControls));
}

void TWindowMenuBarTest::WrongFileIsReportedWithItsLine()
{
    Show();
    OpenSimulatorPort(*Window_->Form(), *F_.Simulator);
    const std::string Path = Folder_.filePath("wrong.ini").toStdString();
    std::ofstream(Path) << "[module]\nremote_id = A7\n[direction]\nP3 = 00\n";
    TErrorRecorder Errors;
    QVERIFY(!Window_->OpenConfigurationFile(Path));
    QCOMPARE(Errors.Messages.size(), 1);
    QVERIFY2(Errors.Messages.front().contains(QStringLiteral("wrong.ini:4: key \"P3\"")),
             qPrintable(Errors.Messages.front()));
    QCOMPARE(Window_->Form()->IDDisplay->text(), QString());
}

void TWindowMenuBarTest::ClosingDuringATransactionEndsItThenCloses()
{
    TMainForm& Form = Show();
    OpenSimulatorPort(Form, *F_.Simulator);
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.SilentFromRequest = 1; }));
    // Quit while the window waits for the reply to READ CONFIG's first request.
    F_.OnRequest(
        0, [this] { Window_->QuitAction->trigger(); }, Window_.get());
    Click(Form.ReadConfig);  // returns once the close has ended the wait
    QTRY_VERIFY_WITH_TIMEOUT(!Window_->isVisible(), 5000);
    QVERIFY(!Form.ComPort1.Connected());
    // The identity at Open, then READ CONFIG's first; the simulator records
    // them on its own thread, possibly after the window has gone.
    QVERIFY(F_.Simulator->WaitForRequests(2, std::chrono::milliseconds(5000)));
    QCOMPARE(F_.Simulator->Requests().size(), std::size_t{2});
}

QTEST_MAIN(TWindowMenuBarTest)
// File > "Add network port…": a well-formed name joins the list and is
// shown, ready for "Open"; anything else is refused with a message and
// leaves the list as it was.
void TWindowMenuBarTest::AddedNetworkPortIsListedAndShown()
{
    TMainForm& Form = Show();
    TErrorRecorder Errors;
    const auto Submit = [this](const QString& Text) {
        Window_->AddNetworkPortAction->trigger();
        auto* Dialog = Window_->findChild<QInputDialog*>(QStringLiteral("NetworkPortDialog"));
        QVERIFY(Dialog != nullptr && Dialog->isVisible());
        Dialog->setTextValue(Text);
        Dialog->accept();
        QTest::qWait(0);  // the dialog deletes itself on close
    };

    for (const QString Wrong :
         {"rfc2217://", "socket://box", "socket://box:70000", "telnet://box:23", "rfc2217://fe80::1:4001"}) {
        Submit(Wrong);
        QCOMPARE(Errors.Messages.size(), 1);
        QVERIFY2(Errors.Messages.takeFirst().startsWith("Not a network port"), qPrintable(Wrong));
    }
    QCOMPARE(Form.ComboPort->count(), 0);

    Submit(QStringLiteral(" RFC2217://[::1]:4001 "));
    Submit(QStringLiteral("socket://box.local:4000"));
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(Errors.Messages.join('\n')));
    QCOMPARE(Form.ComboPort->currentText(), QStringLiteral("socket://box.local:4000"));
    QCOMPARE(Form.ComboPort->ShownDevicePath(), std::string("socket://box.local:4000"));
    QVERIFY(Form.OpenPort->isEnabled());
    QCOMPARE(Form.ComboPort->PortDescription(QStringLiteral("RFC2217://[::1]:4001")),
             QStringLiteral("network port, RFC 2217"));

    // The simulator's port is still offered beside them.
    DropDown(Form);
    QVERIFY(Form.ComboPort->HasPort(PortName(F_.Simulator->DevicePath())));
    QCOMPARE(Form.ComboPort->count(), 3);
}

#include "window_menu_bar_test.moc"

using namespace varnolink;
