// SPDX-License-Identifier: MIT
// The wire log window: its list, buttons and the saving of its lines.
#include "main/window/wire_log_window.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextStream>
#include <QVBoxLayout>

#include "main/window/error_display.h"

namespace varnolink {

namespace {

QPushButton* AddButton(QHBoxLayout* Row, const QString& Caption, const QString& Description)
{
    auto* Button = new QPushButton(Caption);
    Button->setAccessibleName(QString(Caption).remove(QLatin1Char('&')));
    Button->setAccessibleDescription(Description);
    Row->addWidget(Button);
    return Button;
}

}  // namespace

TWireLogWindow::TWireLogWindow(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("WireLogWindow"));
    setWindowTitle(QStringLiteral("Wire log \u2014 VARNOLINK I/O Setup"));
    resize(760, 420);

    Text = new QPlainTextEdit;
    Text->setObjectName(QStringLiteral("WireLogText"));
    Text->setReadOnly(true);
    Text->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text->setMaximumBlockCount(MaxLines);
    Text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Text->setAccessibleName(QStringLiteral("Wire log"));
    Text->setAccessibleDescription(
        QStringLiteral("Every frame sent and reply received: time since the port was opened, direction, the raw "
                       "text and its meaning"));

    auto* Buttons = new QHBoxLayout;
    SaveAsButton = AddButton(Buttons, QStringLiteral("&Save as\u2026"), QStringLiteral("Saves the log as a text file"));
    CopyButton = AddButton(Buttons, QStringLiteral("&Copy"),
                           QStringLiteral("Copies the selected lines, or all of them, to the clipboard"));
    ClearButton = AddButton(Buttons, QStringLiteral("C&lear"), QStringLiteral("Empties the log"));
    PauseButton = AddButton(Buttons, QStringLiteral("&Pause scrolling"),
                            QStringLiteral("Keeps the view still while new lines arrive"));
    PauseButton->setCheckable(true);
    Buttons->addStretch();

    auto* Layout = new QVBoxLayout(this);
    Layout->addWidget(Text);
    Layout->addLayout(Buttons);

    connect(SaveAsButton, &QPushButton::clicked, this, [this] { SaveAsDialog(); });
    connect(CopyButton, &QPushButton::clicked, this, [this] { CopyToClipboard(); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { Clear(); });
}

void TWireLogWindow::OnWireEvent(const TWireEvent& Event)
{
    AppendLine(QString::fromUtf8(FormatWireEvent(Event)));
}

void TWireLogWindow::AppendLine(const QString& Line)
{
    QScrollBar* const Scroll = Text->verticalScrollBar();
    const int Kept = Scroll->value();
    Text->appendPlainText(Line);
    if (PauseButton->isChecked())
        Scroll->setValue(Kept);
    else
        Scroll->setValue(Scroll->maximum());
}

QStringList TWireLogWindow::Lines() const
{
    const QString All = Text->toPlainText();
    return All.isEmpty() ? QStringList() : All.split(QLatin1Char('\n'));
}

bool TWireLogWindow::SaveTo(const QString& Path)
{
    QFile File(Path);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        ShowErrorMessage(QStringLiteral("The wire log could not be saved to %1:\n%2").arg(Path, File.errorString()));
        return false;
    }
    QTextStream Out(&File);
    for (const QString& Line : Lines())
        Out << Line << '\n';
    Out.flush();
    if (File.error() != QFileDevice::NoError) {
        ShowErrorMessage(QStringLiteral("The wire log could not be saved to %1:\n%2").arg(Path, File.errorString()));
        return false;
    }
    return true;
}

void TWireLogWindow::CopyToClipboard()
{
    const QString Selected = Text->textCursor().selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    QApplication::clipboard()->setText(Selected.isEmpty() ? Text->toPlainText() : Selected);
}

void TWireLogWindow::Clear()
{
    Text->clear();
}

void TWireLogWindow::SaveAsDialog()
{
    const QString Path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save wire log"), QStringLiteral("wire-log.txt"),
                                     QStringLiteral("Text files (*.txt);;All files (*)"));
    if (!Path.isEmpty())
        SaveTo(Path);
}

}  // namespace varnolink
