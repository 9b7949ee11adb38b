// The three configuration transactions through ser2net, over raw TCP
// (socket://) and telnet with RFC 2217 (rfc2217://), with the module
// simulator on the pseudo-terminal behind the server; the server killed
// while the window waits for a reply; a refused connection; network ports
// listed from VARNOLINK_PORTS.

#include <QApplication>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>

#include "main/window/port_candidates.h"
#include "tests/cport/ser2net_server.h"
#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

namespace {

ModuleState ReadState()
{
    ModuleState State;
    State.remoteId = 0x5A;
    State.baudIndex = 5;
    State.directions = {0x12, 0xFF, 0x56, 0x78, 0x9A};
    State.defaults = {0xBC, 0xDE, 0xF0, 0x0F, 0xA5};
    return State;
}

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

class TTransactionsNetworkTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void ReadSaveAndDefaultThroughSer2Net_data() { KindData(); }
    void ReadSaveAndDefaultThroughSer2Net();
    void Ser2NetKilledDuringAWaitIsReportedOnce_data() { KindData(); }
    void Ser2NetKilledDuringAWaitIsReportedOnce();
    void RefusedConnectionShowsTheOpenErrorWithTheReason();
    void NetworkPortsComeFromTheVariableAndAreNotProbed();
};

void TTransactionsNetworkTest::ReadSaveAndDefaultThroughSer2Net()
{
    QFETCH(QString, Kind);
    const auto Simulator = StartSimulator(ReadState());
    const net_test::TSer2NetServer Server(Simulator->DevicePath());
    const std::string Url = UrlOf(Server, Kind);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Url});
    OpenNetworkPort(*Form, Url);
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(Errors.Messages.join("\n")));
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));

    Simulator->ClearRequests();
    Click(Form->ReadConfig);
    QCOMPARE(Simulator->Requests(), ReadChainFrames());
    QCOMPARE(WindowMismatches(*Form, ReadState()), QStringList{});

    // An edited Remote ID and a P0 direction bit, saved and read back.
    Click(Form->IDDisplay);
    QTest::keyClicks(Form->IDDisplay, "3c");
    Click(Form->BitButton(TPortGrid::Direction, 0, 7));
    ModuleState Edited = ReadState();
    Edited.remoteId = 0x3C;
    Edited.directions[0] = 0x92;
    Simulator->ClearRequests();
    Click(Form->SaveConfig);
    QCOMPARE(Simulator->Requests(), Joined({WriteFramesOf(Edited), ReadChainFrames()}));
    QCOMPARE(Simulator->State(), Edited);
    QCOMPARE(WindowMismatches(*Form, Edited), QStringList{});

    Click(Form->SaveToDefault);
    QCOMPARE(Simulator->State(), ModuleState::Factory());
    QCOMPARE(WindowMismatches(*Form, ModuleState::Factory()), QStringList{});

    Click(Form->ClosePort);
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    QVERIFY2(Errors.Messages.isEmpty(), qPrintable(Errors.Messages.join("\n")));
}

// As an unplugged adapter: one error for the operator, the read ends and
// the window is back in the closed state.
void TTransactionsNetworkTest::Ser2NetKilledDuringAWaitIsReportedOnce()
{
    QFETCH(QString, Kind);
    std::unique_ptr<net_test::TSer2NetServer> Server;
    TMainForm* FormSeen = nullptr;
    std::atomic<bool> Armed{false};
    SimulatorOptions Options;
    Options.faults.silentCodes = {6};
    Options.onRequest = [&](const varnolink::sim::RequestRecord& Request) {
        if (Armed && Request.code == 6)
            QMetaObject::invokeMethod(FormSeen, [&Server] { Server->Kill(); }, Qt::QueuedConnection);
    };
    TModuleSimulator Simulator(std::move(Options));
    Simulator.Start();
    Server = std::make_unique<net_test::TSer2NetServer>(Simulator.DevicePath());
    const std::string Url = UrlOf(*Server, Kind);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Url});
    FormSeen = Form.get();
    Form->SetReplyTimeoutForTesting(1500);
    OpenNetworkPort(*Form, Url);
    QCOMPARE(Form->StatusConnect->text(), QString("Connect OK"));
    Simulator.ClearRequests();

    Armed = true;
    Click(Form->ReadConfig);
    QTest::qWait(400);   // room for a late second report

    const TFrames Reads = ReadChainFrames();
    QCOMPARE(Simulator.Requests(), TFrames(Reads.begin(), Reads.begin() + 7));
    QVERIFY(!Server->Running());
    QVERIFY2(Errors.Messages.size() == 1, qPrintable(Errors.Messages.join("\n---\n")));
    QTRY_VERIFY(!Form->ComPort1.Connected());
    QCOMPARE(Form->StatusConnect->text(), QString("Disconnect"));
    QCOMPARE(EnabledControls(*Form), Sorted({"ComboPort", "OpenPort"}));
}

void TTransactionsNetworkTest::RefusedConnectionShowsTheOpenErrorWithTheReason()
{
    const uint16_t Closed = net_test::TSer2NetServer::FreeLoopbackPort();
    const std::string Url = "rfc2217://127.0.0.1:" + std::to_string(Closed);
    TErrorRecorder Errors;
    const auto Form = ShowForm({Url});
    OpenNetworkPort(*Form, Url);
    QCOMPARE(Errors.Messages,
             QStringList{QString("Unable to open com port (win error code: 111)\nConnection refused by 127.0.0.1:%1")
                             .arg(Closed)});
    QVERIFY(!Form->ComPort1.Connected());
    QVERIFY(Form->OpenPort->isEnabled());   // the operator may try again
    QVERIFY(!Form->ReadConfig->isEnabled());
}

void TTransactionsNetworkTest::NetworkPortsComeFromTheVariableAndAreNotProbed()
{
    QCOMPARE(PortCandidatesFor("socket://box:4001:/tmp/a:RFC2217://[fe80::1]:4002:rfc2217://box:4001", "1"),
             (std::vector<std::string>{"socket://box:4001", "/tmp/a", "RFC2217://[fe80::1]:4002",
                                       "rfc2217://box:4001"}));
    // Listed as they are: nothing listens on this port, yet it is offered.
    const std::string Nobody = "rfc2217://127.0.0.1:" + std::to_string(net_test::TSer2NetServer::FreeLoopbackPort());
    QVERIFY(ProbePort(Nobody));
    QVERIFY(!ProbePort("/dev/no-such-device"));
}

QTEST_MAIN(TTransactionsNetworkTest)
#include "transactions_network_test.moc"
