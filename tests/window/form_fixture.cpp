// SPDX-License-Identifier: MIT
#include "form_fixture.h"

#include <QApplication>
#include <QComboBox>
#include <QMetaObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "main/window/error_display.h"
#include "main/window/port_candidates.h"
#include "main/window/port_combo_box.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace window_test {

namespace {

// The backups a window keeps before it writes go into a scratch folder of
// the test program, never into the home folder of whoever runs the tests.
void KeepStateInScratch()
{
    static const test_support::TScratchFolder State;
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(State.Path("state")));
}

}  // namespace

const QStringList StartUpControls{"ComboPort"};
const QStringList ConnectedControls{"ClosePort",  "IDDisplay",  "ComboBaud",   "SaveToDefault",
                                    "SaveConfig", "ReadConfig", "bit buttons", "byte fields"};

TErrorRecorder::TErrorRecorder()
{
    SetErrorMessageDisplay([this](const QString& Text) { Messages << Text; });
}

TErrorRecorder::~TErrorRecorder()
{
    SetErrorMessageDisplay(nullptr);
}

std::unique_ptr<TMainForm> ShowForm(std::vector<std::string> Candidates)
{
    KeepStateInScratch();
    auto Form = std::make_unique<TMainForm>();
    Form->SetPortCandidatesForTesting(std::move(Candidates));
    Form->show();
    if (!QTest::qWaitForWindowActive(Form.get()))
        qWarning("the window did not become active");
    return Form;
}

void TFormSuite::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
}

std::unique_ptr<TMainWindow> ShowMainWindow(std::vector<std::string> Candidates)
{
    KeepStateInScratch();
    auto Window = std::make_unique<TMainWindow>();
    Window->Form()->SetPortCandidatesForTesting(std::move(Candidates));
    Window->show();
    if (!QTest::qWaitForWindowActive(Window.get()))
        qWarning("the window did not become active");
    return Window;
}

TModuleSimulator& TFormFixture::StartModule(const TModuleState& State, const TFaults& TFaults)
{
    TSimulatorOptions Options;
    Options.State = State;
    Options.Faults = TFaults;
    // Runs on the simulator's thread: only the armed code crosses over.
    Options.OnRequest = [this](const varnolink::sim::TRequestRecord& Request) {
        if (Request.Code == ArmedCode_.load())
            QMetaObject::invokeMethod(
                Target_, [this] { Action_(); }, Qt::QueuedConnection);
    };
    Simulator = std::make_unique<TModuleSimulator>(std::move(Options));
    Simulator->Start();
    return *Simulator;
}

TMainForm& TFormFixture::ShowWindow(int TimeoutMs, std::vector<std::string> Candidates)
{
    Errors = std::make_unique<TErrorRecorder>();
    Form = ShowForm(Candidates.empty() ? std::vector<std::string>{Simulator->DevicePath()} : std::move(Candidates));
    if (TimeoutMs > 0)
        Form->SetReplyTimeoutForTesting(TimeoutMs);
    return *Form;
}

bool TFormFixture::Open(const TModuleState& State, const TFaults& TFaults, int TimeoutMs)
{
    StartModule(State, TFaults);
    ShowWindow(TimeoutMs);
    OpenSimulatorPort(*Form, *Simulator);
    return Form->StatusConnect->text() == "Connect OK";
}

void TFormFixture::OnRequest(int Code, std::function<void()> Action, QObject* Target)
{
    Action_ = std::move(Action);
    Target_ = Target != nullptr ? Target : Form.get();
    ArmedCode_ = Code;
}

void TFormFixture::Reset()
{
    Disarm();
    Form.reset();
    Errors.reset();
    Simulator.reset();
}

void DropDown(TMainForm& Form)
{
    Form.ComboPort->showPopup();
    Form.ComboPort->hidePopup();
    // The offscreen platform does not hand the activation back from the
    // closed popup by itself, as a window manager would.
    Form.activateWindow();
    if (!QTest::qWaitForWindowActive(&Form))
        qWarning("the window did not become active again");
}

bool PickPort(TMainForm& Form, const QString& Name)
{
    const int Index = Form.ComboPort->findText(Name);
    if (Index < 0)
        return false;
    Form.ComboPort->setCurrentIndex(Index);
    emit Form.ComboPort->activated(Index);
    return true;
}

void OpenSimulatorPort(TMainForm& Form, const TModuleSimulator& Simulator)
{
    DropDown(Form);
    if (!PickPort(Form, PortName(Simulator.DevicePath())))
        qWarning("the simulator's port is not listed");
    Click(Form.OpenPort);
}

void Click(QWidget* Control)
{
    QTest::mouseClick(Control, Qt::LeftButton);
}

void TypeInto(QWidget* Field, const QString& Text)
{
    Click(Field);
    QTest::keyClicks(Field, Text);
}

QStringList EnabledControls(const TMainForm& Form)
{
    QStringList Enabled;
    const std::initializer_list<QWidget*> Controls{Form.ComboPort,     Form.OpenPort,        Form.ClosePort,
                                                   Form.StatusConnect, Form.BiosNameDisplay, Form.BIOSVersionDisplay,
                                                   Form.StatusDisplay, Form.IDDisplay,       Form.ComboBaud,
                                                   Form.SaveToDefault, Form.SaveConfig,      Form.ReadConfig};
    for (QWidget* Control : Controls)
        if (Control->isEnabled())
            Enabled << Control->objectName();

    int Buttons = 0;
    int Fields = 0;
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        for (int Row = 0; Row < PortRowCount; ++Row) {
            for (int Bit = 0; Bit < PortBitCount; ++Bit)
                Buttons += Form.BitButton(Grid, Row, Bit)->isEnabled() ? 1 : 0;
            Fields += Form.ByteField(Grid, Row)->isEnabled() ? 1 : 0;
        }
    }
    if (Buttons == 2 * PortRowCount * PortBitCount)
        Enabled << "bit buttons";
    else if (Buttons > 0)
        Enabled << "some bit buttons";
    if (Fields == 2 * PortRowCount)
        Enabled << "byte fields";
    else if (Fields > 0)
        Enabled << "some byte fields";
    Enabled.sort();
    return Enabled;
}

QStringList Sorted(QStringList Names)
{
    Names.sort();
    return Names;
}

QStringList Captions(const TMainForm& Form, TPortGrid Grid, int Row)
{
    QStringList Texts;
    for (int Bit = PortBitCount - 1; Bit >= 0; --Bit)
        Texts << Form.BitButton(Grid, Row, Bit)->text();
    return Texts;
}

QStringList SameCaptions(const QString& Caption)
{
    QStringList Texts;
    for (int Bit = 0; Bit < PortBitCount; ++Bit)
        Texts << Caption;
    return Texts;
}

QString RowState(const TMainForm& Form, TPortGrid Grid, int Row)
{
    const TMainForm::TBitRow& Bits =
        (Grid == TPortGrid::Direction ? Form.DirBits : Form.DefBits)[static_cast<std::size_t>(Row)];
    QString Digits;
    for (int Bit = PortBitCount - 1; Bit >= 0; --Bit)
        Digits += QString::number(Bits[static_cast<std::size_t>(Bit)]);
    return Form.ByteField(Grid, Row)->text() + " | " + Captions(Form, Grid, Row).join(' ') + " | " + Digits;
}

QString PortName(const std::string& DevicePath)
{
    return QString::fromStdString(PortDisplayName(DevicePath));
}

}  // namespace window_test
