#include "main/window/port_combo_box.h"

#include "main/window/error_display.h"

TPortComboBox::TPortComboBox(QWidget* Parent) : QComboBox(Parent)
{
    setEditable(false);
    setInsertPolicy(QComboBox::NoInsert);
}

bool TPortComboBox::HasPort(const QString& Name) const
{
    for (int Index = 0; Index < count(); ++Index)
        if (itemText(Index) == Name)
            return true;
    return false;
}

void TPortComboBox::AddPort(const QString& Name, const std::string& DevicePath)
{
    // Adding to a list without a shown item must not make the new item the
    // shown one: the operator picks the port.
    const int Shown = currentIndex();
    int Place = 0;
    while (Place < count() && QString::compare(itemText(Place), Name, Qt::CaseSensitive) <= 0)
        ++Place;
    insertItem(Place, Name, QString::fromStdString(DevicePath));
    setCurrentIndex(Shown < 0 ? -1 : (Place <= Shown ? Shown + 1 : Shown));
}

void TPortComboBox::RemovePort(const QString& Name)
{
    for (int Index = 0; Index < count(); ++Index) {
        if (itemText(Index) == Name) {
            const int Shown = currentIndex();
            removeItem(Index);
            // The shown port went away: nothing is shown any more.
            setCurrentIndex(Shown == Index ? -1 : (Index < Shown ? Shown - 1 : Shown));
            return;
        }
    }
}

std::string TPortComboBox::ShownDevicePath() const
{
    const QVariant Path = currentData();
    if (Path.isValid())
        return Path.toString().toStdString();
    return currentText().toStdString();
}

QStringList TPortComboBox::PortNames() const
{
    QStringList Names;
    for (int Index = 0; Index < count(); ++Index)
        Names << itemText(Index);
    return Names;
}

void TPortComboBox::showPopup()
{
    if (OnDropDown)
        RunGuarded(OnDropDown);
    QComboBox::showPopup();
}
