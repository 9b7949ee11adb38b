// SPDX-License-Identifier: MIT
// The main window's construction and destruction: its port, timer, layout
// and handlers.
#include "main/window/main_form.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "main/engine/module_line_settings.h"
#include "main/window/error_display.h"
#include "main/window/field_events.h"
#include "main/ports/port_candidates.h"
#include "main/window/port_combo_box.h"

namespace varnolink {

TMainForm::TMainForm(QWidget* Parent) : QWidget(Parent)
{
    InstallApplicationErrorDisplay();

    ComPort1.SetName("ComPort1");
    ComPort1.SetPort("COM1");
    ApplyModuleLineSettings(ComPort1);
    ComPort1.OnRxChar = [this](cport::TComponent*, int32_t Count) { ComPort1RxChar(Count); };
    ComPort1.OnError = [this](cport::TComponent*, cport::TComErrors Errors) { ComPort1Error(Errors); };

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(ReplyTimeoutMs);

    BuildLayout();
    DescribeControls();
    ConnectHandlers();
    FormCreate();
    SetErrorDevicePath([this] { return ComPort1.Port(); });
    Udev_ = MakeLibudevSource();
    WatchDevices();

    if (const QScreen* Screen = screen())
        move(Screen->availableGeometry().center() - rect().center());
}

TMainForm::~TMainForm()
{
    // Nothing of the window may run while its parts go away: a field that
    // loses the focus while it is deleted must not reach the handlers.
    for (TFieldEvents* Events : FieldEvents_)
        Events->Detach();
    for (QObject* Child : findChildren<QObject*>())
        QObject::disconnect(Child, nullptr, this, nullptr);
    ComboPort->OnDropDown = nullptr;
    Timer1.stop();
    QObject::disconnect(&Timer1, nullptr, this, nullptr);
    ComPort1.OnRxChar = nullptr;
    ComPort1.OnError = nullptr;
    SetErrorDevicePath(nullptr);
    try {
        ComPort1.Close();
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "varnolink-setup: closing the port: %s\n", Failure.what());
    }
}

void TMainForm::ConnectHandlers()
{
    ComboPort->OnDropDown = [this] { ComboPortDropDown(); };
    connect(ComboPort, &QComboBox::activated, this, Guarded([this] { ComboPortChange(); }));
    connect(OpenPort, &QPushButton::clicked, this, Guarded([this] { OpenPortClick(); }));
    connect(ClosePort, &QPushButton::clicked, this, Guarded([this] { ClosePortClick(); }));
    connect(ReadConfig, &QPushButton::clicked, this, Guarded([this] { ReadConfigClick(); }));
    connect(SaveConfig, &QPushButton::clicked, this, Guarded([this] { SaveConfigClick(); }));
    connect(SaveToDefault, &QPushButton::clicked, this, Guarded([this] { SaveToDefaultClick(); }));
    connect(&Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));

    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        for (int Row = 0; Row < PortRowCount; ++Row) {
            for (int Bit = 0; Bit < PortBitCount; ++Bit)
                connect(BitButton(Grid, Row, Bit), &QPushButton::clicked, this,
                        Guarded([this, Grid, Row, Bit] { BitClick(Grid, Row, Bit); }));
            QLineEdit* Field = ByteField(Grid, Row);
            connect(Field, &QLineEdit::textChanged, this, Guarded([this, Grid, Row] { ByteFieldChange(Grid, Row); }));
            FieldEvents_.push_back(MakeTwoCharacterField(
                Field, [this, Grid, Row] { ByteFieldClick(Grid, Row); },
                [this, Grid, Row] { ByteFieldEnter(Grid, Row); }, [this, Grid, Row] { ByteFieldExit(Grid, Row); }));
        }
    }

    connect(IDDisplay, &QLineEdit::textChanged, this, Guarded([this] { IDDisplayChange(); }));
    FieldEvents_.push_back(MakeTwoCharacterField(
        IDDisplay, [this] { IDDisplayClick(); }, [this] { IDDisplayEnter(); }, [this] { IDDisplayExit(); }));
}

void TMainForm::closeEvent(QCloseEvent* Event)
{
    if (ActiveWait_ != nullptr) {
        // A handler further up the stack is waiting for a reply. End its wait
        // (it sees no reply and stops its sequence), let it return, and close
        // from the event loop afterwards: the window must not go away under it.
        CloseRequested_ = true;
        ActiveWait_->quit();
        Event->ignore();
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    RunGuarded([this] { ComPort1.Close(); });
    CloseRequested_ = false;
    Event->accept();
}

void TMainForm::SetControlEnabled(QWidget* Control, bool Enabled)
{
    // Qt moves the focus of a control being disabled on to the next control
    // of the tab chain, which may be a field that is disabled a moment later:
    // its entry and exit rules would run for nothing. The window takes it.
    if (!Enabled && focusWidget() == Control)
        setFocus(Qt::OtherFocusReason);
    Control->setEnabled(Enabled);
}

void TMainForm::SetBitButtonsEnabled(bool Enabled)
{
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row)
            for (int Bit = 0; Bit < PortBitCount; ++Bit)
                SetControlEnabled(BitButton(Grid, Row, Bit), Enabled);
}

void TMainForm::SetByteFieldsEnabled(bool Enabled)
{
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row)
            SetControlEnabled(ByteField(Grid, Row), Enabled);
}

void TMainForm::BlankGrid(TPortGrid Grid)
{
    for (int Row = 0; Row < PortRowCount; ++Row)
        for (int Bit = 0; Bit < PortBitCount; ++Bit)
            SetBitButtonText(Grid, Row, Bit, QString());
    for (int Row = 0; Row < PortRowCount; ++Row)
        ByteField(Grid, Row)->clear();
}

std::vector<std::string> TMainForm::PortCandidates() const
{
    std::vector<std::string> Candidates = UseInjectedCandidates_ ? InjectedCandidates_ : varnolink::PortCandidates();
    for (const std::string& Added : AddedNetworkPorts_)
        if (std::find(Candidates.begin(), Candidates.end(), Added) == Candidates.end())
            Candidates.push_back(Added);
    return Candidates;
}

void TMainForm::SetPortCandidatesForTesting(std::vector<std::string> DevicePaths)
{
    UseInjectedCandidates_ = true;
    InjectedCandidates_ = std::move(DevicePaths);
}

void TMainForm::SetReplyTimeoutForTesting(int Milliseconds)
{
    ReplyTimeoutMs_ = Milliseconds;
    Session_.SetReplyWait(std::chrono::milliseconds(Milliseconds));
}

}  // namespace varnolink
