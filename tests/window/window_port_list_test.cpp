// SPDX-License-Identifier: MIT
// The port list: which candidates it shows after each drop-down, in which
// order, and how picking a port enables "Open".

#include <QAbstractItemView>
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "form_fixture.h"
#include "main/window/port_candidates.h"
#include "main/window/port_combo_box.h"

using namespace window_test;

class TWindowPortListTest : public QObject {
    Q_OBJECT

private slots:
    void CandidatesInFixedOrderThenTheListedPathsEachOnce();
    void ShortNamesUnderDevFullPathsElsewhere();
    void ListsExactlyTheOpenableTerminalsSortedEachOnce();
    void PortHeldByAnOpenComPortIsNotListedUntilItIsClosed();
    void EveryDropDownRefreshesAndRemovesPortsThatWentAway();
    void NoUsablePortLeavesTheListEmptyAndOpenDisabled();
    void PickingAPortInThePopupEnablesOpenOnly();
};

void TWindowPortListTest::CandidatesInFixedOrderThenTheListedPathsEachOnce()
{
    const std::vector<std::string> All = PortCandidatesFor("/tmp/a::/dev/ttyUSB3:/tmp/b:/tmp/a", nullptr);
    QCOMPARE(All.size(), std::size_t{48 + 2});
    QCOMPARE(All.at(0), std::string("/dev/ttyS0"));
    QCOMPARE(All.at(15), std::string("/dev/ttyS15"));
    QCOMPARE(All.at(16), std::string("/dev/ttyUSB0"));
    QCOMPARE(All.at(32), std::string("/dev/ttyACM0"));
    QCOMPARE(All.at(47), std::string("/dev/ttyACM15"));
    QCOMPARE(All.at(48), std::string("/tmp/a"));
    QCOMPARE(All.at(49), std::string("/tmp/b"));

    QCOMPARE(PortCandidatesFor("/tmp/a:/dev/ttyUSB3", "1"), (std::vector<std::string>{"/tmp/a", "/dev/ttyUSB3"}));
    QVERIFY(PortCandidatesFor(nullptr, "1").empty());
    QCOMPARE(PortCandidatesFor(nullptr, "0").size(), std::size_t{48});
}

void TWindowPortListTest::ShortNamesUnderDevFullPathsElsewhere()
{
    QCOMPARE(PortDisplayName("/dev/ttyUSB0"), std::string("ttyUSB0"));
    QCOMPARE(PortDisplayName("/dev/pts/7"), std::string("pts/7"));
    QCOMPARE(PortDisplayName("/tmp/varnolink/link"), std::string("/tmp/varnolink/link"));
    QCOMPARE(PortDisplayName("/devices/x"), std::string("/devices/x"));
}

void TWindowPortListTest::ListsExactlyTheOpenableTerminalsSortedEachOnce()
{
    const auto First = StartSimulator();
    const auto Second = StartSimulator();
    QTemporaryDir Directory;
    const std::string NotATerminal = Directory.filePath("plain-file").toStdString();
    std::ofstream(NotATerminal) << "x";
    const std::string Absent = Directory.filePath("absent").toStdString();

    // The second simulator first and twice: the list sorts and lists once.
    const auto Form = ShowForm({Second->DevicePath(), Absent, NotATerminal, First->DevicePath(), Second->DevicePath()});
    DropDown(*Form);
    QCOMPARE(Form->ComboPort->PortNames(), Sorted({PortName(First->DevicePath()), PortName(Second->DevicePath())}));
    DropDown(*Form);
    QCOMPARE(Form->ComboPort->PortNames(), Sorted({PortName(First->DevicePath()), PortName(Second->DevicePath())}));
    // Listing shows nothing by itself: the operator picks.
    QCOMPARE(Form->ComboPort->currentIndex(), -1);
    QVERIFY(!Form->OpenPort->isEnabled());
}

void TWindowPortListTest::PortHeldByAnOpenComPortIsNotListedUntilItIsClosed()
{
    const auto Simulator = StartSimulator();
    const auto Form = ShowForm({Simulator->DevicePath()});
    DropDown(*Form);
    QCOMPARE(Form->ComboPort->PortNames(), QStringList{PortName(Simulator->DevicePath())});

    cport::TComPort Holder;
    Holder.SetEvents({});  // no event thread needed to hold the line
    Holder.SetPort(Simulator->DevicePath());
    Holder.Open();
    DropDown(*Form);
    QVERIFY(Form->ComboPort->PortNames().isEmpty());

    Holder.Close();
    DropDown(*Form);
    QCOMPARE(Form->ComboPort->PortNames(), QStringList{PortName(Simulator->DevicePath())});
}

void TWindowPortListTest::EveryDropDownRefreshesAndRemovesPortsThatWentAway()
{
    auto Leaving = StartSimulator();
    const auto Staying = StartSimulator();
    const std::string LeavingPath = Leaving->DevicePath();
    const auto Form = ShowForm({LeavingPath, Staying->DevicePath()});
    DropDown(*Form);
    QVERIFY(PickPort(*Form, PortName(LeavingPath)));
    QCOMPARE(Form->ComboPort->currentText(), PortName(LeavingPath));

    Leaving.reset();  // its pseudo-terminal disappears
    DropDown(*Form);
    QCOMPARE(Form->ComboPort->PortNames(), QStringList{PortName(Staying->DevicePath())});
    // The port that was shown went away: nothing is shown any more.
    QCOMPARE(Form->ComboPort->currentIndex(), -1);
}

void TWindowPortListTest::NoUsablePortLeavesTheListEmptyAndOpenDisabled()
{
    const auto Form = ShowForm({"/nonexistent/ttyUSB0", "/dev/null"});
    DropDown(*Form);
    QCOMPARE(Form->ComboPort->count(), 0);
    QCOMPARE(EnabledControls(*Form), StartUpControls);
}

void TWindowPortListTest::PickingAPortInThePopupEnablesOpenOnly()
{
    const auto Simulator = StartSimulator();
    const auto Form = ShowForm({Simulator->DevicePath()});
    QCOMPARE(Form->ComboPort->count(), 0);  // nothing listed before the first drop-down

    // The operator opens the list (which refreshes it) and picks with the keyboard.
    Form->ComboPort->showPopup();
    QAbstractItemView* const Popup = Form->ComboPort->view();
    QTRY_VERIFY(Popup->isVisible());
    QCOMPARE(Form->ComboPort->count(), 1);
    Popup->setCurrentIndex(Popup->model()->index(0, 0));
    QTest::keyClick(Popup, Qt::Key_Return);
    QTRY_VERIFY(!Popup->isVisible());

    QCOMPARE(Form->ComboPort->currentText(), PortName(Simulator->DevicePath()));
    QCOMPARE(EnabledControls(*Form), Sorted({"ComboPort", "OpenPort"}));
    QVERIFY(!Form->ComPort1.Connected());  // picking opens nothing
}

QTEST_MAIN(TWindowPortListTest)
#include "window_port_list_test.moc"

using namespace varnolink;
