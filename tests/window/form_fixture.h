#pragma once

// Shared pieces of the window suites: a window with injected port
// candidates, the simulator on a pseudo-terminal, an error recorder in place
// of the error box, and readers of what the window shows.

#include <QStringList>

#include <memory>
#include <string>
#include <vector>

#include "main/window/main_form.h"
#include "sim/module_simulator.h"

namespace window_test {

using varnolink::sim::Faults;
using varnolink::sim::ModuleState;
using varnolink::sim::SimulatorOptions;
using varnolink::sim::TModuleSimulator;

// Records the texts the application would show in its error box.
class TErrorRecorder {
public:
    TErrorRecorder();
    ~TErrorRecorder();
    TErrorRecorder(const TErrorRecorder&) = delete;
    TErrorRecorder& operator=(const TErrorRecorder&) = delete;

    QStringList Messages;
};

// A started simulator with the given state and faults.
std::unique_ptr<TModuleSimulator> StartSimulator(const ModuleState& State = {}, const Faults& Faults = {});

// A window that probes only Candidates, shown and active (focus events need
// an active window).
std::unique_ptr<TMainForm> ShowForm(std::vector<std::string> Candidates);

// The port list dropping down (and closing again), as the operator opens it.
void DropDown(TMainForm& Form);
// The operator picks the port shown as Name; false if it is not listed.
bool PickPort(TMainForm& Form, const QString& Name);
// Picks the simulator's port and presses "Open"; returns when the identity
// wait has ended.
void OpenSimulatorPort(TMainForm& Form, const TModuleSimulator& Simulator);
void Click(QWidget* Control);

// The names of the enabled controls; the bit buttons and byte fields count
// as "bit buttons" and "byte fields" when all of them are enabled and as
// "some bit buttons" / "some byte fields" when only a part is.
QStringList EnabledControls(const TMainForm& Form);

// Captions of a grid row, bit 7 first.
QStringList Captions(const TMainForm& Form, TPortGrid Grid, int Row);
QStringList SameCaptions(const QString& Caption);

// The name the port list shows for a device path.
QString PortName(const std::string& DevicePath);

QStringList Sorted(QStringList Names);

// Expected enabled sets of the window states.
extern const QStringList StartUpControls;
extern const QStringList ConnectedControls;

}  // namespace window_test
