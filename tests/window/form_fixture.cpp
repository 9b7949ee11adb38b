#include "form_fixture.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "main/window/error_display.h"
#include "main/window/port_candidates.h"
#include "main/window/port_combo_box.h"

namespace window_test {

const QStringList StartUpControls{"ComboPort"};
const QStringList ConnectedControls{"ClosePort", "IDDisplay", "ComboBaud",   "SaveToDefault",
                                    "SaveConfig", "ReadConfig", "bit buttons", "byte fields"};

TErrorRecorder::TErrorRecorder()
{
    SetErrorMessageDisplay([this](const QString& Text) { Messages << Text; });
}

TErrorRecorder::~TErrorRecorder()
{
    SetErrorMessageDisplay(nullptr);
}

std::unique_ptr<TModuleSimulator> StartSimulator(const ModuleState& State, const Faults& Faults)
{
    SimulatorOptions Options;
    Options.state = State;
    Options.faults = Faults;
    auto Simulator = std::make_unique<TModuleSimulator>(std::move(Options));
    Simulator->Start();
    return Simulator;
}

std::unique_ptr<TMainForm> ShowForm(std::vector<std::string> Candidates)
{
    auto Form = std::make_unique<TMainForm>();
    Form->SetPortCandidatesForTesting(std::move(Candidates));
    Form->show();
    if (!QTest::qWaitForWindowActive(Form.get()))
        qWarning("the window did not become active");
    return Form;
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

QStringList EnabledControls(const TMainForm& Form)
{
    QStringList Enabled;
    const std::initializer_list<QWidget*> Controls{
        Form.ComboPort,     Form.OpenPort,     Form.ClosePort,     Form.StatusConnect,
        Form.BiosNameDisplay, Form.BIOSVersionDisplay, Form.StatusDisplay, Form.IDDisplay,
        Form.ComboBaud,     Form.SaveToDefault, Form.SaveConfig,   Form.ReadConfig};
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

QString PortName(const std::string& DevicePath)
{
    return QString::fromStdString(PortDisplayName(DevicePath));
}

}  // namespace window_test
