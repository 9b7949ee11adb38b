// SPDX-License-Identifier: MIT
// The wire log window.
#pragma once

#include <QWidget>

#include "main/engine/wire_log.h"

class QPlainTextEdit;
class QPushButton;

namespace varnolink {

// The wire log: a window of its own that lists every frame sent and every
// reply line received, time-outs, line noise, errors and the device going
// away, one line per event as the wire log formatter writes it. It keeps
// the last MaxLines lines. "Save as" writes them to a text file, "Copy" puts
// the selection (or everything) on the clipboard, "Clear" empties the list,
// "Pause scrolling" keeps the view where it is while lines arrive.
class TWireLogWindow : public QWidget, public TWireObserver {
    Q_OBJECT

public:
    static constexpr int MaxLines = 10000;

    explicit TWireLogWindow(QWidget* Parent = nullptr);

    void OnWireEvent(const TWireEvent& Event) override;
    void AppendLine(const QString& Line);

    QStringList Lines() const;
    // Writes the lines to Path, one per line; false (and the error shown) on failure.
    bool SaveTo(const QString& Path);
    void CopyToClipboard();
    void Clear();

    QPlainTextEdit* Text = nullptr;
    QPushButton* SaveAsButton = nullptr;
    QPushButton* CopyButton = nullptr;
    QPushButton* ClearButton = nullptr;
    QPushButton* PauseButton = nullptr;

private:
    void SaveAsDialog();
};

}  // namespace varnolink
