// SPDX-License-Identifier: MIT
// The main window: its controls, its port and its chain session.
#pragma once

#include <QTimer>
#include <QWidget>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cport/comport.h"
#include "main/engine/chain_session.h"
#include "main/engine/wire_log.h"
#include "main/ports/udev_source.h"
#include "main/protocol/module_record.h"
#include "main/protocol/port_table.h"
#include "main/protocol/transaction_chains.h"
#include "main/window/line_settings.h"
#include "main/window/qt_hand_over.h"

class QCloseEvent;
class QComboBox;
class QEventLoop;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSocketNotifier;

namespace varnolink {

class TFieldEvents;
class TPortComboBox;

// The program's only window: the connection panel, the two bit grids with
// their byte fields, the module's status, Remote ID and baud rate, and the
// three configuration buttons. It owns the serial port ComPort1, the reply
// timer Timer1 and the chain session that every request of the window goes
// through: the window writes the session's requests to ComPort1, feeds it
// the received characters and shows its events (the read marking of a
// request, the value of a decoded reply) in the fields and the wire log.
//
// Every handler runs on the main thread. Handlers connected to Qt signals,
// the timer and the serial hand-over are wrapped so that an error ends the
// handler and is shown by the application's error display (error_display.h);
// no exception reaches Qt's event machinery.
class TMainForm : public QWidget {
    Q_OBJECT

    // Set up before ComPort1 and taken down after it: while it lives the Qt
    // loop watches the main thread's wait descriptor, where ComPort1's input
    // is read and its event thread's hand-overs (line errors) are served.
    TQtHandOver HandOver_;

public:
    // One row of bits of a grid: entry b holds bit b (0 or 1).
    using TBitRow = std::array<uint8_t, PortBitCount>;
    using TBitTable = std::array<TBitRow, PortRowCount>;

    static constexpr int ReplyTimeoutMs = 5000;

    explicit TMainForm(QWidget* Parent = nullptr);
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // --- Controls, by their layout names (object names are the same).
    QGroupBox* GroupBox1 = nullptr;  // "Power-on Port Output Default Logic"
    QGroupBox* GroupBox2 = nullptr;  // "Port I/O Direction(0=Output,1=Input)"
    QGroupBox* GroupBox3 = nullptr;  // "Setup Communication Port"
    QGroupBox* GroupBox4 = nullptr;  // "Code Setup and Display"
    TPortComboBox* ComboPort = nullptr;
    QPushButton* OpenPort = nullptr;
    QPushButton* ClosePort = nullptr;
    QLineEdit* StatusConnect = nullptr;
    QLineEdit* BiosNameDisplay = nullptr;
    QLineEdit* BIOSVersionDisplay = nullptr;
    QLineEdit* StatusDisplay = nullptr;
    QLineEdit* IDDisplay = nullptr;
    QComboBox* ComboBaud = nullptr;
    QPushButton* SaveToDefault = nullptr;
    QPushButton* SaveConfig = nullptr;
    QPushButton* ReadConfig = nullptr;

    // Bit buttons DIR00 ... DEF57 and byte fields P0_DIR ... P5_DEF.
    QPushButton* BitButton(TPortGrid Grid, int Row, int Bit) const;
    QLineEdit* ByteField(TPortGrid Grid, int Row) const;

    // --- Non-visual members.
    cport::TComPort ComPort1;
    QTimer Timer1;

    // Direction and power-on default bits, shown on the two grids.
    TBitTable DirBits{};
    TBitTable DefBits{};

    // 1 once Timer1 has fired during the current reply wait.
    uint8_t TimedOut = 0;

    // 0 from the moment a request is built, 1 once any reply was decoded.
    uint8_t ReplyReceived() const { return Session_.ReplyReceived(); }

    // --- Start-up and the connection panel.
    void FormCreate();
    void ComboPortDropDown();
    void ComboPortChange();
    void OpenPortClick();
    void ClosePortClick();

    // --- Configuration transactions (transactions.cpp).
    void ReadConfigClick();
    void SaveConfigClick();
    void SaveToDefaultClick();
    // Reads the module's whole configuration as a transaction of its own,
    // leaving the fields and grids as they are (the compare of the menu bar);
    // nothing when a request got no reply.
    std::optional<TModuleReading> ReadModule();

    // --- Receiving and the reply wait.
    void ComPort1RxChar(int Count);
    void AnalysisPacket(const std::string& Line);
    void WaitCommandExecute();
    void Timer1Timer();

    // --- Request builders: each clears ReplyReceived, prepares the fields
    // its reply fills and writes the frame; the caller waits afterwards.
    void ReadBIOSVersion() { SendRead(CodeIdentity); }
    void ReadStatus() { SendRead(CodeStatus); }
    void ReadIDCode() { SendRead(CodeIDCode); }
    void ReadBaudrate() { SendRead(CodeBaudrate); }
    void Read_P0_Direction() { SendRead(PortCommandCode(TPortGrid::Direction, 0)); }
    void Read_P1_Direction() { SendRead(PortCommandCode(TPortGrid::Direction, 1)); }
    void Read_P2_Direction() { SendRead(PortCommandCode(TPortGrid::Direction, 2)); }
    void Read_P4_Direction() { SendRead(PortCommandCode(TPortGrid::Direction, 3)); }
    void Read_P5_Direction() { SendRead(PortCommandCode(TPortGrid::Direction, 4)); }
    void Read_P0_Default() { SendRead(PortCommandCode(TPortGrid::Default, 0)); }
    void Read_P1_Default() { SendRead(PortCommandCode(TPortGrid::Default, 1)); }
    void Read_P2_Default() { SendRead(PortCommandCode(TPortGrid::Default, 2)); }
    void Read_P4_Default() { SendRead(PortCommandCode(TPortGrid::Default, 3)); }
    void Read_P5_Default() { SendRead(PortCommandCode(TPortGrid::Default, 4)); }
    void SaveIDCode(const std::string& IDText);  // sent as it is, any length
    void SaveBaudrate(int Index);                // "0" + decimal index
    void Save_P0_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 0, Value); }
    void Save_P1_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 1, Value); }
    void Save_P2_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 2, Value); }
    void Save_P4_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 3, Value); }
    void Save_P5_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 4, Value); }
    void Save_P0_Default(uint8_t Value) { SavePort(TPortGrid::Default, 0, Value); }
    void Save_P1_Default(uint8_t Value) { SavePort(TPortGrid::Default, 1, Value); }
    void Save_P2_Default(uint8_t Value) { SavePort(TPortGrid::Default, 2, Value); }
    void Save_P4_Default(uint8_t Value) { SavePort(TPortGrid::Default, 3, Value); }
    void Save_P5_Default(uint8_t Value) { SavePort(TPortGrid::Default, 4, Value); }
    void Save_Setup_to_Default();

    // --- Bit grids and byte fields. The parameterised operations do the
    // work; the named members are the entry points the protocol and the
    // transactions use.

    // Builds the row's byte from its table row and writes it into the field.
    void ShowByte(TPortGrid Grid, int Row);
    // Writes the byte's bits into the table row and the button captions.
    void DisplayByte(TPortGrid Grid, int Row, uint8_t Value);
    // A port reply: the data into the field, then its bits onto the row.
    void DisplayPortReplyText(TPortGrid Grid, int Row, const std::string& Data);
    // Toggles one bit (the click of DIR00 ... DEF57).
    void BitClick(TPortGrid Grid, int Row, int Bit);
    // Change, click, focus-in and focus-out of a byte field (P0_DIRChange ...).
    void ByteFieldChange(TPortGrid Grid, int Row);
    void ByteFieldClick(TPortGrid Grid, int Row);
    void ByteFieldEnter(TPortGrid Grid, int Row);
    void ByteFieldExit(TPortGrid Grid, int Row);

    void IDDisplayChange();
    void IDDisplayClick();
    void IDDisplayEnter();
    void IDDisplayExit();

    void Show_DIR_P0_Byte() { ShowByte(TPortGrid::Direction, 0); }
    void Show_DIR_P1_Byte() { ShowByte(TPortGrid::Direction, 1); }
    void Show_DIR_P2_Byte() { ShowByte(TPortGrid::Direction, 2); }
    void Show_DIR_P4_Byte() { ShowByte(TPortGrid::Direction, 3); }
    void Show_DIR_P5_Byte() { ShowByte(TPortGrid::Direction, 4); }
    void Show_DEF_P0_Byte() { ShowByte(TPortGrid::Default, 0); }
    void Show_DEF_P1_Byte() { ShowByte(TPortGrid::Default, 1); }
    void Show_DEF_P2_Byte() { ShowByte(TPortGrid::Default, 2); }
    void Show_DEF_P4_Byte() { ShowByte(TPortGrid::Default, 3); }
    void Show_DEF_P5_Byte() { ShowByte(TPortGrid::Default, 4); }

    void Display_DIR_P0_Byte(uint8_t Value) { DisplayByte(TPortGrid::Direction, 0, Value); }
    void Display_DIR_P1_Byte(uint8_t Value) { DisplayByte(TPortGrid::Direction, 1, Value); }
    void Display_DIR_P2_Byte(uint8_t Value) { DisplayByte(TPortGrid::Direction, 2, Value); }
    void Display_DIR_P4_Byte(uint8_t Value) { DisplayByte(TPortGrid::Direction, 3, Value); }
    void Display_DIR_P5_Byte(uint8_t Value) { DisplayByte(TPortGrid::Direction, 4, Value); }
    void Display_DEF_P0_Byte(uint8_t Value) { DisplayByte(TPortGrid::Default, 0, Value); }
    void Display_DEF_P1_Byte(uint8_t Value) { DisplayByte(TPortGrid::Default, 1, Value); }
    void Display_DEF_P2_Byte(uint8_t Value) { DisplayByte(TPortGrid::Default, 2, Value); }
    void Display_DEF_P4_Byte(uint8_t Value) { DisplayByte(TPortGrid::Default, 3, Value); }
    void Display_DEF_P5_Byte(uint8_t Value) { DisplayByte(TPortGrid::Default, 4, Value); }

    void Display_P0_Direction(const std::string& Data) { DisplayPortReplyText(TPortGrid::Direction, 0, Data); }
    void Display_P1_Direction(const std::string& Data) { DisplayPortReplyText(TPortGrid::Direction, 1, Data); }
    void Display_P2_Direction(const std::string& Data) { DisplayPortReplyText(TPortGrid::Direction, 2, Data); }
    void Display_P4_Direction(const std::string& Data) { DisplayPortReplyText(TPortGrid::Direction, 3, Data); }
    void Display_P5_Direction(const std::string& Data) { DisplayPortReplyText(TPortGrid::Direction, 4, Data); }
    void Display_P0_Default(const std::string& Data) { DisplayPortReplyText(TPortGrid::Default, 0, Data); }
    void Display_P1_Default(const std::string& Data) { DisplayPortReplyText(TPortGrid::Default, 1, Data); }
    void Display_P2_Default(const std::string& Data) { DisplayPortReplyText(TPortGrid::Default, 2, Data); }
    void Display_P4_Default(const std::string& Data) { DisplayPortReplyText(TPortGrid::Default, 3, Data); }
    void Display_P5_Default(const std::string& Data) { DisplayPortReplyText(TPortGrid::Default, 4, Data); }

    // Adds a network port ("socket://HOST:PORT" or "rfc2217://HOST:PORT")
    // to the port list for this session and, unless a port is open, shows
    // it so that "Open" opens it. False, and nothing changes, for a name
    // that is not a well-formed network port.
    bool AddNetworkPort(const std::string& Name);

    // --- The line (line_speed_search.cpp).

    // The line speed and RS-485 mode ComPort1 has now and takes at every
    // Open; the default line until set.
    const TLineChoice& LineChoice() const { return LineChoice_; }
    // Takes Choice for the session and applies it to ComPort1 at once. A
    // device without the RS-485 mode refuses it: the line is then left at
    // Choice's speed with the mode off, which the session keeps, and the
    // cport::EComPort passes on.
    void SetLineChoice(const TLineChoice& Choice);
    // Asks for the identity at each of the module's rates in the order of
    // SpeedSearchOrder(), each answer awaited Wait in the window's session and
    // event loop, with the fields quiet and the transaction controls off
    // meanwhile. Stops at the first rate that answers, when StopWanted is set,
    // or when the port closes or is lost; Trying is told each rate before it
    // is tried. The line goes back to the session's speed afterwards. The
    // rate that answered, or none. Nothing is tried unless the port is open
    // and idle.
    std::optional<int> SearchLineSpeeds(std::chrono::milliseconds Wait, const bool& StopWanted,
                                        const std::function<void(int Baud)>& Trying = {});
    // Takes Baud as the session's line speed; an open port is closed and
    // opened again at it, so that the module is identified at that speed.
    void UseLineSpeed(int Baud);

    // --- Lending the open port to another user (the commissioning dialog).

    // While the fields are quiet, requests do not mark them and decoded
    // replies do not fill them; everything still reaches the wire log.
    void SetFieldsQuiet(bool Quiet) { FieldsQuiet_ = Quiet; }
    // Runs Plan on the window's session with the fields left alone; each
    // reply is awaited in the event loop until the session's deadline, and
    // the chain stops after an answered request once StopWanted is set. An
    // error of the port while a request is written ends the chain (its
    // result says so); nothing is thrown.
    TChainResult RunLentChain(TChainPlan Plan, const bool& StopWanted);

    // --- Test and tool hooks.

    // Replaces the candidate device paths that ComboPortDropDown probes
    // (normally port_candidates.h's list), so that tests never touch real
    // serial devices.
    void SetPortCandidatesForTesting(std::vector<std::string> DevicePaths);
    // Replaces the device manager (normally libudev) the port list asks for
    // descriptions and watches for adapters coming and going.
    void SetUdevSourceForTesting(std::unique_ptr<TUdevSource> Source);
    // Where the frames, replies, time-outs, errors and the loss of the
    // device are reported as they happen (the wire log); null: nowhere.
    void SetWireObserver(TWireObserver* Observer) { WireLog_.SetObserver(Observer); }
    // Shortens the reply time-out for tests (the wait normally uses 5000 ms).
    void SetReplyTimeoutForTesting(int Milliseconds);
    // True while a reply is awaited (WaitCommandExecute, a lent chain).
    bool WaitingForReply() const { return ActiveWait_ != nullptr; }
    // The session the window's requests go through.
    const TChainSession& Session() const { return Session_; }
    // Prints the port list and the display fields to stderr whenever they
    // change (VARNOLINK_TRACE_STATE=1; used by the smoke test of the program).
    void EnableStateTrace();
    // The change ticket or reason the journal of changes records with the
    // writes that follow (File > "Change reason…"); empty: none.
    void SetChangeReason(const std::string& Reason) { ChangeReason_ = Reason; }
    const std::string& ChangeReason() const { return ChangeReason_; }

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    // session_view.cpp: the window on its session.
    void SendRead(int Code);
    void SavePort(TPortGrid Grid, int Row, uint8_t Value);
    // Starts a chain of one request whose write takes its value from Values,
    // marks the fields and writes the request.
    void SendRequest(const TChainStep& Step, const TChainValues& Values);
    // The session's request, one byte per WriteBytes call. A refused write
    // ends the chain (the session is told) and its EComPort passes on.
    void WriteOutput();
    // The session's events: each to the wire log, and unless the fields are
    // quiet, a request's read marking and a reply's value into the fields.
    void ShowSessionEvents();
    void MarkForReply(const TChainStep& Step);
    void ShowReply(const TDecodedReply& Reply);

    // accessibility.cpp: names and descriptions for screen readers; every
    // bit caption goes through SetBitButtonText so its name follows.
    void DescribeControls();
    void SetBitButtonText(TPortGrid Grid, int Row, int Bit, const QString& Caption);

    // form_layout.cpp: builds every control, then the tab order.
    void BuildLayout();
    void BuildGrid(QGroupBox* Box, TPortGrid Grid);
    void SetTabOrder();
    void ConnectHandlers();

    TBitTable& BitTable(TPortGrid Grid) { return Grid == TPortGrid::Direction ? DirBits : DefBits; }

    // Enables or disables a control. A control that is disabled while it has
    // the keyboard focus hands the focus to the window first, so that the
    // focus does not wander into (and out of) the fields on its way.
    void SetControlEnabled(QWidget* Control, bool Enabled);
    void SetBitButtonsEnabled(bool Enabled);
    void SetByteFieldsEnabled(bool Enabled);
    void BlankGrid(TPortGrid Grid);

    // transactions.cpp: the pieces the three transactions share.
    // Disables the transaction controls for its lifetime.
    class TTransactionScope {
    public:
        explicit TTransactionScope(TMainForm& Form);
        ~TTransactionScope();
        TTransactionScope(const TTransactionScope&) = delete;
        TTransactionScope& operator=(const TTransactionScope&) = delete;

    private:
        TMainForm& Form_;
    };
    std::array<QWidget*, 16> TransactionControls() const;
    void BlankDisplay();
    bool TransactionMayGoOn() const;
    // Request and wait, step by step; false at the first request that got no
    // reply (the later steps are not run).
    bool RunRequestChain(TChainPlan Plan);
    // Writes the session's next request; a refusal that is not the device's
    // loss is reported and passes on.
    void WriteChainOutput();

    // backup_before_write.cpp: the module's configuration kept in a file of
    // the backup folder before SAVE CONFIG and SAVE CONFIG TO DEFAULT write.
    struct TCompleteReading {
        TModuleReading Reading;
        // Written out (ISO 8601 UTC) only when a backup is kept: the chain's
        // last reply does not wait for the text.
        std::chrono::system_clock::time_point ReadAt;
        std::string Port;
    };
    // Follows what the window knows of the module's configuration: a chain
    // of its own that every setting answered is kept as the module's
    // reading; a write makes the kept one stale.
    void FollowModuleReading(const TSessionEvent& Event);
    // Writes the kept reading into the backup folder (or notes in the wire
    // log that there is none). False, with the error shown, when the file
    // could not be written: Transaction must then send nothing.
    bool KeepBackupBeforeWrite(const QString& Transaction);
    // The journal's intent for a write of After, on disk before the first
    // write frame; its id. Nothing, with the error shown, when the journal
    // could not take it: Transaction must then send nothing.
    std::optional<std::string> BeginChange(const QString& Transaction, const std::string& Command,
                                           const TModuleConfig& After);
    // The journal's end of the change Id; a failure is noted in the wire log.
    void EndChange(const std::string& Id, const TChainResult& Result);

    // reply_wait.cpp: runs the event loop until a reply has been decoded,
    // Timer1 has fired after Milliseconds, the device is lost or the window
    // closes.
    void AwaitReply(int Milliseconds);
    // Ends the running reply wait early when it has something to look at.
    void WakeReplyWait();

    // device_loss.cpp: the device going away under an open port. The
    // running wait ends at once; the window goes to the closed state, with
    // the values kept on screen, as soon as no handler is in the middle of
    // its work, and the operator is told once.
    void ComPort1Error(cport::TComErrors Errors);
    void NoteDeviceLoss(const QString& Message);
    void FinishDeviceLoss();
    void EnterClosedAfterLoss();
    // A refused write that means the device is gone is taken as its loss.
    bool TakeWriteFailureAsLoss(const cport::EComPort& Failure);
    QString OpenAdapterText() const;
    void RememberOpenAdapter();
    void RestoreKeptValues();
    // Marks a handler at work: a loss seen meanwhile is finished at its end.
    class TBusyScope {
    public:
        explicit TBusyScope(TMainForm& Form);
        ~TBusyScope();
        TBusyScope(const TBusyScope&) = delete;
        TBusyScope& operator=(const TBusyScope&) = delete;

    private:
        TMainForm& Form_;
    };

    // port_watch.cpp: adapters plugged in or pulled while the window runs.
    void WatchDevices();
    void UdevEventsArrived();
    void RefreshPortsAfterChange();

    std::vector<std::string> PortCandidates() const;

    std::array<std::array<std::array<QPushButton*, PortBitCount>, PortRowCount>, 2> BitButtons_{};
    std::array<std::array<QLineEdit*, PortRowCount>, 2> ByteFields_{};
    std::vector<TFieldEvents*> FieldEvents_;

    // Every request of the window, the commissioning's included; the window
    // calls Continue after each answered request.
    TChainSession Session_{TChainSession::TPace::StepByStep};
    TWireLog WireLog_;
    // How the last chain ended.
    TChainResult LastChainResult_;
    // The last reading of every setting of the module on the open port,
    // until a write, another chain on the line or the port's closing.
    std::optional<TCompleteReading> LastReading_;
    std::string LastBackup_;    // the backup kept before the write under way; empty: none
    std::string ChangeReason_;  // see SetChangeReason
    bool FieldsQuiet_ = false;
    // True while a port row's field takes the "??" of a read's marking.
    bool MarkingRow_ = false;
    // The line of this session (LineChoice()).
    TLineChoice LineChoice_;

    int ReplyTimeoutMs_ = ReplyTimeoutMs;
    QEventLoop* ActiveWait_ = nullptr;
    bool CloseRequested_ = false;
    bool DeviceLossReported_ = false;
    bool LossPending_ = false;
    QString LossMessage_;
    int BusyDepth_ = 0;
    std::string OpenDevicePath_;  // canonical path of the open device
    QString OpenAdapterName_;     // what the list said about it
    std::string OpenAdapterId_;
    std::string LostAdapterId_;  // selected again when it comes back
    struct TKeptValues {
        bool Valid = false;
        QString RemoteId;
        int BaudIndex = -1;
    } Kept_;
    std::unique_ptr<TUdevSource> Udev_;
    QSocketNotifier* UdevNotifier_ = nullptr;
    bool UseInjectedCandidates_ = false;
    // Network ports added in this session, after the other candidates.
    std::vector<std::string> AddedNetworkPorts_;
    std::vector<std::string> InjectedCandidates_;
};

}  // namespace varnolink
