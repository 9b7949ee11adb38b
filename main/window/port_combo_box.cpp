// SPDX-License-Identifier: MIT
// The port list's items and how the open list draws them.
#include "main/window/port_combo_box.h"

#include <QAbstractItemView>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

#include <algorithm>

#include "main/window/error_display.h"

namespace varnolink {

namespace {

constexpr int DescriptionRole = Qt::UserRole + 1;
constexpr int HolderRole = Qt::UserRole + 2;
constexpr int AdapterRole = Qt::UserRole + 3;

// Draws each line of the open list with its description after the name.
class TPortLineDelegate final : public QStyledItemDelegate {
public:
    explicit TPortLineDelegate(TPortComboBox* Box) : QStyledItemDelegate(Box), Box_(Box) {}

protected:
    void initStyleOption(QStyleOptionViewItem* Option, const QModelIndex& Index) const override
    {
        QStyledItemDelegate::initStyleOption(Option, Index);
        Option->text = Box_->ItemLine(Index.row());
    }

private:
    TPortComboBox* Box_;
};

}  // namespace

TPortComboBox::TPortComboBox(QWidget* Parent) : QComboBox(Parent)
{
    setEditable(false);
    setInsertPolicy(QComboBox::NoInsert);
    view()->setItemDelegate(new TPortLineDelegate(this));
}

void TPortComboBox::SetPortDetails(const QString& Name, const QString& Description, const QString& Holder,
                                   const std::string& AdapterId, bool Selectable)
{
    const int Index = findText(Name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (Index < 0)
        return;
    setItemData(Index, Description, DescriptionRole);
    setItemData(Index, Holder, HolderRole);
    setItemData(Index, QString::fromStdString(AdapterId), AdapterRole);
    setItemData(Index, ItemLine(Index), Qt::ToolTipRole);
    setItemData(Index, ItemLine(Index), Qt::AccessibleTextRole);
    if (auto* Items = qobject_cast<QStandardItemModel*>(model()))
        if (QStandardItem* Item = Items->item(Index))
            Item->setEnabled(Selectable);
    if (!Selectable && currentIndex() == Index)
        setCurrentIndex(-1);
}

QString TPortComboBox::PortDescription(const QString& Name) const
{
    const int Index = findText(Name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    return Index < 0 ? QString() : itemData(Index, DescriptionRole).toString();
}

bool TPortComboBox::PortSelectable(const QString& Name) const
{
    const int Index = findText(Name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    const auto* Items = qobject_cast<const QStandardItemModel*>(model());
    return Index >= 0 && Items != nullptr && Items->item(Index)->isEnabled();
}

int TPortComboBox::IndexOfAdapter(const std::string& AdapterId) const
{
    if (AdapterId.empty())
        return -1;
    const QString Id = QString::fromStdString(AdapterId);
    for (int Index = 0; Index < count(); ++Index)
        if (itemData(Index, AdapterRole).toString() == Id && PortSelectable(itemText(Index)))
            return Index;
    return -1;
}

std::string TPortComboBox::ShownAdapterId() const
{
    return currentIndex() < 0 ? std::string() : itemData(currentIndex(), AdapterRole).toString().toStdString();
}

QString TPortComboBox::ItemLine(int Index) const
{
    QString Line = itemText(Index);
    const QString Description = itemData(Index, DescriptionRole).toString();
    const QString Holder = itemData(Index, HolderRole).toString();
    if (!Description.isEmpty())
        Line += QStringLiteral(" \u2014 ") + Description;
    if (!Holder.isEmpty())
        Line += (Description.isEmpty() ? QStringLiteral(" \u2014 ") : QStringLiteral(", ")) + Holder;
    return Line;
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
    // The descriptions need more room than the closed list's width.
    int Widest = width();
    const QFontMetrics Metrics = view()->fontMetrics();
    for (int Index = 0; Index < count(); ++Index)
        Widest = std::max(Widest, Metrics.horizontalAdvance(ItemLine(Index)) + 4 * Metrics.averageCharWidth());
    view()->setMinimumWidth(Widest);
    QComboBox::showPopup();
}

}  // namespace varnolink
