// SPDX-License-Identifier: MIT
#pragma once

// Shared pieces of the window suites: a window with injected port
// candidates, the simulator on a pseudo-terminal, an error recorder in place
// of the error box, and readers of what the window shows.

#include <QObject>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "main/window/main_form.h"
#include "main/window/main_window.h"
#include "sim/module_simulator.h"
#include "tests/support/started_simulator.h"

using namespace varnolink;

namespace window_test {

using varnolink::sim::TFaults;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TModuleState;
using varnolink::sim::TSimulatorOptions;

// Records the texts the application would show in its error box.
class TErrorRecorder {
public:
    TErrorRecorder();
    ~TErrorRecorder();
    TErrorRecorder(const TErrorRecorder&) = delete;
    TErrorRecorder& operator=(const TErrorRecorder&) = delete;

    QStringList Messages;
};

// TFaults and module states with the fields Set sets, for tables and
// one-line set-ups.
inline TFaults FaultsWith(const std::function<void(TFaults&)>& Set)
{
    TFaults Made;
    Set(Made);
    return Made;
}
inline TModuleState StateWith(const std::function<void(TModuleState&)>& Set)
{
    TModuleState Made;
    Set(Made);
    return Made;
}

using test_support::StartSimulator;

// A window that probes only Candidates, shown and active (focus events need
// an active window). Its backups go to a scratch XDG_STATE_HOME.
std::unique_ptr<TMainForm> ShowForm(std::vector<std::string> Candidates);

// The port list dropping down (and closing again), as the operator opens it.
void DropDown(TMainForm& Form);
// The operator picks the port shown as Name; false if it is not listed.
bool PickPort(TMainForm& Form, const QString& Name);
// Picks the simulator's port and presses "Open"; returns when the identity
// wait has ended.
void OpenSimulatorPort(TMainForm& Form, const TModuleSimulator& Simulator);
void Click(QWidget* Control);
// Clicks into Field and types Text, as the operator does.
void TypeInto(QWidget* Field, const QString& Text);

// The main window with its menu bar, probing only Candidates, shown and active.
std::unique_ptr<TMainWindow> ShowMainWindow(std::vector<std::string> Candidates);

// The set-up every suite that drives the window against the simulator
// shares: one simulator, one error recorder, one window per test. Reset()
// ends them after each test, the window first, as it holds the simulator's
// line.
class TFormFixture {
public:
    // Starts the simulator; its requests pass the hook set with OnRequest.
    TModuleSimulator& StartModule(const TModuleState& State = {}, const TFaults& TFaults = {});
    // Starts recording errors and shows the window on Candidates (the
    // simulator's port when empty); a reply time-out when TimeoutMs > 0.
    TMainForm& ShowWindow(int TimeoutMs = 0, std::vector<std::string> Candidates = {});
    // Both, then picks the simulator's port and presses "Open"; true when
    // the module was identified.
    bool Open(const TModuleState& State = {}, const TFaults& TFaults = {}, int TimeoutMs = 0);
    // Runs Action on the main thread, queued to Target (the window when
    // none is given), when a request with Code reaches the simulator, until
    // Disarm().
    void OnRequest(int Code, std::function<void()> Action, QObject* Target = nullptr);
    void Disarm() { ArmedCode_ = NotArmed; }
    void Reset();

    std::unique_ptr<TModuleSimulator> Simulator;
    std::unique_ptr<TErrorRecorder> Errors;
    std::unique_ptr<TMainForm> Form;

private:
    // No request carries this code (an unparsed frame carries -1).
    static constexpr int NotArmed = -1000;
    std::atomic<int> ArmedCode_{NotArmed};
    std::function<void()> Action_;
    QObject* Target_ = nullptr;
};

// The base of the suites that drive the window against the simulator: a
// closed window does not end the test program, and the fixture is torn
// down after every test (a suite may add to that with a cleanup() of its own).
class TFormSuite : public QObject {
    Q_OBJECT

protected:
    TFormFixture F_;

private slots:
    void initTestCase();
    void cleanup() { F_.Reset(); }
};

// The names of the enabled controls; the bit buttons and byte fields count
// as "bit buttons" and "byte fields" when all of them are enabled and as
// "some bit buttons" / "some byte fields" when only a part is.
QStringList EnabledControls(const TMainForm& Form);

// Captions of a grid row, bit 7 first.
QStringList Captions(const TMainForm& Form, TPortGrid Grid, int Row);
QStringList SameCaptions(const QString& Caption);
// A row as the operator and the bit tables see it: the byte field's text,
// the captions and the table's bits, bit 7 first ("A5 | IN OUT ... | 10100101").
QString RowState(const TMainForm& Form, TPortGrid Grid, int Row);
// The state of a row marked for a read that has had no reply.
inline const QString MarkedRow = "00 | ? ? ? ? ? ? ? ? | 00000000";

// The name the port list shows for a device path.
QString PortName(const std::string& DevicePath);

QStringList Sorted(QStringList Names);

// Expected enabled sets of the window states.
extern const QStringList StartUpControls;
extern const QStringList ConnectedControls;

}  // namespace window_test
