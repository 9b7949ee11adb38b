// SPDX-License-Identifier: MIT
// The commissioning dialog of the window's File menu.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "main/protocol/module_config.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableWidget;

namespace varnolink {

class TCommissionLog;
class TFormCommissionLine;
class TMainForm;
class TSeriesCommissioning;

// File > "Commission a series…": puts modules into service one after another
// on the main window's open port, with the same engine as the command line
// (series_commissioning.h). The template is a configuration file or what the
// window shows; the IDs a list such as 01-1F; the log a CSV file. While a run
// goes on, the main window's own controls are disabled; they come back as
// they were when it ends.
class TCommissionDialog : public QDialog {
    Q_OBJECT

public:
    // What the window shows as a configuration, or nothing when a field
    // holds no value.
    using TShownConfig = std::function<std::optional<TModuleConfig>()>;

    TCommissionDialog(TMainForm& Form, TShownConfig ShownConfig, QWidget* Parent = nullptr);
    ~TCommissionDialog() override;
    TCommissionDialog(const TCommissionDialog&) = delete;
    TCommissionDialog& operator=(const TCommissionDialog&) = delete;

    // Controls (object names the same).
    QRadioButton* TemplateFromFile = nullptr;
    QLineEdit* TemplatePath = nullptr;
    QPushButton* BrowseTemplate = nullptr;
    QRadioButton* TemplateFromWindow = nullptr;
    QLineEdit* IdList = nullptr;
    QLineEdit* LogPath = nullptr;
    QPushButton* BrowseLog = nullptr;
    QPushButton* StartButton = nullptr;
    QPushButton* StopButton = nullptr;
    QPushButton* NextButton = nullptr;  // "the next module is connected", as Enter on the command line
    QTableWidget* Rows = nullptr;       // time, ID before, ID after, result, detail
    QLabel* Progress = nullptr;         // "2 of 5 done"
    QLabel* Status = nullptr;

    bool Running() const { return Series_ != nullptr; }

    // Starts a run from the dialog's fields; false, with the reason in
    // Status, when they do not make one.
    bool Start();
    // Ends the run: between modules at once, during a module after the
    // request on the line (the module is recorded as interrupted).
    void Stop();

signals:
    void RunEnded();

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    class TTableObserver;

    std::optional<TModuleConfig> Template();
    void Tick();
    // Why: the reason the run ended early; empty when it ended as planned.
    void EndRun(const QString& Why);
    void ShowIdle();
    void ShowProgress();
    void DisableForm();
    void RestoreForm();

    TMainForm& Form_;
    TShownConfig ShownConfig_;
    QTimer PollTimer_;
    std::unique_ptr<TTableObserver> Observer_;
    std::unique_ptr<TFormCommissionLine> Line_;
    std::unique_ptr<TCommissionLog> Log_;
    std::unique_ptr<TSeriesCommissioning> Series_;
    bool Polling_ = false;
    bool StopWanted_ = false;
    bool CloseWanted_ = false;
    std::vector<QPointer<QWidget>> DisabledControls_;
};

}  // namespace varnolink
