// SPDX-License-Identifier: MIT
// The menu bar above the main window's layout.
//
// Where things go: File holds the configuration-file items and Quit; items
// that open further windows of the program (commissioning a series of
// modules, adding a network port, the plant) go in the marked place of File,
// windows for looking at the line (the wire log) in a View menu between File
// and Help. Each item is a QAction member of TMainWindow, named for tests.

#include <QAction>
#include <QEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

#include "main/window/error_display.h"
#include "main/window/main_form.h"
#include "main/window/main_window.h"
#include "main/window/wire_log_window.h"

namespace varnolink {

void TMainWindow::BuildMenuBar()
{
    FileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    FileMenu->setObjectName(QStringLiteral("FileMenu"));

    OpenConfigurationAction = FileMenu->addAction(QStringLiteral("Open configuration\u2026"));
    OpenConfigurationAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    connect(OpenConfigurationAction, &QAction::triggered, this, [this] { OpenConfigurationDialog(); });

    SaveConfigurationAction = FileMenu->addAction(QStringLiteral("Save configuration as\u2026"));
    SaveConfigurationAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    connect(SaveConfigurationAction, &QAction::triggered, this, [this] { SaveConfigurationDialog(); });

    CompareAction = FileMenu->addAction(QStringLiteral("Compare with module"));
    connect(CompareAction, &QAction::triggered, this, [this] { CompareWithModule(); });

    RestoreBackupAction = FileMenu->addAction(QStringLiteral("Restore a backup\u2026"));
    connect(RestoreBackupAction, &QAction::triggered, this, Guarded([this] { RestoreBackupDialog(); }));
    // Always available: the reason is kept for the writes that follow.
    ChangeReasonAction = FileMenu->addAction(QStringLiteral("Change reason\u2026"));
    connect(ChangeReasonAction, &QAction::triggered, this, Guarded([this] { ChangeReasonDialog(); }));

    FileMenu->addSeparator();
    // Items that open further windows ("Commission a series…",
    // "Add network port…", "Line settings…", "Plant…") go here, above Quit.
    CommissionAction = FileMenu->addAction(QStringLiteral("Commission a series\u2026"));
    connect(CommissionAction, &QAction::triggered, this, [this] { OpenCommissionDialog(); });
    AddNetworkPortAction = FileMenu->addAction(QStringLiteral("Add network port\u2026"));
    connect(AddNetworkPortAction, &QAction::triggered, this, [this] { OpenNetworkPortDialog(); });
    LineSettingsAction = FileMenu->addAction(QStringLiteral("Line settings\u2026"));
    connect(LineSettingsAction, &QAction::triggered, this, Guarded([this] { OpenLineSettingsDialog(); }));
    SearchLineSpeedsAction = FileMenu->addAction(QStringLiteral("Search line speeds"));
    connect(SearchLineSpeedsAction, &QAction::triggered, this, Guarded([this] { SearchLineSpeeds(); }));
    // Always available: the plant's modules are on lines of their own.
    PlantAction = FileMenu->addAction(QStringLiteral("Plant\u2026"));
    connect(PlantAction, &QAction::triggered, this, Guarded([this] { ShowPlantWindow(); }));
    FileMenu->addSeparator();

    QuitAction = FileMenu->addAction(QStringLiteral("Quit"));
    QuitAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(QuitAction, &QAction::triggered, this, &QWidget::close);

    ViewMenu = menuBar()->addMenu(QStringLiteral("&View"));
    ViewMenu->setObjectName(QStringLiteral("ViewMenu"));
    WireLogAction = ViewMenu->addAction(QStringLiteral("Wire log"));
    WireLogAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+L")));
    connect(WireLogAction, &QAction::triggered, this, [this] { ShowWireLog(); });

    HelpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    HelpMenu->setObjectName(QStringLiteral("HelpMenu"));
    AboutAction = HelpMenu->addAction(QStringLiteral("About"));
    connect(AboutAction, &QAction::triggered, this, [this] { ShowAbout(); });

    // READ CONFIG is enabled exactly when the module is connected and no
    // transaction runs, "Close" when the port is open and idle: the items
    // follow their changes.
    Form_->ReadConfig->installEventFilter(this);
    Form_->ClosePort->installEventFilter(this);
    UpdateActions();
}

void TMainWindow::ShowWireLog()
{
    WireLog->show();
    WireLog->raise();
    WireLog->activateWindow();
}

void TMainWindow::UpdateActions()
{
    const bool ConnectedAndIdle = Form_->ReadConfig->isEnabled();
    for (QAction* Action :
         {OpenConfigurationAction, SaveConfigurationAction, CompareAction, RestoreBackupAction, CommissionAction})
        Action->setEnabled(ConnectedAndIdle);
    // The speed search is for a port whose module did not answer, too.
    SearchLineSpeedsAction->setEnabled(Form_->ClosePort->isEnabled());
}

bool TMainWindow::eventFilter(QObject* Watched, QEvent* Event)
{
    if ((Watched == Form_->ReadConfig || Watched == Form_->ClosePort) && Event->type() == QEvent::EnabledChange)
        UpdateActions();
    return QMainWindow::eventFilter(Watched, Event);
}

}  // namespace varnolink
