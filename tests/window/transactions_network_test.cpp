// SPDX-License-Identifier: MIT
// The three configuration transactions through ser2net, over raw TCP
// (socket://) and telnet with RFC 2217 (rfc2217://), with the module
// simulator on the pseudo-terminal behind the server; the server killed
// while the window waits for a reply; a refused connection; network ports
// listed from VARNOLINK_PORTS.

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <memory>

#include "main/window/port_candidates.h"
#include "tests/cport/ser2net_server.h"
#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

namespace {

// The port name of the kind under test ("socket" or "rfc2217").
std::string UrlOf(const net_test::TSer2NetServer& Server, const QString& Kind)
{
    return Kind == "socket" ? Server.RawUrl() : Server.Rfc2217Url();
}

// Picks the network port and presses "Open".
void OpenNetworkPort(TMainForm& Form, const std::string& Url)
{
    DropDown(Form);
    if (!PickPort(Form, QString::fromStdString(Url)))
        qWarning("the network port is not listed");
    Click(Form.OpenPort);
}

void KindData()
{
    QTest::addColumn<QString>("Kind");
    QTest::newRow("socket") << QString("socket");
    QTest::newRow("rfc2217") << QString("rfc2217");
}

}  // namespace

class TTransactionsNetworkTest : public TFormSuite {
    Q_OBJECT

private slots:
    void cleanup()
    {
        // The window lets go of the line before the server goes.
        F_.Disarm();
        F_.Form.reset();
        Server_.reset();
        F_.Reset();
    }
    void ReadSaveAndDefaultThroughSer2Net_data() { KindData(); }
    void ReadSaveAndDefaultThroughSer2Net();
    void Ser2NetKilledDuringAWaitIsReportedOnce_data() { KindData(); }
    void Ser2NetKilledDuringAWaitIsReportedOnce();
    void RefusedConnectionShowsTheOpenErrorWithTheReason();
    void NetworkPortsComeFromTheVariableAndAreNotProbed();

private:
    // The simulator behind ser2net and the window on the port of the kind
    // under test, opened; true when the module was identified.
    bool OpenThroughSer2Net(const TModuleState& State, const TFaults& TFaults, int TimeoutMs = 0)
    {
        QFETCH(QString, Kind);
        F_.StartModule(State, TFaults);
        Server_ = std::make_unique<net_test::TSer2NetServer>(F_.Simulator->DevicePath());
        const std::string Url = UrlOf(*Server_, Kind);
        F_.ShowWindow(TimeoutMs, {Url});
        OpenNetworkPort(*F_.Form, Url);
        return F_.Form->StatusConnect->text() == "Connect OK";
    }

    std::unique_ptr<net_test::TSer2NetServer> Server_;
};

void TTransactionsNetworkTest::ReadSaveAndDefaultThroughSer2Net()
{
    QVERIFY(OpenThroughSer2Net(ConfiguredState(), {}));
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(F_.Errors->Messages.join("\n")));

    F_.Simulator->ClearRequests();
    Click(F_.Form->ReadConfig);
    QCOMPARE(F_.Simulator->Requests(), ReadChainFrames);
    QCOMPARE(WindowMismatches(*F_.Form, ConfiguredState()), QStringList{});

    // An edited Remote ID and a P0 direction bit, saved and read back.
    TypeInto(F_.Form->IDDisplay, "3c");
    Click(F_.Form->BitButton(TPortGrid::Direction, 0, 7));
    TModuleState Edited = ConfiguredState();
    Edited.RemoteId = 0x3C;
    Edited.Directions[0] = 0x92;
    F_.Simulator->ClearRequests();
    Click(F_.Form->SaveConfig);
    const TFrames Writes{"*02:1,3C=00\r\n", "*03:1,05=00\r\n", "*04:1,92=00\r\n", "*05:1,34=00\r\n",
                         "*06:1,56=00\r\n", "*07:1,78=00\r\n", "*08:1,9A=00\r\n", "*09:1,BC=00\r\n",
                         "*10:1,DE=00\r\n", "*11:1,F0=00\r\n", "*12:1,0F=00\r\n", "*13:1,A5=00\r\n"};
    QCOMPARE(SaveMismatches(F_, Writes, Edited), QStringList{});

    Click(F_.Form->SaveToDefault);
    QCOMPARE(F_.Simulator->State(), TModuleState::Factory());
    QCOMPARE(WindowMismatches(*F_.Form, TModuleState::Factory()), QStringList{});

    Click(F_.Form->ClosePort);
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(F_.Errors->Messages.join("\n")));
}

// As an unplugged adapter: one error for the operator, the read ends and
// the window is back in the closed state.
void TTransactionsNetworkTest::Ser2NetKilledDuringAWaitIsReportedOnce()
{
    QVERIFY(OpenThroughSer2Net({}, FaultsWith([](TFaults& L) { L.SilentCodes = {6}; }), 1500));
    F_.Simulator->ClearRequests();
    F_.OnRequest(6, [this] { Server_->Kill(); });
    Click(F_.Form->ReadConfig);
    // The loss reported and the window closed; then room for a late second report.
    QTRY_VERIFY_WITH_TIMEOUT(
        !F_.Errors->Messages.isEmpty() && EnabledControls(*F_.Form) == Sorted({"ComboPort", "OpenPort"}), 20000);
    QTest::qWait(400);

    QCOMPARE(F_.Simulator->Requests(), FirstOf(ReadChainFrames, 7));
    QVERIFY(!Server_->Running());
    QVERIFY2(F_.Errors->Messages.size() == 1, qPrintable(F_.Errors->Messages.join("\n---\n")));
    QTRY_VERIFY(!F_.Form->ComPort1.Connected());
    QCOMPARE(F_.Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(EnabledControls(*F_.Form), Sorted({"ComboPort", "OpenPort"}));
}

void TTransactionsNetworkTest::RefusedConnectionShowsTheOpenErrorWithTheReason()
{
    const uint16_t Closed = net_test::TSer2NetServer::FreeLoopbackPort();
    const std::string Url = "rfc2217://127.0.0.1:" + std::to_string(Closed);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Url});
    OpenNetworkPort(*Form, Url);
    QCOMPARE(
        Errors.Messages,
        QStringList{
            QString("Unable to open com port (win error code: 111)\nConnection refused by 127.0.0.1:%1").arg(Closed)});
    QVERIFY(!Form->ComPort1.Connected());
    QVERIFY(Form->OpenPort->isEnabled());  // the operator may try again
    QVERIFY(!Form->ReadConfig->isEnabled());
}

void TTransactionsNetworkTest::NetworkPortsComeFromTheVariableAndAreNotProbed()
{
    QCOMPARE(
        PortCandidatesFor("socket://box:4001:/tmp/a:RFC2217://[fe80::1]:4002:rfc2217://box:4001", "1"),
        (std::vector<std::string>{"socket://box:4001", "/tmp/a", "RFC2217://[fe80::1]:4002", "rfc2217://box:4001"}));
    // Listed as they are: nothing listens on this port, yet it is offered.
    const std::string Nobody = "rfc2217://127.0.0.1:" + std::to_string(net_test::TSer2NetServer::FreeLoopbackPort());
    QVERIFY(ProbePort(Nobody));
    QVERIFY(!ProbePort("/dev/no-such-device"));
}

QTEST_MAIN(TTransactionsNetworkTest)
#include "transactions_network_test.moc"

using namespace varnolink;
