// SPDX-License-Identifier: MIT
// The commissioning dialog: its fields, the run on the main window's line
// and what it shows while the run goes on.
#include "main/window/commission_dialog.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <exception>
#include <vector>

#include "main/files/commission_log.h"
#include "main/files/config_file.h"
#include "main/protocol/hex.h"
#include "main/files/id_list.h"
#include "main/engine/series_commissioning.h"
#include "main/window/error_display.h"
#include "main/window/form_commission_line.h"
#include "main/window/main_form.h"

namespace varnolink {

namespace {

QString Text(const std::string& Bytes)
{
    return QString::fromLocal8Bit(Bytes.data(), static_cast<qsizetype>(Bytes.size()));
}

std::string Path(const QLineEdit* Field)
{
    return Field->text().trimmed().toLocal8Bit().toStdString();
}

QColor ResultColour(TCommissionResult Result)
{
    switch (Result) {
    case TCommissionResult::Ok:
        return QColor(0xC8, 0xF0, 0xC8);
    case TCommissionResult::Interrupted:
        return QColor(0xFF, 0xE0, 0xA0);
    case TCommissionResult::Mismatch:
    case TCommissionResult::NoReply:
    case TCommissionResult::DeviceLost:
        break;
    }
    return QColor(0xF8, 0xC0, 0xC0);
}

QString SummaryText(const TCommissionSummary& Summary)
{
    return QStringLiteral("%1 ok, %2 failed, %3 skipped").arg(Summary.Ok).arg(Summary.Failed).arg(Summary.Skipped);
}

}  // namespace

// The run's reports, into the table and the labels.
class TCommissionDialog::TTableObserver final : public TCommissionObserver {
public:
    explicit TTableObserver(TCommissionDialog& Dialog) : Dialog_(Dialog) {}

    void WaitingForModule(const std::string& Port) override
    {
        Dialog_.Status->setText(QStringLiteral("Waiting for a module on %1\u2026").arg(Text(Port)));
    }

    void ModuleStarted(std::size_t Number, std::size_t Total, uint8_t ID) override
    {
        Dialog_.Status->setText(
            QStringLiteral("Module %1 of %2: writing ID %3\u2026").arg(Number).arg(Total).arg(Text(HexByteToStr2(ID))));
    }

    void ModuleFinished(std::size_t, const TCommissionRow& Row, std::chrono::milliseconds) override
    {
        QTableWidget* Table = Dialog_.Rows;
        const int At = Table->rowCount();
        Table->insertRow(At);
        const QStringList Cells{Text(Row.TimeUtc), Text(Row.IdBefore), Text(Row.IdAfter),
                                Text(std::string(CommissionResultText(Row.Result))), Text(Row.Detail)};
        for (int Column = 0; Column < Cells.size(); ++Column)
            Table->setItem(At, Column, new QTableWidgetItem(Cells[Column]));
        Table->item(At, 3)->setBackground(ResultColour(Row.Result));
        Table->scrollToBottom();
        Dialog_.ShowProgress();
    }

    void ConnectNextModule(bool) override
    {
        Dialog_.Status->setText(QStringLiteral("Connect the next module (or press \u201cNext module\u201d to take the "
                                               "one on the line)."));
    }

private:
    TCommissionDialog& Dialog_;
};

TCommissionDialog::TCommissionDialog(TMainForm& Form, TShownConfig ShownConfig, QWidget* Parent)
    : QDialog(Parent),
      Form_(Form),
      ShownConfig_(std::move(ShownConfig)),
      Observer_(std::make_unique<TTableObserver>(*this))
{
    setObjectName(QStringLiteral("CommissionDialog"));
    setWindowTitle(QStringLiteral("Commission a series"));
    setWindowModality(Qt::WindowModal);

    const auto Named = [](auto* Widget, const char* Name) {
        Widget->setObjectName(QString::fromLatin1(Name));
        return Widget;
    };
    TemplateFromFile = Named(new QRadioButton(QStringLiteral("File:"), this), "TemplateFromFile");
    TemplatePath = Named(new QLineEdit(this), "TemplatePath");
    BrowseTemplate = Named(new QPushButton(QStringLiteral("Browse\u2026"), this), "BrowseTemplate");
    TemplateFromWindow =
        Named(new QRadioButton(QStringLiteral("What the window shows now"), this), "TemplateFromWindow");
    IdList = Named(new QLineEdit(QStringLiteral("01-1F"), this), "IdList");
    LogPath = Named(new QLineEdit(this), "LogPath");
    BrowseLog = Named(new QPushButton(QStringLiteral("Browse\u2026"), this), "BrowseLog");
    StartButton = Named(new QPushButton(QStringLiteral("Start"), this), "StartButton");
    StopButton = Named(new QPushButton(QStringLiteral("Stop"), this), "StopButton");
    NextButton = Named(new QPushButton(QStringLiteral("Next module"), this), "NextButton");
    Rows = Named(new QTableWidget(0, 5, this), "Rows");
    Progress = Named(new QLabel(this), "Progress");
    Status = Named(new QLabel(this), "Status");
    TemplateFromFile->setChecked(true);
    IdList->setToolTip(QStringLiteral("Remote IDs and ranges of them, separated by commas: 01-1F, 01-05,08"));
    LogPath->setPlaceholderText(QStringLiteral("CSV file, one row per module"));
    Rows->setHorizontalHeaderLabels({QStringLiteral("Time (UTC)"), QStringLiteral("ID before"),
                                     QStringLiteral("ID after"), QStringLiteral("Result"), QStringLiteral("Detail")});
    Rows->horizontalHeader()->setStretchLastSection(true);
    Rows->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Rows->setMinimumSize(640, 220);
    Status->setWordWrap(true);

    auto* FileRow = new QHBoxLayout;
    FileRow->addWidget(TemplateFromFile);
    FileRow->addWidget(TemplatePath, 1);
    FileRow->addWidget(BrowseTemplate);
    auto* LogRow = new QHBoxLayout;
    LogRow->addWidget(LogPath, 1);
    LogRow->addWidget(BrowseLog);
    auto* Fields = new QFormLayout;
    Fields->addRow(QStringLiteral("Template:"), FileRow);
    Fields->addRow(QString(), TemplateFromWindow);
    Fields->addRow(QStringLiteral("Remote IDs:"), IdList);
    Fields->addRow(QStringLiteral("Log file:"), LogRow);
    auto* Buttons = new QHBoxLayout;
    Buttons->addWidget(StartButton);
    Buttons->addWidget(StopButton);
    Buttons->addWidget(NextButton);
    Buttons->addStretch(1);
    Buttons->addWidget(Progress);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Fields);
    Layout->addLayout(Buttons);
    Layout->addWidget(Status);
    Layout->addWidget(Rows, 1);

    PollTimer_.setInterval(static_cast<int>(TSeriesCommissioning::PollInterval.count()));
    // No error may reach Qt's event machinery: each handler shows its own.
    connect(&PollTimer_, &QTimer::timeout, this, Guarded([this] { Tick(); }));
    connect(StartButton, &QPushButton::clicked, this, Guarded([this] { Start(); }));
    connect(StopButton, &QPushButton::clicked, this, Guarded([this] { Stop(); }));
    connect(NextButton, &QPushButton::clicked, this, Guarded([this] {
                if (Series_ != nullptr) {
                    Series_->NextModule();
                    QTimer::singleShot(0, this, Guarded([this] { Tick(); }));
                }
            }));
    connect(BrowseTemplate, &QPushButton::clicked, this, Guarded([this] {
                const QString File =
                    QFileDialog::getOpenFileName(this, QStringLiteral("Template"), TemplatePath->text(),
                                                 QStringLiteral("Module configurations (*.ini);;All files (*)"));
                if (!File.isEmpty()) {
                    TemplatePath->setText(File);
                    TemplateFromFile->setChecked(true);
                }
            }));
    connect(BrowseLog, &QPushButton::clicked, this, Guarded([this] {
                const QString File = QFileDialog::getSaveFileName(this, QStringLiteral("Log file"), LogPath->text(),
                                                                  QStringLiteral("CSV files (*.csv);;All files (*)"),
                                                                  nullptr, QFileDialog::DontConfirmOverwrite);
                if (!File.isEmpty())
                    LogPath->setText(File);
            }));
    ShowIdle();
}

TCommissionDialog::~TCommissionDialog()
{
    PollTimer_.stop();
    RestoreForm();
}

void TCommissionDialog::ShowIdle()
{
    const bool Idle = Series_ == nullptr;
    for (QWidget* Field : std::initializer_list<QWidget*>{TemplateFromFile, TemplatePath, BrowseTemplate,
                                                          TemplateFromWindow, IdList, LogPath, BrowseLog, StartButton})
        Field->setEnabled(Idle);
    StopButton->setEnabled(!Idle);
    NextButton->setEnabled(!Idle);
}

void TCommissionDialog::ShowProgress()
{
    if (Series_ != nullptr)
        Progress->setText(QStringLiteral("%1 of %2 done").arg(Series_->Summary().Ok).arg(Series_->Total()));
}

std::optional<TModuleConfig> TCommissionDialog::Template()
{
    if (TemplateFromWindow->isChecked()) {
        const std::optional<TModuleConfig> Shown = ShownConfig_ ? ShownConfig_() : std::nullopt;
        if (!Shown)
            Status->setText(QStringLiteral("The window does not show a whole configuration: read the module or "
                                           "fill in every field first."));
        return Shown;
    }
    try {
        const TConfigFile File = LoadConfigFile(Path(TemplatePath));
        for (const TConfigField Field : File.Config.MissingFields())
            if (Field != RemoteIdField)
                throw EConfigFile(Path(TemplatePath), 0, ModuleConfigFieldName(Field),
                                  "missing (a template needs every field but remote_id)");
        return File.Config.Over(FactoryModuleConfig);
    } catch (const EConfigFile& Error) {
        Status->setText(QStringLiteral("The template cannot be used: %1").arg(QString::fromLocal8Bit(Error.what())));
        return std::nullopt;
    }
}

bool TCommissionDialog::Start()
{
    if (Series_ != nullptr)
        return false;
    if (!Form_.ComPort1.Connected()) {
        Status->setText(QStringLiteral("Open the port in the main window first."));
        return false;
    }
    TCommissionPlan Plan;
    const std::optional<TModuleConfig> Config = Template();
    if (!Config)
        return false;
    Plan.Template = *Config;
    try {
        Plan.IDs = ParseIDList(IdList->text().toStdString());
    } catch (const EIDList& Error) {
        Status->setText(QStringLiteral("Remote IDs: %1").arg(QString::fromLocal8Bit(Error.what())));
        return false;
    }
    try {
        if (!Path(LogPath).empty()) {
            Log_ = std::make_unique<TCommissionLog>(Path(LogPath));
            Plan.Done = Log_->Done();
        }
    } catch (const ECommissionLog& Error) {
        Status->setText(QStringLiteral("Log file: %1").arg(QString::fromLocal8Bit(Error.what())));
        return false;
    }

    DisableForm();
    Line_ = std::make_unique<TFormCommissionLine>(Form_);
    Series_ = std::make_unique<TSeriesCommissioning>(*Line_, Plan, Log_.get(), *Observer_);
    StopWanted_ = false;
    Rows->setRowCount(0);
    ShowProgress();
    ShowIdle();
    Status->setText(QStringLiteral("Looking for a module\u2026"));
    PollTimer_.start();
    QTimer::singleShot(0, this, Guarded([this] { Tick(); }));
    return true;
}

void TCommissionDialog::Stop()
{
    if (Series_ == nullptr)
        return;
    StopWanted_ = true;
    if (Polling_) {
        // Inside a module's exchange: after the request on the line.
        Line_->RequestStop();
        return;
    }
    Series_->Stop();
    EndRun(QString());
}

void TCommissionDialog::Tick()
{
    if (Polling_ || Series_ == nullptr)
        return;
    Polling_ = true;
    QString Failure;
    try {
        Series_->Poll();
    } catch (const std::exception& Error) {
        Failure = QString::fromLocal8Bit(Error.what());
    }
    Polling_ = false;
    if (StopWanted_ && !Series_->Finished())
        Series_->Stop();
    if (!Failure.isEmpty())
        EndRun(QStringLiteral("The run ended: %1").arg(Failure));
    else if (Series_->Finished())
        EndRun(QString());
}

void TCommissionDialog::EndRun(const QString& Why)
{
    PollTimer_.stop();
    const TCommissionSummary Summary = Series_->Summary();
    Series_.reset();
    Line_.reset();
    Log_.reset();
    RestoreForm();
    ShowIdle();
    QString Text = Why;
    if (Text.isEmpty())
        Text = Summary.Complete ? QStringLiteral("Every ID of the list is done.")
               : Summary.Interrupted
                   ? QStringLiteral("Stopped during a module's writes; it is recorded as interrupted.")
                   : QStringLiteral("Stopped between two modules.");
    Status->setText(Text + QStringLiteral(" ") + SummaryText(Summary) + QStringLiteral("."));
    emit RunEnded();
    if (CloseWanted_)
        close();
}

void TCommissionDialog::DisableForm()
{
    // The window's own controls, each as it is: the ones enabled now are
    // disabled and later enabled again; the others are left alone.
    for (QWidget* Control : Form_.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (Control->isWindow() || !Control->isEnabled())
            continue;
        Control->setEnabled(false);
        DisabledControls_.push_back(Control);
    }
}

void TCommissionDialog::RestoreForm()
{
    for (const QPointer<QWidget>& Control : DisabledControls_)
        if (Control)
            Control->setEnabled(true);
    DisabledControls_.clear();
}

void TCommissionDialog::closeEvent(QCloseEvent* Event)
{
    if (Series_ == nullptr) {
        Event->accept();
        return;
    }
    // The run ends first; the dialog closes when it has.
    CloseWanted_ = true;
    Stop();
    if (Series_ != nullptr)
        Event->ignore();
}

}  // namespace varnolink
