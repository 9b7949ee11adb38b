// SPDX-License-Identifier: MIT
// The "Commission a series" dialog over the main window, against the
// simulator standing for a series of modules: opened from the menu bar, a
// short series with a faulty module, the window's controls taken away and
// given back, a stop between modules, and what it refuses to start with.

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

#include "form_fixture.h"
#include "main/files/commission_log.h"
#include "main/window/commission_dialog.h"
#include "main/window/main_window.h"
#include "main/window/wire_log_window.h"
#include "tests/support/scratch_folder.h"

using namespace window_test;
using namespace std::chrono_literals;

namespace {

const std::string TemplateText = "[module]\nbaud = 19200\n"
                                 "[direction]\nP0 = 5A\nP1 = 00\nP2 = F0\nP4 = FF\nP5 = FF\n"
                                 "[power_on_default]\nP0 = FF\nP1 = FF\nP2 = FF\nP4 = FF\nP5 = 0F\n";

std::unique_ptr<TModuleSimulator> StartSeries(std::size_t FaultyModule)
{
    TSimulatorOptions Options;
    Options.Series = {true, 1000ms, FaultyModule, 0};
    auto Simulator = std::make_unique<TModuleSimulator>(Options);
    Simulator->Start();
    return Simulator;
}

QStringList Column(const QTableWidget& Table, int Column)
{
    QStringList Texts;
    for (int Row = 0; Row < Table.rowCount(); ++Row)
        Texts << Table.item(Row, Column)->text();
    return Texts;
}

}  // namespace

class TCommissionDialogTest : public TFormSuite {
    Q_OBJECT

private slots:
    void RunsAShortSeriesAndGivesTheWindowBack();
    void StopBetweenModulesEndsTheRun();
    void RefusesToStartWithoutAUsableTemplateListOrPort();
    void ItsFramesAndRepliesReachTheWireLogAndNoField();
};

void TCommissionDialogTest::RunsAShortSeriesAndGivesTheWindowBack()
{
    const test_support::TScratchFolder Scratch;
    const auto Simulator = StartSeries(2);
    TErrorRecorder Errors;
    TMainWindow Window;
    TMainForm* const Form = Window.Form();
    Form->SetPortCandidatesForTesting({Simulator->DevicePath()});
    Window.show();
    QVERIFY(QTest::qWaitForWindowActive(&Window));
    QVERIFY(!Window.CommissionAction->isEnabled());
    OpenSimulatorPort(*Form, *Simulator);
    QVERIFY(Window.CommissionAction->isEnabled());
    Window.CommissionAction->trigger();
    TCommissionDialog* const Found = Window.findChild<TCommissionDialog*>();
    QVERIFY(Found != nullptr);
    TCommissionDialog& Dialog = *Found;
    Dialog.TemplatePath->setText(QString::fromStdString(Scratch.Write("template.ini", TemplateText)));
    Dialog.IdList->setText(QStringLiteral("01-02"));
    const std::string Log = Scratch.Path("log.csv");
    Dialog.LogPath->setText(QString::fromStdString(Log));
    QSignalSpy Ended(&Dialog, &TCommissionDialog::RunEnded);

    Click(Dialog.StartButton);
    QVERIFY(Dialog.Running());
    QCOMPARE(EnabledControls(*Form), QStringList{});
    QVERIFY(!Window.CommissionAction->isEnabled());
    QVERIFY(!Dialog.StartButton->isEnabled());
    QVERIFY(Ended.wait(30000));

    QCOMPARE(Column(*Dialog.Rows, 2), (QStringList{"01", "02", "02"}));
    QCOMPARE(Column(*Dialog.Rows, 3), (QStringList{"ok", "mismatch", "ok"}));
    QCOMPARE(Dialog.Rows->item(1, 4)->text(), QString("direction.P0: wrote 5A, read 5B"));
    QVERIFY(Dialog.Rows->item(0, 3)->background().color() != Dialog.Rows->item(1, 3)->background().color());
    QCOMPARE(Dialog.Progress->text(), QString("2 of 2 done"));
    QVERIFY(Dialog.Status->text().startsWith("Every ID of the list is done. 2 ok, 1 failed, 0 skipped"));
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
    QVERIFY(Window.CommissionAction->isEnabled());
    QVERIFY(Dialog.StartButton->isEnabled());
    QVERIFY(Errors.Messages.isEmpty());

    QCOMPARE(DoneIDs(ParseCommissionLog(Scratch.Read(Log), Log)), (std::set<uint8_t>{1, 2}));

    // The window's own transactions work again on the port it lent, once the
    // next (fresh) module is on the line.
    QTRY_VERIFY_WITH_TIMEOUT(Simulator->ModuleNumber() == 4, 10000);
    Click(Form->ReadConfig);
    QCOMPARE(Form->IDDisplay->text(), QString("01"));
}

void TCommissionDialogTest::StopBetweenModulesEndsTheRun()
{
    const auto Simulator = StartSeries(0);
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    TModuleConfig Shown = FactoryModuleConfig;
    Shown.Direction[1] = 0x33;
    TCommissionDialog Dialog(*Form, [&] { return std::optional<TModuleConfig>(Shown); });
    Dialog.TemplateFromWindow->setChecked(true);
    Dialog.IdList->setText(QStringLiteral("10-14"));
    Dialog.show();
    QSignalSpy Ended(&Dialog, &TCommissionDialog::RunEnded);
    QObject::connect(Dialog.Rows->model(), &QAbstractItemModel::rowsInserted, &Dialog,
                     [&] { Click(Dialog.StopButton); });

    QVERIFY(Dialog.Start());
    QVERIFY(Ended.wait(30000));
    QCOMPARE(Column(*Dialog.Rows, 2), QStringList{"10"});
    QVERIFY(Dialog.Status->text().startsWith("Stopped between two modules. 1 ok"));
    QCOMPARE(Simulator->RequestLog().back().Module, std::size_t{1});  // no request after the stop
    QCOMPARE(EnabledControls(*Form), Sorted(ConnectedControls));
}

void TCommissionDialogTest::RefusesToStartWithoutAUsableTemplateListOrPort()
{
    const test_support::TScratchFolder Scratch;
    const auto Simulator = StartSeries(0);
    const auto Form = ShowForm({Simulator->DevicePath()});
    OpenSimulatorPort(*Form, *Simulator);
    const std::string Good = Scratch.Write("good.ini", TemplateText);
    struct TCase {
        std::string Template;  // empty: what the window shows (nothing)
        QString IDs;
        QString Reason;
    };
    const std::vector<TCase> Cases{
        {Good, "05-01", "Remote IDs: the range \"05-01\" runs backwards"},
        {Scratch.Write("partial.ini", "[module]\nbaud = 9600\n"), "01", "key \"direction.P0\""},
        {"", "01", "The window does not show a whole configuration"},
    };
    TCommissionDialog Dialog(*Form, [] { return std::optional<TModuleConfig>(); });
    for (const TCase& Case : Cases) {
        (Case.Template.empty() ? Dialog.TemplateFromWindow : Dialog.TemplateFromFile)->setChecked(true);
        Dialog.TemplatePath->setText(QString::fromStdString(Case.Template));
        Dialog.IdList->setText(Case.IDs);
        QVERIFY(!Dialog.Start());
        QVERIFY2(Dialog.Status->text().contains(Case.Reason), qPrintable(Dialog.Status->text()));
    }
    Dialog.TemplateFromFile->setChecked(true);
    Dialog.TemplatePath->setText(QString::fromStdString(Good));
    Dialog.IdList->setText(QStringLiteral("01"));
    Click(Form->ClosePort);
    QVERIFY(!Dialog.Start());
    QCOMPARE(Dialog.Status->text(), QString("Open the port in the main window first."));
    QCOMPARE(Simulator->Requests().size(), std::size_t{1});  // only the identity request of opening
}

void TCommissionDialogTest::ItsFramesAndRepliesReachTheWireLogAndNoField()
{
    const test_support::TScratchFolder Scratch;
    const auto Simulator = StartSeries(0);
    TMainWindow Window;
    TMainForm& Form = *Window.Form();
    Form.SetPortCandidatesForTesting({Simulator->DevicePath()});
    Window.show();
    QVERIFY(QTest::qWaitForWindowActive(&Window));
    OpenSimulatorPort(Form, *Simulator);
    Window.WireLog->Clear();
    TCommissionDialog Dialog(Form, {});
    Dialog.TemplatePath->setText(QString::fromStdString(Scratch.Write("template.ini", TemplateText)));
    Dialog.IdList->setText(QStringLiteral("07"));
    QSignalSpy Ended(&Dialog, &TCommissionDialog::RunEnded);

    QVERIFY(Dialog.Start());
    QVERIFY(Ended.wait(30000));
    const QString Log = Window.WireLog->Lines().join('\n');
    QVERIFY2(Log.contains("  >  *02:1,07=00<CR><LF>  write Remote ID 07") &&
                 Log.contains("<CR>  read P5 power-on default \u2192 0F"),
             qPrintable(Log));
    QCOMPARE(Form.IDDisplay->text(), QString());
    QCOMPARE(Form.ByteField(TPortGrid::Default, 4)->text(), QString());
}

QTEST_MAIN(TCommissionDialogTest)
#include "commission_dialog_test.moc"

using namespace varnolink;
