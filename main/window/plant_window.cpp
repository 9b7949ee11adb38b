// SPDX-License-Identifier: MIT
// The plant window: the inventory's modules in a table, the runs over them
// on a thread of their own, and the confirmation before anything is written.
#include "main/window/plant_window.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "main/engine/epoll_loop.h"
#include "main/reports/plant_report.h"
#include "main/files/backup_store.h"
#include "main/files/inventory.h"
#include "main/ports/port_holder.h"
#include "main/window/error_display.h"

namespace varnolink {

namespace {

QString Text(const std::string& Bytes)
{
    return QString::fromLocal8Bit(Bytes.data(), static_cast<qsizetype>(Bytes.size()));
}

QColor OutcomeColour(TPlantOutcome Outcome)
{
    switch (Outcome) {
    case TPlantOutcome::Waiting:
    case TPlantOutcome::Running:
        return {};
    case TPlantOutcome::Ok:
    case TPlantOutcome::Unchanged:
    case TPlantOutcome::Written:
    case TPlantOutcome::Found:
        return {0xC8, 0xF0, 0xC8};
    case TPlantOutcome::Differs:
    case TPlantOutcome::DiffersAfterWrite:
        return {0xFF, 0xE0, 0xA0};
    case TPlantOutcome::Stopped:
        return {0xD8, 0xD8, 0xD8};
    case TPlantOutcome::NoReply:
    case TPlantOutcome::PortError:
    case TPlantOutcome::NoAnswer:
    case TPlantOutcome::Busy:
    case TPlantOutcome::FileError:
        break;
    }
    return {0xF8, 0xC0, 0xC0};
}

// "direction.P0: file 5A, module 5B; baud: file 3, module 5"; for a module
// written, and read back as its file, what the write changed:
// "written: direction.P0 5B \u2192 5A".
QString DifferencesText(const TPlantRow& Row)
{
    const bool Written = Row.Outcome == TPlantOutcome::Written;
    QStringList Parts;
    for (const TFieldDifference& Difference : Row.Differences)
        Parts << (Written ? QStringLiteral("%1 %3 \u2192 %2") : QStringLiteral("%1: file %2, module %3"))
                     .arg(Text(ModuleConfigFieldName(Difference.Field)), Text(Difference.WantedText()),
                          Text(Difference.HeldText()));
    const QString List = Parts.join(QStringLiteral("; "));
    return Written && !List.isEmpty() ? QStringLiteral("written: ") + List : List;
}

// "1 module", "3 modules".
QString ModuleCount(std::size_t Count)
{
    return Count == 1 ? QStringLiteral("1 module") : QStringLiteral("%1 modules").arg(Count);
}

// Why a row ended as it did, in the words of the command line's plant row,
// and where its configuration went.
QString DetailText(const TPlantRow& Row)
{
    QStringList Lines;
    if (const std::string Detail = PlantRowDetail(Row); !Detail.empty())
        Lines << Text(Detail);
    if (!Row.BackupFile.empty())
        Lines << QStringLiteral("configuration kept in %1").arg(Text(Row.BackupFile));
    return Lines.join(QLatin1Char('\n'));
}

QString SummaryText(const TPlantSummary& Summary)
{
    return QStringLiteral("%1 of %2 done: %3 good, %4 differing, %5 unreachable, %6 file errors, %7 stopped.")
        .arg(Summary.Done)
        .arg(Summary.Total)
        .arg(Summary.Good)
        .arg(Summary.Differing)
        .arg(Summary.Unreachable)
        .arg(Summary.Failed)
        .arg(Summary.Stopped);
}

}  // namespace

// One run: its loop and its rows, served on a thread of its own. Every
// change of a row reaches the window as a copy, queued to the window's
// thread, and so does the run's end. The worker stops posting before it
// stops and joins its thread, and the window ends its worker before it goes
// itself, so nothing is ever posted to a window that is gone.
class TPlantWindow::TWorker {
public:
    TWorker(TPlantWindow& Window, std::vector<TPlantModule> Modules, TPlantOptions Options)
        : Window_(&Window), Run_(std::move(Modules), std::move(Options))
    {
        Run_.OnRowChanged = [this](std::size_t Row) {
            Post([Row, Copy = Run_.Rows()[Row]](TPlantWindow& Target) { Target.ShowRow(Row, Copy); });
        };
        Thread_ = std::thread([this] { Serve(); });
    }

    ~TWorker()
    {
        {
            const std::lock_guard Lock(Mutex_);
            Window_ = nullptr;
        }
        Loop_.RequestStop();
        Thread_.join();
    }

    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;

    void Stop() { Loop_.RequestStop(); }

private:
    void Serve() noexcept
    {
        QString Failure;
        try {
            Run_.Run(Loop_);
        } catch (const std::exception& Error) {
            Failure = QString::fromLocal8Bit(Error.what());
        } catch (...) {
            Failure = QStringLiteral("an unknown error");
        }
        try {
            Post([Summary = Run_.Summary(), Failure](TPlantWindow& Target) { Target.RunFinished(Summary, Failure); });
        } catch (...) {
            // Nothing can be told any more; the window ends the run when it goes.
        }
    }

    template <typename F>
    void Post(F Deliver)
    {
        const std::lock_guard Lock(Mutex_);
        if (Window_ == nullptr)
            return;
        TPlantWindow* const Target = Window_;
        QMetaObject::invokeMethod(
            Target, [Target, Deliver = std::move(Deliver)] { RunGuarded([&] { Deliver(*Target); }); },
            Qt::QueuedConnection);
    }

    std::mutex Mutex_;
    TPlantWindow* Window_;  // null once the window no longer takes the rows
    TEpollLoop Loop_;
    TPlantRun Run_;
    // Last: it starts once the rest is there and is joined before it goes.
    std::thread Thread_;
};

TPlantWindow::TPlantWindow(TOpenPort OpenPort, QWidget* Parent)
    : QWidget(Parent, Qt::Window), OpenPort_(std::move(OpenPort))
{
    setObjectName(QStringLiteral("PlantWindow"));
    setWindowTitle(QStringLiteral("Plant \u2014 VARNOLINK I/O Setup"));
    resize(860, 460);

    const auto Named = [](auto* Widget, const char* Name) {
        Widget->setObjectName(QString::fromLatin1(Name));
        return Widget;
    };
    OpenInventoryButton = Named(new QPushButton(QStringLiteral("Open inventory\u2026"), this), "OpenInventoryButton");
    AuditButton = Named(new QPushButton(QStringLiteral("Audit"), this), "AuditButton");
    BackupButton = Named(new QPushButton(QStringLiteral("Back up\u2026"), this), "BackupButton");
    ApplyButton = Named(new QPushButton(QStringLiteral("Apply\u2026"), this), "ApplyButton");
    StopButton = Named(new QPushButton(QStringLiteral("Stop"), this), "StopButton");
    Rows = Named(new QTableWidget(0, ColumnCount, this), "PlantRows");
    Progress = Named(new QProgressBar(this), "PlantProgress");
    Status = Named(new QLabel(this), "PlantStatus");

    AuditButton->setToolTip(QStringLiteral("Read every module and compare it with its configuration file"));
    BackupButton->setToolTip(QStringLiteral("Read every module and keep its configuration in a folder as NAME.ini"));
    ApplyButton->setToolTip(QStringLiteral("Write the modules that differ from their files, after a look at what "
                                           "would be written"));
    Rows->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Location"), QStringLiteral("Port"),
                                     QStringLiteral("Result"), QStringLiteral("Differences")});
    Rows->horizontalHeader()->setStretchLastSection(true);
    Rows->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Rows->setSelectionBehavior(QAbstractItemView::SelectRows);
    Rows->setToolTip(QStringLiteral("Double-click a module to open its port in the main window"));
    Progress->setFormat(QStringLiteral("%v of %m done"));
    Progress->setRange(0, 1);
    Progress->setValue(0);
    Status->setWordWrap(true);

    auto* Buttons = new QHBoxLayout;
    Buttons->addWidget(OpenInventoryButton);
    Buttons->addWidget(AuditButton);
    Buttons->addWidget(BackupButton);
    Buttons->addWidget(ApplyButton);
    Buttons->addWidget(StopButton);
    Buttons->addStretch(1);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Buttons);
    Layout->addWidget(Rows, 1);
    Layout->addWidget(Progress);
    Layout->addWidget(Status);

    // No error may reach Qt's event machinery: each handler shows its own.
    connect(OpenInventoryButton, &QPushButton::clicked, this, Guarded([this] { OpenInventoryDialog(); }));
    connect(AuditButton, &QPushButton::clicked, this, Guarded([this] { Audit(); }));
    connect(BackupButton, &QPushButton::clicked, this, Guarded([this] { BackupDialog(); }));
    connect(ApplyButton, &QPushButton::clicked, this, Guarded([this] { Apply(); }));
    connect(StopButton, &QPushButton::clicked, this, Guarded([this] { Stop(); }));
    connect(Rows, &QTableWidget::cellDoubleClicked, this,
            [this](int Row, int) { RunGuarded([this, Row] { OpenRowPort(Row); }); });
    ShowIdle();
}

TPlantWindow::~TPlantWindow()
{
    Worker_.reset();
}

void TPlantWindow::ShowIdle()
{
    const bool Idle = Worker_ == nullptr;
    const bool Listed = !Modules_.empty();
    OpenInventoryButton->setEnabled(Idle);
    for (QPushButton* Button : {AuditButton, BackupButton, ApplyButton})
        Button->setEnabled(Idle && Listed);
    StopButton->setEnabled(!Idle);
}

void TPlantWindow::OpenInventoryDialog()
{
    const QString Path = QFileDialog::getOpenFileName(this, QStringLiteral("Open inventory"), Text(InventoryPath_),
                                                      QStringLiteral("Inventories (*.csv);;All files (*)"));
    if (!Path.isEmpty())
        OpenInventory(Path.toLocal8Bit().toStdString());
}

void TPlantWindow::BackupDialog()
{
    const QString Folder =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Back up into the folder"), QString());
    if (!Folder.isEmpty())
        Backup(Folder.toLocal8Bit().toStdString());
}

bool TPlantWindow::OpenInventory(const std::string& Path)
{
    if (Running())
        return false;
    TInventory Inventory;
    try {
        Inventory = LoadInventory(Path, false);
    } catch (const EInventory& Error) {
        ShowErrorMessage(QStringLiteral("The inventory was not opened:\n\n%1").arg(Text(Error.what())));
        return false;
    }
    std::vector<TPlantModule> Modules;
    for (TInventoryEntry& Entry : Inventory.Entries)
        Modules.push_back({std::move(Entry.Name), std::move(Entry.Port), std::move(Entry.Location), std::nullopt});
    InventoryPath_ = Path;
    ListModules(std::move(Modules));
    Status->setText(QStringLiteral("%1 in %2.").arg(ModuleCount(Modules_.size()), Text(Path)));
    return true;
}

std::optional<std::vector<TPlantModule>> TPlantWindow::LoadModules(bool Wanted)
{
    // The files are read again: they may have changed since the inventory
    // was opened. Every fault is found before anything runs.
    try {
        const TInventory Inventory = LoadInventory(InventoryPath_, Wanted);
        std::vector<TModuleConfig> Configs;
        if (Wanted)
            Configs = LoadInventoryConfigs(Inventory);
        std::vector<TPlantModule> Modules;
        for (std::size_t Index = 0; Index < Inventory.Entries.size(); ++Index) {
            const TInventoryEntry& Entry = Inventory.Entries[Index];
            Modules.push_back({Entry.Name, Entry.Port, Entry.Location,
                               Wanted ? std::optional<TModuleConfig>(Configs[Index]) : std::nullopt});
        }
        return Modules;
    } catch (const EInventory& Error) {
        ShowErrorMessage(QStringLiteral("Nothing was run:\n\n%1").arg(Text(Error.what())));
        return std::nullopt;
    }
}

void TPlantWindow::ListModules(std::vector<TPlantModule> Modules)
{
    Modules_ = std::move(Modules);
    Rows->setRowCount(0);
    Rows->setRowCount(static_cast<int>(Modules_.size()));
    for (int Row = 0; Row < Rows->rowCount(); ++Row) {
        const TPlantModule& Module = Modules_[static_cast<std::size_t>(Row)];
        const QStringList Cells{Text(Module.Name), Text(Module.Location), Text(Module.Port), QString(), QString()};
        for (int Column = 0; Column < ColumnCount; ++Column)
            Rows->setItem(Row, Column, new QTableWidgetItem(Cells[Column]));
    }
    Progress->setRange(0, std::max(1, Rows->rowCount()));
    Progress->setValue(0);
    ShowIdle();
}

// Reads the inventory afresh (its configuration files too when the work
// compares or writes), lists every module and starts the work on all of them.
bool TPlantWindow::RunOnEveryModule(TRunKind Kind, bool NeedsConfig, TPlantOptions Options)
{
    if (Running() || InventoryPath_.empty())
        return false;
    std::optional<std::vector<TPlantModule>> Modules = LoadModules(NeedsConfig);
    if (!Modules)
        return false;
    ListModules(std::move(*Modules));
    std::vector<int> TableRows(Modules_.size());
    for (std::size_t Row = 0; Row < TableRows.size(); ++Row)
        TableRows[Row] = static_cast<int>(Row);
    StartRun(Kind, std::move(TableRows), std::move(Options));
    return true;
}

bool TPlantWindow::Audit()
{
    TPlantOptions Options;
    Options.Task = TPlantTask::Audit;
    return RunOnEveryModule(TRunKind::Audit, true, std::move(Options));
}

bool TPlantWindow::Backup(const std::string& Folder)
{
    TPlantOptions Options;
    Options.Task = TPlantTask::Backup;
    Options.BackupFolder = Folder;
    return RunOnEveryModule(TRunKind::Backup, false, std::move(Options));
}

bool TPlantWindow::Apply()
{
    // A dry run first: the confirmation lists what the real run will write.
    TPlantOptions Options;
    Options.Task = TPlantTask::Apply;
    Options.DryRun = true;
    return RunOnEveryModule(TRunKind::DryRun, true, std::move(Options));
}

void TPlantWindow::StartApply(const std::vector<int>& TableRows)
{
    if (Running())
        return;
    TPlantOptions Options;
    Options.Task = TPlantTask::Apply;
    Options.BackupFolder = DefaultBackupFolder();
    StartRun(TRunKind::Apply, TableRows, std::move(Options));
}

void TPlantWindow::StartRun(TRunKind Kind, std::vector<int> TableRows, TPlantOptions Options)
{
    std::vector<TPlantModule> Modules;
    for (const int Row : TableRows) {
        Modules.push_back(Modules_[static_cast<std::size_t>(Row)]);
        for (const int Column : {ResultColumn, DifferencesColumn}) {
            Rows->item(Row, Column)->setText(QString());
            Rows->item(Row, Column)->setToolTip(QString());
        }
        for (int Column = 0; Column < ColumnCount; ++Column)
            Rows->item(Row, Column)->setBackground(QBrush());
    }
    // Who holds a port another program has open; the main window is named
    // as such, as the system tells nothing about the calling process.
    Options.HolderOf = [](const std::string& DevicePath) {
        return OpenInThisProcess(DevicePath) ? std::string("open in the main window")
                                             : HolderText(FindPortHolder(DevicePath));
    };
    Kind_ = Kind;
    RunRows_.assign(Modules.size(), TPlantRow{});
    TableRowOf_ = std::move(TableRows);
    Progress->setRange(0, std::max<int>(1, static_cast<int>(Modules.size())));
    Progress->setValue(0);
    switch (Kind) {
    case TRunKind::Audit:
        Status->setText(QStringLiteral("Reading the modules and comparing them with their files\u2026"));
        break;
    case TRunKind::Backup:
        Status->setText(QStringLiteral("Reading the modules and keeping their configurations in %1\u2026")
                            .arg(Text(Options.BackupFolder)));
        break;
    case TRunKind::DryRun:
        Status->setText(QStringLiteral("Reading the modules to see what would be written (nothing is written)\u2026"));
        break;
    case TRunKind::Apply:
        Status->setText(QStringLiteral("Writing the modules that differ from their files; their configurations "
                                       "are kept in %1 first\u2026")
                            .arg(Text(Options.BackupFolder)));
        break;
    }
    Worker_ = std::make_unique<TWorker>(*this, std::move(Modules), std::move(Options));
    ShowIdle();
}

void TPlantWindow::Stop()
{
    if (Worker_ != nullptr) {
        Worker_->Stop();
        Status->setText(QStringLiteral("Stopping after the request on each line\u2026"));
    }
}

void TPlantWindow::ShowRow(std::size_t RunRow, const TPlantRow& Row)
{
    if (RunRow >= RunRows_.size())
        return;
    RunRows_[RunRow] = Row;
    const int TableRow = TableRowOf_[RunRow];
    QTableWidgetItem* const Result = Rows->item(TableRow, ResultColumn);
    Result->setText(Text(PlantOutcomeText(Row.Outcome)));
    Result->setToolTip(DetailText(Row));
    Rows->item(TableRow, DifferencesColumn)->setText(DifferencesText(Row));
    Rows->item(TableRow, DifferencesColumn)->setToolTip(DifferencesText(Row));
    const QColor Colour = OutcomeColour(Row.Outcome);
    for (int Column = 0; Column < ColumnCount; ++Column)
        Rows->item(TableRow, Column)->setBackground(Colour.isValid() ? QBrush(Colour) : QBrush());

    int Done = 0;
    for (const TPlantRow& Shown : RunRows_)
        Done += Shown.Outcome == TPlantOutcome::Waiting || Shown.Outcome == TPlantOutcome::Running ? 0 : 1;
    Progress->setValue(Done);
}

void TPlantWindow::RunFinished(const TPlantSummary& Summary, const QString& Failure)
{
    // The thread has nothing more to do: its end is its last message.
    Worker_.reset();
    QString Text = SummaryText(Summary);
    if (!Failure.isEmpty())
        Text = QStringLiteral("The run ended early: %1. ").arg(Failure) + Text;
    Status->setText(Text);
    ShowIdle();
    emit RunEnded();
    if (Kind_ == TRunKind::DryRun && Failure.isEmpty() && Summary.Stopped == 0)
        AskToApply();
}

void TPlantWindow::AskToApply()
{
    std::vector<int> ToWrite;
    QStringList Lines;
    std::size_t Unread = 0;
    for (std::size_t RunRow = 0; RunRow < RunRows_.size(); ++RunRow) {
        const TPlantRow& Row = RunRows_[RunRow];
        if (Row.Outcome != TPlantOutcome::Differs) {
            Unread += Row.Outcome == TPlantOutcome::Unchanged ? 0 : 1;
            continue;
        }
        ToWrite.push_back(TableRowOf_[RunRow]);
        Lines << QStringLiteral("%1 (%2):").arg(Text(Row.Module.Name), Text(Row.Module.Port));
        for (const TFieldDifference& Difference : Row.Differences)
            Lines << QStringLiteral("    %1: %2 \u2192 %3")
                         .arg(Text(ModuleConfigFieldName(Difference.Field)), Text(Difference.HeldText()),
                              Text(Difference.WantedText()));
    }
    if (ToWrite.empty()) {
        Status->setText(Status->text() + QStringLiteral(" Nothing to write."));
        return;
    }

    auto* Dialog = new QDialog(this);
    Dialog->setObjectName(QStringLiteral("ApplyConfirmation"));
    Dialog->setWindowTitle(QStringLiteral("Apply"));
    Dialog->setAttribute(Qt::WA_DeleteOnClose);
    Dialog->setWindowModality(Qt::WindowModal);
    auto* Layout = new QVBoxLayout(Dialog);
    QString Question = QStringLiteral("Write %1? Each one's configuration is kept in %2 before its first "
                                      "write. These fields will be written (module \u2192 file):")
                           .arg(ModuleCount(ToWrite.size()))
                           .arg(Text(DefaultBackupFolder()));
    if (Unread > 0)
        Question += QStringLiteral("\n%1 could not be read and will be left alone.").arg(ModuleCount(Unread));
    auto* Label = new QLabel(Question, Dialog);
    Label->setWordWrap(true);
    Layout->addWidget(Label);
    auto* List = new QPlainTextEdit(Lines.join(QLatin1Char('\n')), Dialog);
    List->setObjectName(QStringLiteral("ApplyList"));
    List->setReadOnly(true);
    Layout->addWidget(List);
    auto* Answer = new QDialogButtonBox(QDialogButtonBox::Yes | QDialogButtonBox::No, Dialog);
    Answer->button(QDialogButtonBox::No)->setDefault(true);
    Layout->addWidget(Answer);
    connect(Answer, &QDialogButtonBox::accepted, Dialog, &QDialog::accept);
    connect(Answer, &QDialogButtonBox::rejected, Dialog, &QDialog::reject);
    connect(Dialog, &QDialog::accepted, this, Guarded([this, ToWrite] { StartApply(ToWrite); }));
    Dialog->resize(560, 360);
    Dialog->open();
}

void TPlantWindow::OpenRowPort(int TableRow)
{
    if (TableRow < 0 || TableRow >= static_cast<int>(Modules_.size()))
        return;
    if (Running()) {
        Status->setText(QStringLiteral("The run uses the ports: let it end, or stop it, before opening one in the "
                                       "main window."));
        return;
    }
    // Later, from the event loop: opening waits for the module's identity.
    const std::string Port = Modules_[static_cast<std::size_t>(TableRow)].Port;
    QTimer::singleShot(0, this, Guarded([this, Port] {
                           if (OpenPort_)
                               OpenPort_(Port);
                       }));
}

}  // namespace varnolink
