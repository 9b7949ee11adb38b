// SPDX-License-Identifier: MIT
// What a screen reader finds: every control with a name and a description
// of its own, and bit buttons whose names say pin and value.

#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTest>

#include "form_fixture.h"
#include "main/window/error_display.h"

using namespace window_test;

namespace {

QString Accessible(QWidget* Control, QAccessible::Text What)
{
    QAccessibleInterface* const Interface = QAccessible::queryAccessibleInterface(Control);
    return Interface != nullptr ? Interface->text(What) : QString();
}

}  // namespace

class TWindowAccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    void EveryControlHasItsOwnNameAndADescription();
    void BitButtonNamesSayPinAndValue();
};

void TWindowAccessibilityTest::EveryControlHasItsOwnNameAndADescription()
{
    const auto Form = ShowForm({});
    QList<QWidget*> Controls;
    for (QWidget* Control : Form->findChildren<QWidget*>())
        if (qobject_cast<QPushButton*>(Control) || qobject_cast<QLineEdit*>(Control) ||
            qobject_cast<QComboBox*>(Control) || qobject_cast<QGroupBox*>(Control))
            if (Control->parentWidget() == Form.get() || Control->parentWidget()->parentWidget() == Form.get())
                Controls << Control;
    QCOMPARE(Controls.size(), 4 + 80 + 10 + 12);

    QSet<QString> Names;
    for (QWidget* Control : Controls) {
        const QString Name = Accessible(Control, QAccessible::Name);
        QVERIFY2(!Name.isEmpty(), qPrintable(Control->objectName()));
        QVERIFY2(!Accessible(Control, QAccessible::Description).isEmpty(), qPrintable(Control->objectName()));
        Names.insert(Name);
    }
    QCOMPARE(Names.size(), Controls.size());
}

void TWindowAccessibilityTest::BitButtonNamesSayPinAndValue()
{
    const auto Form = ShowForm({});
    Form->Display_P0_Direction("80");
    Form->BitClick(TPortGrid::Default, 3, 5);
    {
        const TErrorRecorder Errors;
        RunGuarded([&] { Form->Read_P5_Direction(); });  // no port: the write fails after marking the row
    }
    const struct {
        TPortGrid Grid;
        int Row;
        int Bit;
        const char* Name;
    } Cases[] = {
        {TPortGrid::Direction, 0, 7, "P0 direction, bit 7, input"},
        {TPortGrid::Direction, 0, 0, "P0 direction, bit 0, output"},
        {TPortGrid::Default, 3, 5, "P4 power-on level, bit 5, high"},
        {TPortGrid::Default, 3, 4, "P4 power-on level, bit 4, low"},
        {TPortGrid::Default, 1, 0, "P1 power-on level, bit 0, no value"},
        {TPortGrid::Direction, 4, 2, "P5 direction, bit 2, being read"},
    };
    for (const auto& Case : Cases)
        QCOMPARE(Accessible(Form->BitButton(Case.Grid, Case.Row, Case.Bit), QAccessible::Name), QString(Case.Name));
    QCOMPARE(Accessible(Form->ByteField(TPortGrid::Default, 4), QAccessible::Name), QString("P5 power-on level byte"));
}

QTEST_MAIN(TWindowAccessibilityTest)
#include "window_accessibility_test.moc"

using namespace varnolink;
