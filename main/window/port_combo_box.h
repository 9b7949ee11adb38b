// SPDX-License-Identifier: MIT
// The port list of the connection panel.
#pragma once

#include <QComboBox>

#include <functional>
#include <string>

namespace varnolink {

// The port list: a drop-down list without typing whose items are kept sorted
// as text. Each item's text is a port's name; it carries the device path,
// a description and the adapter's identity. The open list shows the name
// with its description ("ttyUSB0 — FTDI FT232R USB UART (A10K3Z4P)"); a
// port another program holds is greyed and cannot be picked. Every time the
// list is about to drop down, OnDropDown runs first, so the list is
// refreshed right before the operator sees it.
class TPortComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit TPortComboBox(QWidget* Parent = nullptr);

    std::function<void()> OnDropDown;

    // True if an item shows Name (exact, case-sensitive comparison).
    bool HasPort(const QString& Name) const;
    // Adds an item at its sorted place.
    void AddPort(const QString& Name, const std::string& DevicePath);
    // Deletes the first item that shows Name, if any.
    void RemovePort(const QString& Name);
    // Sets what the list says about the port shown as Name. An item that
    // cannot be picked any more stops being the shown one.
    void SetPortDetails(const QString& Name, const QString& Description, const QString& Holder,
                        const std::string& AdapterId, bool Selectable);
    QString PortDescription(const QString& Name) const;
    bool PortSelectable(const QString& Name) const;
    // The selectable item of the adapter with this identity; -1 if none.
    int IndexOfAdapter(const std::string& AdapterId) const;
    std::string ShownAdapterId() const;
    // The open list's line for an item: name, description, holder.
    QString ItemLine(int Index) const;

    // The device path of the shown item; the shown text if it carries none.
    std::string ShownDevicePath() const;
    QStringList PortNames() const;

    void showPopup() override;
};

}  // namespace varnolink
