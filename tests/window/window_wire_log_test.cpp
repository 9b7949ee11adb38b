// SPDX-License-Identifier: MIT
// The wire log window: reached by View > "Wire log" (Ctrl+L), it lists the
// frames and replies of a READ CONFIG with their meaning, time-outs and the
// device going away, keeps the last 10,000 lines, saves, clears and pauses.

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include "main/window/main_window.h"
#include "main/window/wire_log_window.h"
#include "transaction_support.h"

using namespace transaction_test;

namespace {

QString Visible(const std::string& Frame)
{
    return QString::fromStdString(VisibleText(Frame));
}

}  // namespace

class TWindowWireLogTest : public TFormSuite {
    Q_OBJECT

private slots:
    void ViewMenuOpensTheWireLogWithCtrlL();
    void ReadConfigShowsEachFrameAndReplyThenTimeOutAndLoss();
    void KeepsTheLastLinesSavesClearsAndPauses();
};

void TWindowWireLogTest::ViewMenuOpensTheWireLogWithCtrlL()
{
    const auto Simulator = StartSimulator();
    const auto Window = ShowMainWindow({Simulator->DevicePath()});
    QStringList Menus;
    for (const QAction* Menu : Window->menuBar()->actions())
        Menus << Menu->text();
    QCOMPARE(Menus, QStringList({"&File", "&View", "&Help"}));
    QCOMPARE(Window->WireLogAction->shortcut(), QKeySequence("Ctrl+L"));
    QVERIFY(!Window->WireLog->isVisible());
    QTest::keyClick(Window.get(), Qt::Key_L, Qt::ControlModifier);
    QTRY_VERIFY(Window->WireLog->isVisible());
    QVERIFY(!Window->WireLog->isAncestorOf(Window->Form()));  // a window of its own
}

void TWindowWireLogTest::ReadConfigShowsEachFrameAndReplyThenTimeOutAndLoss()
{
    TModuleState State;
    State.Directions[2] = 0x33;
    const auto Simulator = StartSimulator(State);
    TErrorRecorder Errors;
    const auto Window = ShowMainWindow({Simulator->DevicePath()});
    TMainForm& Form = *Window->Form();
    OpenSimulatorPort(Form, *Simulator);
    QCOMPARE(Form.StatusConnect->text(), QString("Connect OK"));
    const QStringList Opening = Window->WireLog->Lines();
    QCOMPARE(Opening.size(), 3);
    QVERIFY2(Opening.at(0).contains("opened " + QString::fromStdString(Simulator->DevicePath())),
             qPrintable(Opening.at(0)));

    Window->WireLog->Clear();
    Click(Form.ReadConfig);
    const QStringList Lines = Window->WireLog->Lines();
    const TFrames& Reads = ReadChainFrames;
    QCOMPARE(Lines.size(), 2 * static_cast<int>(Reads.size()));
    for (int Step = 0; Step < static_cast<int>(Reads.size()); ++Step) {
        const QString& Sent = Lines.at(2 * Step);
        const QString& Received = Lines.at(2 * Step + 1);
        QVERIFY2(Sent.contains(" ms  >  " + Visible(Reads[static_cast<std::size_t>(Step)]) + "  read "),
                 qPrintable(Sent));
        QVERIFY2(Received.contains(" ms  <  *") && Received.contains("<CR>  read ") && Received.contains("\u2192"),
                 qPrintable(Received));
    }
    QVERIFY2(Lines.at(2 * 6 + 1).contains("read P2 direction \u2192 33"), qPrintable(Lines.at(13)));

    TFaults Silent;
    Silent.SilentCodes = {1};
    Simulator->SetFaults(Silent);
    Form.SetReplyTimeoutForTesting(300);
    Click(Form.ReadConfig);
    QVERIFY2(Window->WireLog->Lines().last().contains("no reply to read status within 300 ms"),
             qPrintable(Window->WireLog->Lines().last()));

    Simulator->HangUp();
    QTRY_VERIFY(!Form.ComPort1.Connected());
    const QStringList AfterLoss = Window->WireLog->Lines();
    QVERIFY2(AfterLoss.at(AfterLoss.size() - 2).contains("has gone away"), qPrintable(AfterLoss.join('\n')));
    QVERIFY(AfterLoss.last().contains("closed"));
}

void TWindowWireLogTest::KeepsTheLastLinesSavesClearsAndPauses()
{
    TWireLogWindow Log;
    const int Extra = 50;
    for (int Line = 0; Line < TWireLogWindow::MaxLines + Extra; ++Line)
        Log.AppendLine(QStringLiteral("line %1").arg(Line));
    const QStringList Lines = Log.Lines();
    QCOMPARE(Lines.size(), TWireLogWindow::MaxLines);
    QCOMPARE(Lines.first(), QStringLiteral("line %1").arg(Extra));
    QCOMPARE(Lines.last(), QStringLiteral("line %1").arg(TWireLogWindow::MaxLines + Extra - 1));

    QTemporaryDir Directory;
    const QString Path = Directory.filePath("wire.txt");
    QVERIFY(Log.SaveTo(Path));
    QFile Saved(Path);
    QVERIFY(Saved.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(QString::fromUtf8(Saved.readAll()), Lines.join('\n') + '\n');

    // Paused, the view stays where the reader put it; resumed, it follows.
    Log.show();
    QScrollBar* const Scroll = Log.Text->verticalScrollBar();
    Log.PauseButton->setChecked(true);
    Scroll->setValue(10);
    Log.AppendLine("while paused");
    QCOMPARE(Scroll->value(), 10);
    Log.PauseButton->setChecked(false);
    Log.AppendLine("after the pause");
    QCOMPARE(Scroll->value(), Scroll->maximum());

    Click(Log.ClearButton);
    QVERIFY(Log.Lines().isEmpty());
}

QTEST_MAIN(TWindowWireLogTest)
#include "window_wire_log_test.moc"

using namespace varnolink;
