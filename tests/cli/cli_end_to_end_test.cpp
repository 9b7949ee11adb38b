// SPDX-License-Identifier: MIT
// varnolink as a program against the module simulator on a pseudo-terminal:
// every command and exit code, a silent module in the middle of a write, a
// corrupt file, Ctrl-C during a write, and the --json output parsed back.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <signal.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "main/files/config_file.h"
#include "main/window/port_candidates.h"
#include "sim/module_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/started_simulator.h"

namespace {

using namespace std::chrono_literals;
using cli_test::TFinished;
using varnolink::sim::TFaults;
using varnolink::sim::TModuleState;
using varnolink::sim::TModuleSimulator;

const std::string Program = VARNOLINK_CLI_EXECUTABLE;

const std::string WantedFile = "[module]\nremote_id = A7\nbaud = 57600\n"
                               "[direction]\nP0 = 5A\nP1 = 0b00000001\nP2 = 02\nP4 = 04\nP5 = 08\n"
                               "[power_on_default]\nP0 = FE\nP1 = 10\nP2 = 20\nP4 = 40\nP5 = 80\n";

QJsonObject Json(const TFinished& Run)
{
    QJsonParseError Error{};
    const QJsonDocument Document = QJsonDocument::fromJson(QByteArray::fromStdString(Run.Out), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << Run.Out;
    return Document.object();
}

class VarnolinkProgram : public testing::Test {
protected:
    void StartModule(const TFaults& TFaults = {}, const TModuleState& State = {})
    {
        Simulator_ = test_support::StartSimulator(State, TFaults);
    }

    std::string File(const std::string& Name, const std::string& Text) { return Folder_.Write(Name, Text); }

    TFinished Varnolink(std::vector<std::string> Arguments)
    {
        return cli_test::Run(Program, Arguments);
    }

    std::string Port() const { return Simulator_->DevicePath(); }

    test_support::TScratchFolder Folder_;
    std::unique_ptr<TModuleSimulator> Simulator_;
};

TEST_F(VarnolinkProgram, HelpVersionAndUsageErrors)
{
    const TFinished Help = Varnolink({"--help"});
    EXPECT_EQ(Help.ExitCode, 0);
    EXPECT_NE(Help.Out.find("Exit status:"), std::string::npos);
    EXPECT_EQ(Varnolink({"--version"}).Out, "varnolink 1.0.0\n");
    for (const std::vector<std::string>& Wrong :
         {std::vector<std::string>{}, {"fetch"}, {"read"}, {"read", "-p"}, {"write", "-p", "x"}, {"ports", "--bogus"},
          {"read", "-p", "x", "--id", "01"}}) {
        const TFinished Run = Varnolink(Wrong);
        EXPECT_EQ(Run.ExitCode, 1) << Run.Err;
        EXPECT_NE(Run.Err.find("varnolink: "), std::string::npos);
    }
}

TEST_F(VarnolinkProgram, PortsListsFreeAndBusyPortsAsTheWindowWould)
{
    StartModule();
    TModuleSimulator Other;
    const int Held = ::open(Other.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(Held, LOCK_EX | LOCK_NB), 0);
    ::setenv("VARNOLINK_NO_SCAN", "1", 1);
    ::setenv("VARNOLINK_PORTS", (Port() + ":" + Other.DevicePath() + ":/dev/varnolink-none").c_str(), 1);
    const TFinished Text = Varnolink({"ports"});
    const TFinished Machine = Varnolink({"ports", "--json"});
    ::close(Held);
    EXPECT_EQ(Text.ExitCode, 0);
    // Described as the window lists them; the holder is this test process.
    const std::string Holder = "process " + std::to_string(::getpid());
    EXPECT_EQ(Text.Out.substr(0, Text.Out.find('\n')), PortDisplayName(Port()) + " \u2014 pseudo-terminal");
    EXPECT_NE(Text.Out.find(PortDisplayName(Other.DevicePath()) + " \u2014 pseudo-terminal  (in use by "), std::string::npos)
        << Text.Out;
    EXPECT_NE(Text.Out.find(Holder + ")\n"), std::string::npos) << Text.Out;
    const QJsonArray Ports = Json(Machine)["ports"].toArray();
    ASSERT_EQ(Ports.size(), 2);
    EXPECT_EQ(Ports[0].toObject()["path"].toString().toStdString(), Port());
    EXPECT_EQ(Ports[0].toObject()["state"].toString(), "free");
    EXPECT_EQ(Ports[1].toObject()["state"].toString(), "busy");
    EXPECT_TRUE(Ports[1].toObject()["holder"].toString().endsWith(QString::fromStdString(Holder)));
}

TEST_F(VarnolinkProgram, IdentifyAndReadInTextAndJson)
{
    TModuleState State;
    State.RemoteId = 0x3C;
    StartModule({}, State);
    const TFinished Identify = Varnolink({"identify", "-p", Port()});
    EXPECT_EQ(Identify.ExitCode, 0);
    EXPECT_EQ(Identify.Out, "BIOS name: VARNOLINK I/O\nBIOS version: 1.00a\n");

    const std::string Saved = Folder_.Path("module.ini");
    EXPECT_EQ(Varnolink({"read", "--port", Port(), "-o", Saved}).ExitCode, 0);
    const TConfigFile File = LoadConfigFile(Saved);
    EXPECT_EQ(File.Config.RemoteId, 0x3C);
    EXPECT_EQ(File.Identity.BiosName, "VARNOLINK I/O");

    const QJsonObject Read = Json(Varnolink({"--json", "read", "-p", Port()}));
    EXPECT_EQ(Read["exit_code"].toInt(), 0);
    EXPECT_EQ(Read["config"].toObject()["remote_id"].toString(), "3C");
    EXPECT_EQ(Read["config"].toObject()["baud"].toInt(), 9600);
    EXPECT_EQ(Read["config"].toObject()["direction"].toObject()["P2"].toString(), "F0");
}

TEST_F(VarnolinkProgram, WriteVerifiesDiffAndDefault)
{
    StartModule();
    const std::string Wanted = File("wanted.ini", WantedFile);
    const TFinished Write = Varnolink({"write", "-p", Port(), Wanted, "--baud", "115200", "--id", "0b00000111"});
    EXPECT_EQ(Write.ExitCode, 0) << Write.Err;
    const TModuleState Written = Simulator_->State();
    EXPECT_EQ(Written.RemoteId, 0x07);
    EXPECT_EQ(Written.BaudIndex, 7);
    EXPECT_EQ(Written.Directions, (std::array<uint8_t, 5>{0x5A, 0x01, 0x02, 0x04, 0x08}));
    EXPECT_EQ(Written.Defaults, (std::array<uint8_t, 5>{0xFE, 0x10, 0x20, 0x40, 0x80}));

    const TFinished Same = Varnolink({"diff", "-p", Port(), Wanted});
    EXPECT_EQ(Same.ExitCode, 4);
    EXPECT_EQ(Same.Out, "remote_id: file A7, module 07\nbaud: file 57600, module 115200\n");
    const QJsonObject Diff = Json(Varnolink({"diff", "-p", Port(), Wanted, "--json"}));
    EXPECT_EQ(Diff["exit_code"].toInt(), 4);
    EXPECT_EQ(Diff["differences"].toArray().size(), 2);
    EXPECT_EQ(Diff["differences"].toArray()[1].toObject()["actual"].toString(), "115200");

    const QJsonObject Default = Json(Varnolink({"default", "-p", Port(), "--json"}));
    EXPECT_EQ(Default["exit_code"].toInt(), 0);
    EXPECT_EQ(Default["written"].toArray().size(), 12);
    EXPECT_EQ(Simulator_->State(), TModuleState::Factory());
    EXPECT_EQ(Varnolink({"diff", "-p", Port(), File("factory.ini", ConfigFileText(FactoryModuleConfig))}).Out,
              "no differences\n");
}

TEST_F(VarnolinkProgram, CorruptOrPartialFileIsRefusedBeforeThePortIsTouched)
{
    StartModule();
    const TFinished Corrupt = Varnolink({"write", "-p", Port(), File("bad.ini", "[module]\nremote_id = A7\nbaud = 9601\n")});
    EXPECT_EQ(Corrupt.ExitCode, 1);
    EXPECT_NE(Corrupt.Err.find("bad.ini:3: key \"baud\": \"9601\" is not one of the rates"), std::string::npos)
        << Corrupt.Err;
    const std::string Partial = File("partial.ini", "[module]\nremote_id = 42\n[direction]\nP2 = F0\n");
    const TFinished Refused = Varnolink({"write", "-p", Port(), Partial});
    EXPECT_EQ(Refused.ExitCode, 1);
    EXPECT_NE(Refused.Err.find("--keep baud, direction.P0"), std::string::npos) << Refused.Err;
    EXPECT_TRUE(Simulator_->Requests().empty());

    TModuleState State;
    State.Directions = {0x11, 0x22, 0x33, 0x44, 0x55};
    Simulator_->SetState(State);
    const std::string Keep = "baud,direction.P0,direction.P1,direction.P4,direction.P5,power_on_default.P0,"
                             "power_on_default.P1,power_on_default.P2,power_on_default.P4,power_on_default.P5";
    const TFinished Kept = Varnolink({"write", "-p", Port(), Partial, "--keep", Keep});
    EXPECT_EQ(Kept.ExitCode, 0) << Kept.Err;
    EXPECT_EQ(Simulator_->State().RemoteId, 0x42);
    EXPECT_EQ(Simulator_->State().Directions, (std::array<uint8_t, 5>{0x11, 0x22, 0xF0, 0x44, 0x55}));
}

TEST_F(VarnolinkProgram, PortThatCannotBeOpenedGivesTheLinuxReason)
{
    const TFinished Run = Varnolink({"identify", "-p", "/dev/varnolink-none", "--json"});
    EXPECT_EQ(Run.ExitCode, 2);
    EXPECT_NE(Run.Err.find("cannot open /dev/varnolink-none: Unable to open com port"), std::string::npos) << Run.Err;
    EXPECT_NE(Run.Err.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(Json(Run)["error"].toObject()["kind"].toString(), "port");
}

TEST_F(VarnolinkProgram, SilenceInTheMiddleOfAWriteNamesTheRequest)
{
    TFaults Silent;
    Silent.SilentCodes = {6};
    StartModule(Silent);
    const TFinished Run = Varnolink({"write", "-p", Port(), File("w.ini", WantedFile), "--json"});
    EXPECT_EQ(Run.ExitCode, 3);
    EXPECT_NE(Run.Err.find("no reply to write P2 direction within 5000 ms"), std::string::npos) << Run.Err;
    EXPECT_NE(Run.Err.find("written before it ended: remote_id, baud, direction.P0, direction.P1"), std::string::npos);
    const QJsonObject Result = Json(Run);
    EXPECT_EQ(Result["request"].toString(), "write P2 direction");
    EXPECT_EQ(Result["written"].toArray().size(), 4);
    EXPECT_EQ(Simulator_->Requests().size(), 6u);  // the identity and five writes
}

TEST_F(VarnolinkProgram, ReadBackThatDiffersNamesTheFields)
{
    // After every reply a line that says P5's power-on default is 00: the
    // read-back ends on it.
    TFaults Lying;
    Lying.Noise.Text = "*??:E13,00=00\r";
    Lying.Noise.Placement = varnolink::sim::TNoisePlacement::AfterReply;
    StartModule(Lying);
    const TFinished Run = Varnolink({"write", "-p", Port(), File("w.ini", WantedFile)});
    EXPECT_EQ(Run.ExitCode, 4);
    EXPECT_NE(Run.Err.find("read-back differs: power_on_default.P5 is 00, written 80"), std::string::npos) << Run.Err;
}

TEST_F(VarnolinkProgram, CtrlCDuringAWriteStopsAfterTheRequestOnTheLine)
{
    TFaults Slow;
    Slow.ReplyDelay = 300ms;
    StartModule(Slow);
    cli_test::TChildProcess Child(Program, {"-v", "write", "-p", Port(), File("w.ini", WantedFile)});
    ASSERT_TRUE(Child.WaitForErr("write baud rate", 20s));
    Child.Signal(SIGINT);
    const TFinished Run = Child.Finish();
    EXPECT_EQ(Run.ExitCode, 130);
    EXPECT_NE(Run.Err.find("stopped on request"), std::string::npos) << Run.Err;
    EXPECT_NE(Run.Err.find("written before it ended: remote_id, baud\n"), std::string::npos) << Run.Err;
    EXPECT_EQ(Simulator_->Requests().size(), 3u);
    EXPECT_EQ(ProbePortState(Port()), TPortState::Free);
}

}  // namespace
