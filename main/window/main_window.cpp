// SPDX-License-Identifier: MIT
// The top-level window: the menu bar's configuration-file items, the
// comparison with the module and the about box.
#include "main/window/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include "main/files/config_file.h"
#include "main/window/error_display.h"
#include "main/window/form_config.h"
#include "main/window/main_form.h"
#include "main/window/plant_window.h"
#include "main/window/wire_log_window.h"

namespace varnolink {

namespace {

const QString FileFilter = QStringLiteral("Module configurations (*.ini);;All files (*)");

QString Text(const std::string& Bytes)
{
    return QString::fromLatin1(Bytes.data(), static_cast<qsizetype>(Bytes.size()));
}

// "baud: window 57600, module 9600", one line per field that differs or
// that the window shows no value for.
QStringList DifferenceLines(const TPartialModuleConfig& Shown, const TModuleConfig& Module)
{
    QStringList Lines;
    const TModuleConfig ShownOverModule = Shown.Over(Module);
    const std::vector<TConfigField> Missing = Shown.MissingFields();
    for (const TConfigField Field : ModuleConfigFields) {
        const std::string Name = ModuleConfigFieldName(Field);
        const bool NoValue = std::find(Missing.begin(), Missing.end(), Field) != Missing.end();
        const std::string InWindow = NoValue ? "no value" : ModuleConfigFieldValue(ShownOverModule, Field);
        const std::string InModule = ModuleConfigFieldValue(Module, Field);
        if (NoValue || InWindow != InModule)
            Lines << QStringLiteral("%1: window %2, module %3").arg(Text(Name), Text(InWindow), Text(InModule));
    }
    return Lines;
}

}  // namespace

TMainWindow::TMainWindow(QWidget* Parent) : QMainWindow(Parent), Form_(new TMainForm)
{
    setCentralWidget(Form_);
    setWindowTitle(Form_->windowTitle());
    WireLog = new TWireLogWindow(this);
    Form_->SetWireObserver(WireLog);
    BuildMenuBar();
    LoadLineSettings();
    // The layout's own fixed size plus the menu bar, nothing resizable.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    if (const QScreen* Screen = screen())
        move(Screen->availableGeometry().center() - QPoint(sizeHint().width() / 2, sizeHint().height() / 2));
}

TMainWindow::~TMainWindow()
{
    Form_->SetWireObserver(nullptr);
    Form_->ReadConfig->removeEventFilter(this);
    Form_->ClosePort->removeEventFilter(this);
}

void TMainWindow::closeEvent(QCloseEvent* Event)
{
    // The main window closes the port, or asks a running transaction to end
    // first; then this window tries again from the event loop.
    if (Form_->close()) {
        WireLog->close();
        // The plant window goes with the main window; a run still going is
        // asked to stop (each line ends its request first).
        if (Plant != nullptr) {
            Plant->Stop();
            Plant->close();
        }
        Event->accept();
        return;
    }
    Event->ignore();
    QTimer::singleShot(0, this, [this] { close(); });
}

bool TMainWindow::TypeConfigurationFile(const std::string& Path, bool Complete, const QString& Refusal)
{
    try {
        const TConfigFile File = LoadConfigFile(Path);
        if (Complete)
            RequireComplete(File, Path);
        TypeConfig(*Form_, File.Config);
        return true;
    } catch (const EConfigFile& Error) {
        ShowErrorMessage(QStringLiteral("%1:\n\n%2").arg(Refusal, QString::fromLocal8Bit(Error.what())));
        return false;
    }
}

bool TMainWindow::OpenConfigurationFile(const std::string& Path)
{
    return TypeConfigurationFile(Path, false, QStringLiteral("The configuration was not opened"));
}

bool TMainWindow::SaveConfigurationFile(const std::string& Path)
{
    const std::optional<TModuleConfig> Shown = ShownConfig(*Form_);
    if (!Shown) {
        ShowErrorMessage(QStringLiteral("Nothing was saved: these fields hold no value read from the module or "
                                        "entered:\n\n%1")
                             .arg(FieldsWithoutValue(*Form_).join(QLatin1Char('\n'))));
        return false;
    }
    try {
        SaveConfigFile(Path, ConfigFileText(*Shown));
        return true;
    } catch (const EConfigFile& Error) {
        ShowErrorMessage(QString::fromLocal8Bit(Error.what()));
        return false;
    }
}

bool TMainWindow::CompareWithModule()
{
    const std::optional<TModuleReading> Module = Form_->ReadModule();
    if (!Module) {
        ShowErrorMessage(QStringLiteral("Nothing was compared: the module did not answer."));
        return false;
    }
    const QStringList Lines = DifferenceLines(ShownFields(*Form_), Module->Config);

    auto* Dialog = new QDialog(this);
    Dialog->setObjectName(QStringLiteral("CompareDialog"));
    Dialog->setWindowTitle(QStringLiteral("Compare with module"));
    Dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto* Layout = new QVBoxLayout(Dialog);
    Layout->addWidget(new QLabel(Lines.isEmpty() ? QStringLiteral("The module holds what the window shows.")
                                                 : QStringLiteral("Where the module differs from the window:"),
                                 Dialog));
    auto* List = new QListWidget(Dialog);
    List->setObjectName(QStringLiteral("Differences"));
    List->addItems(Lines);
    Layout->addWidget(List);
    Dialog->show();
    return true;
}

void TMainWindow::OpenConfigurationDialog()
{
    const QString Path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Open configuration"), QString(), FileFilter);
    if (!Path.isEmpty())
        OpenConfigurationFile(Path.toLocal8Bit().toStdString());
}

void TMainWindow::SaveConfigurationDialog()
{
    if (!ShownConfig(*Form_)) {
        SaveConfigurationFile({});  // refuses, naming the fields
        return;
    }
    const QString Path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save configuration as"), QString(), FileFilter);
    if (!Path.isEmpty())
        SaveConfigurationFile(Path.toLocal8Bit().toStdString());
}

void TMainWindow::ShowAbout()
{
    QMessageBox::about(this, QStringLiteral("About VARNOLINK I/O Setup"),
                       QStringLiteral("<b>VARNOLINK I/O Setup</b> %1<p>Configures the VARNOLINK I/O (RS485 Control) "
                                      "module over a serial line: Remote ID, baud rate, port directions and power-on "
                                      "levels. Configurations can be kept in files and compared with a module; the "
                                      "command line <tt>varnolink</tt> does the same from scripts.")
                           .arg(QCoreApplication::applicationVersion()));
}

}  // namespace varnolink
