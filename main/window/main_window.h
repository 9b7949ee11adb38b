// SPDX-License-Identifier: MIT
// The top-level window around the main window: the menu bar.
#pragma once

#include <QMainWindow>

#include <string>

#include "main/window/line_settings.h"

class QAction;
class QMenu;

namespace varnolink {

class TMainForm;
class TPlantWindow;
class TWireLogWindow;

// The program's top-level window: the menu bar above the main window's
// layout, which is its central area, unchanged; the window is only taller
// by the menu bar. Closing it closes the main window first, which may have
// to let a running transaction end.
class TMainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit TMainWindow(QWidget* Parent = nullptr);
    ~TMainWindow() override;
    TMainWindow(const TMainWindow&) = delete;
    TMainWindow& operator=(const TMainWindow&) = delete;

    TMainForm* Form() const { return Form_; }

    // The menu bar's configuration items without their file dialogs. Each
    // reports its failures in the application's error box and returns false.
    // Opening types the file's values into the fields (SAVE CONFIG then
    // writes them); saving writes what the window shows and refuses blank
    // or "?" fields as SAVE CONFIG does.
    bool OpenConfigurationFile(const std::string& Path);
    bool SaveConfigurationFile(const std::string& Path);
    // Reads the module and shows the differences with the window's fields in
    // the non-modal dialog "CompareDialog"; the fields stay as they are.
    bool CompareWithModule();
    // Types the backup's values into the fields as opening a configuration
    // does, then presses SAVE CONFIG, which first keeps the module's present
    // configuration as a backup of its own; true once it was pressed (what
    // became of it shows as after any press). False, with the reason in the
    // error box, when the window is not connected and idle or the file
    // cannot be read or lacks a setting: the fields stay as they are.
    bool RestoreBackupFile(const std::string& Path);
    // Opens Port as the operator would: closes the open port, picks Port in
    // the port list (a device by its path, a network port added as "Add
    // network port…" adds it) and presses "Open". False, with the reason in
    // the error box, when the window is busy with a transaction, the list
    // does not offer Port or it did not open.
    bool OpenPortByName(const std::string& Port);

    // The line speed and RS-485 mode chosen with "Line settings…": applied
    // to the main window's port at once and at every Open, and kept for the
    // next runs (line_settings.h). What the port took is kept; a device
    // without the RS-485 mode refuses it, the line stays usable with the
    // mode off, and the refusal is shown in the error box: false.
    bool ApplyLineSettings(const TLineChoice& Choice);

    // The menu items, by their place (tests and the items of other windows).
    QMenu* FileMenu = nullptr;
    QMenu* ViewMenu = nullptr;
    QMenu* HelpMenu = nullptr;
    QAction* WireLogAction = nullptr;
    // The wire log's window (View > "Wire log"); it collects lines from the
    // start, shown or not.
    TWireLogWindow* WireLog = nullptr;
    QAction* OpenConfigurationAction = nullptr;
    QAction* SaveConfigurationAction = nullptr;
    QAction* CompareAction = nullptr;
    QAction* RestoreBackupAction = nullptr;   // "Restore a backup…"
    QAction* ChangeReasonAction = nullptr;    // "Change reason…": the journal's reason for the next writes
    QAction* CommissionAction = nullptr;      // "Commission a series…"
    QAction* AddNetworkPortAction = nullptr;  // "Add network port…"
    QAction* PlantAction = nullptr;           // "Plant…"

    // "Line settings…", and "Search line speeds", enabled while the port is
    // open and idle.
    QAction* LineSettingsAction = nullptr;
    QAction* SearchLineSpeedsAction = nullptr;

    // The plant window (File > "Plant…"), made when it is first asked for.
    TPlantWindow* Plant = nullptr;
    QAction* QuitAction = nullptr;
    QAction* AboutAction = nullptr;

protected:
    void closeEvent(QCloseEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    // menu_bar.cpp: the menus and their items.
    void BuildMenuBar();
    // Items that can work only when the module is connected and idle follow
    // the enabled state of READ CONFIG.
    void UpdateActions();

    // Loads the file at Path (every setting required when Complete) and
    // types its values into the fields; a failure is shown after Refusal.
    bool TypeConfigurationFile(const std::string& Path, bool Complete, const QString& Refusal);
    void OpenConfigurationDialog();
    void SaveConfigurationDialog();
    void ShowAbout();
    void ShowWireLog();
    // commission_menu_item.cpp: the dialog over this window.
    void OpenCommissionDialog();
    // network_port_menu_item.cpp: asks for a network port name.
    void OpenNetworkPortDialog();
    // plant_menu_item.cpp: shows the plant window.
    void ShowPlantWindow();
    // restore_menu_item.cpp: picks a file of the backup folder.
    void RestoreBackupDialog();
    // Asks for the change ticket or reason the journal records with the
    // writes that follow.
    void ChangeReasonDialog();
    // line_menu_items.cpp: the line kept from the last run, the dialog, and
    // the speed search with its progress and its answer.
    void LoadLineSettings();
    void OpenLineSettingsDialog();
    void SearchLineSpeeds();

    TMainForm* Form_ = nullptr;
};

}  // namespace varnolink
