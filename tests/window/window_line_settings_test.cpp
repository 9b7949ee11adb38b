// SPDX-License-Identifier: MIT
// File > "Search line speeds" finds a module that answers at another rate
// and the window then works at it; File > "Line settings…" with the RS-485
// mode on a device without it shows the refusal, leaves the port usable with
// the mode off, and keeps what the port took for the next run.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <filesystem>

#include "form_fixture.h"
#include "main/window/line_settings_dialog.h"

using namespace window_test;

class TWindowLineSettingsTest : public TFormSuite {
    Q_OBJECT

private slots:
    void SpeedSearchFindsTheModuleAndTheWindowWorksAtIt();
    void RefusedRs485LeavesTheLineUsableAndIsNotKept();
    // Each test starts from the default line.
    void cleanup()
    {
        F_.Reset();
        if (!LineFile_.empty())
            std::filesystem::remove(LineFile_);
    }

private:
    // A main window on Simulator's port; its line file is in the fixture's
    // scratch state folder.
    std::unique_ptr<TMainWindow> ShowWindowOn(const TModuleSimulator& Simulator)
    {
        F_.Errors = std::make_unique<TErrorRecorder>();
        auto Window = ShowMainWindow({Simulator.DevicePath()});
        Window->Form()->SetReplyTimeoutForTesting(1000);
        LineFile_ = DefaultLineChoiceFile();
        return Window;
    }

    std::string LineFile_;
};

void TWindowLineSettingsTest::SpeedSearchFindsTheModuleAndTheWindowWorksAtIt()
{
    TSimulatorOptions Options;
    Options.LineSpeed = 19200;
    Options.State.RemoteId = 0x5A;
    TModuleSimulator Simulator(std::move(Options));
    Simulator.Start();
    const auto Window = ShowWindowOn(Simulator);
    TMainForm& Form = *Window->Form();

    OpenSimulatorPort(Form, Simulator);
    QCOMPARE(Form.StatusConnect->text(), QString("Time-Out"));
    QVERIFY(Window->SearchLineSpeedsAction->isEnabled());

    Window->SearchLineSpeedsAction->trigger();
    auto* Result = Window->findChild<QMessageBox*>("LineSpeedSearchResult");
    QVERIFY(Result != nullptr);
    QCOMPARE(Result->text(), QString("The module answers at 19200 baud."));
    // The search gives back the controls as the time-out left them.
    QCOMPARE(EnabledControls(Form), QStringList{"ClosePort"});
    QCOMPARE(Form.LineChoice().Baud, 9600);

    Click(Result->findChild<QPushButton*>("UseLineSpeed"));
    QTRY_COMPARE(Form.StatusConnect->text(), QString("Connect OK"));
    QCOMPARE(Form.LineChoice().Baud, 19200);
    Click(Form.ReadConfig);
    QCOMPARE(Form.IDDisplay->text(), QString("5A"));
    QCOMPARE(F_.Errors->Messages, QStringList());
    // For this session only: the next run starts at the kept line.
    QCOMPARE(LoadLineChoice(LineFile_), TLineChoice{});
}

void TWindowLineSettingsTest::RefusedRs485LeavesTheLineUsableAndIsNotKept()
{
    TModuleSimulator& Simulator = F_.StartModule(StateWith([](TModuleState& State) { State.RemoteId = 0x3C; }));
    auto Window = ShowWindowOn(Simulator);
    TMainForm& Form = *Window->Form();
    OpenSimulatorPort(Form, Simulator);
    QCOMPARE(Form.StatusConnect->text(), QString("Connect OK"));

    Window->LineSettingsAction->trigger();
    auto* Dialog = Window->findChild<TLineSettingsDialog*>("LineSettingsDialog");
    QVERIFY(Dialog != nullptr);
    Dialog->Speed->setCurrentText("19200");
    Dialog->Rs485Mode->setChecked(true);
    Dialog->RtsOnSend->setChecked(false);
    QVERIFY(!Dialog->Buttons->button(QDialogButtonBox::Ok)->isEnabled());  // no RTS level
    Dialog->RtsAfterSend->setChecked(true);
    Click(Dialog->Buttons->button(QDialogButtonBox::Ok));

    QTRY_COMPARE(F_.Errors->Messages.size(), qsizetype{1});
    QVERIFY2(F_.Errors->Messages.at(0).contains("the device has no RS-485 mode"),
             qPrintable(F_.Errors->Messages.at(0)));
    const TLineChoice Taken{19200, std::nullopt};
    QCOMPARE(Form.LineChoice(), Taken);
    Click(Form.ReadConfig);
    QCOMPARE(Form.StatusConnect->text(), QString("Connect OK"));
    QCOMPARE(Form.IDDisplay->text(), QString("3C"));

    // The next run starts with what the port took.
    Window.reset();
    Window = ShowWindowOn(Simulator);
    QCOMPARE(Window->Form()->LineChoice(), Taken);
}

QTEST_MAIN(TWindowLineSettingsTest)
#include "window_line_settings_test.moc"
