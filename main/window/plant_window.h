// SPDX-License-Identifier: MIT
// The plant window of the File menu.
#pragma once

#include <QWidget>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/engine/plant_run.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace varnolink {

// File > "Plant…": the modules of an inventory (a CSV file naming each
// module's port and configuration file), worked on all at once with the
// engine of the command line (plant_run.h). "Audit" reads every module and
// compares it with its file, "Back up…" keeps every module's configuration
// in a folder, "Apply…" first reads every module without writing, lists
// what it would write and writes only when the operator agrees, keeping
// each module's configuration in DefaultBackupFolder() before its first
// write. A run goes on a thread of its own with its own epoll loop, so the
// main window stays usable meanwhile; each row shows its module's result as
// it comes. Double-clicking a row opens that module's port in the main
// window.
class TPlantWindow : public QWidget {
    Q_OBJECT

public:
    // Opens Port in the main window, closing the port open there first.
    using TOpenPort = std::function<void(const std::string& Port)>;

    enum TColumn { NameColumn, LocationColumn, PortColumn, ResultColumn, DifferencesColumn, ColumnCount };

    explicit TPlantWindow(TOpenPort OpenPort, QWidget* Parent = nullptr);
    // Stops a run that goes on and waits for its thread.
    ~TPlantWindow() override;
    TPlantWindow(const TPlantWindow&) = delete;
    TPlantWindow& operator=(const TPlantWindow&) = delete;

    // Reads the inventory at Path and lists its modules; false, with the
    // fault (file and line) in the error box, when it cannot be used.
    bool OpenInventory(const std::string& Path);
    // Each starts a run over the inventory's modules, read again with their
    // configuration files first; false, with the reason shown, when nothing
    // was started (no inventory, a run going on, a fault of the files).
    bool Audit();
    bool Backup(const std::string& Folder);
    // The run without writes; when it has ended, the dialog
    // "ApplyConfirmation" lists every module and field it would write, and
    // its "Yes" starts the writes.
    bool Apply();
    // Asks the run to end after the request on each line.
    void Stop();
    bool Running() const { return Worker_ != nullptr; }

    QPushButton* OpenInventoryButton = nullptr;
    QPushButton* AuditButton = nullptr;
    QPushButton* BackupButton = nullptr;
    QPushButton* ApplyButton = nullptr;
    QPushButton* StopButton = nullptr;
    QTableWidget* Rows = nullptr;  // name, location, port, result, differences
    QProgressBar* Progress = nullptr;
    QLabel* Status = nullptr;

signals:
    void RunEnded();

private:
    class TWorker;
    enum class TRunKind { Audit, Backup, DryRun, Apply };

    void OpenInventoryDialog();
    void BackupDialog();
    // The inventory's modules, with what each should hold when Wanted; the
    // fault is shown and nothing is returned when the files do not make one.
    std::optional<std::vector<TPlantModule>> LoadModules(bool Wanted);
    void ListModules(std::vector<TPlantModule> Modules);
    // Runs the modules of the table rows TableRows.
    void StartRun(TRunKind Kind, std::vector<int> TableRows, TPlantOptions Options);
    bool RunOnEveryModule(TRunKind Kind, bool NeedsConfig, TPlantOptions Options);
    void ShowRow(std::size_t RunRow, const TPlantRow& Row);
    void RunFinished(const TPlantSummary& Summary, const QString& Failure);
    void AskToApply();
    void StartApply(const std::vector<int>& TableRows);
    void OpenRowPort(int TableRow);
    void ShowIdle();

    TOpenPort OpenPort_;
    std::string InventoryPath_;
    std::vector<TPlantModule> Modules_;  // one per table row
    TRunKind Kind_ = TRunKind::Audit;
    std::vector<int> TableRowOf_;     // the running rows' places in the table
    std::vector<TPlantRow> RunRows_;  // what the running rows show
    std::unique_ptr<TWorker> Worker_;
};

}  // namespace varnolink
