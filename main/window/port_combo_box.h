#pragma once

#include <QComboBox>

#include <functional>
#include <string>

// The port list: a drop-down list without typing whose items are kept sorted
// as text. Each item shows a port's name and carries its device path. Every
// time the list is about to drop down, OnDropDown runs first, so the list is
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
    // The device path of the shown item; the shown text if it carries none.
    std::string ShownDevicePath() const;
    QStringList PortNames() const;

    void showPopup() override;
};
