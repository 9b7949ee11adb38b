// SPDX-License-Identifier: MIT
// varnolink as a program against the module simulator on a pseudo-terminal:
// every command and exit code, a silent module in the middle of a write, a
// module lost after each write, a corrupt file, Ctrl-C during a reply wait,
// the progress line, the first line of every error, and the --json output
// parsed back and checked against the schema.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <grp.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "main/files/config_file.h"
#include "main/window/port_candidates.h"
#include "sim/module_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/cli/json_output.h"
#include "tests/cli/varnolink_program.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/started_simulator.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;
using cli_test::Json;
using cli_test::Program;
using cli_test::TFinished;
using varnolink::sim::TFaults;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TModuleState;

const std::string WantedFile = "[module]\nremote_id = A7\nbaud = 57600\n"
                               "[direction]\nP0 = 5A\nP1 = 0b00000001\nP2 = 02\nP4 = 04\nP5 = 08\n"
                               "[power_on_default]\nP0 = FE\nP1 = 10\nP2 = 20\nP4 = 40\nP5 = 80\n";

std::string FirstLine(const std::string& Text)
{
    return Text.substr(0, Text.find('\n'));
}

// A local TCP port that listens (and never answers) or, closed, refuses.
class TLocalTcpPort {
public:
    explicit TLocalTcpPort(bool Listen) : Fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        ::bind(Fd_, reinterpret_cast<sockaddr*>(&Address), Length);
        ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&Address), &Length);
        Port_ = ntohs(Address.sin_port);
        if (Listen)
            ::listen(Fd_, 4);
    }
    ~TLocalTcpPort() { ::close(Fd_); }
    TLocalTcpPort(const TLocalTcpPort&) = delete;
    TLocalTcpPort& operator=(const TLocalTcpPort&) = delete;
    std::string Endpoint() const { return "127.0.0.1:" + std::to_string(Port_); }

private:
    int Fd_;
    int Port_ = 0;
};

// Backups kept before writes go to the test's own folder.
class VarnolinkProgram : public cli_test::TStateInScratchFolder {
protected:
    void StartModule(const TFaults& TFaults = {}, const TModuleState& State = {})
    {
        Simulator_ = test_support::StartSimulator(State, TFaults);
    }

    std::string File(const std::string& Name, const std::string& Text) { return Folder_.Write(Name, Text); }

    TFinished Varnolink(std::vector<std::string> Arguments, bool ErrOnTerminal = false)
    {
        return cli_test::Run(Program, Arguments, ErrOnTerminal);
    }

    std::string Port() const { return Simulator_->DevicePath(); }

    std::unique_ptr<TModuleSimulator> Simulator_;
};

TEST_F(VarnolinkProgram, HelpVersionAndUsageErrors)
{
    const TFinished Help = Varnolink({"--help"});
    EXPECT_EQ(Help.ExitCode, 0);
    EXPECT_NE(Help.Out.find("Exit status:"), std::string::npos);
    EXPECT_EQ(Varnolink({"--version"}).Out, "varnolink 1.0.0\n");
    for (const std::vector<std::string>& Wrong : {std::vector<std::string>{},
                                                  {"fetch"},
                                                  {"read"},
                                                  {"read", "-p"},
                                                  {"write", "-p", "x"},
                                                  {"ports", "--bogus"},
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
    EXPECT_NE(Text.Out.find(PortDisplayName(Other.DevicePath()) + " \u2014 pseudo-terminal  (in use by "),
              std::string::npos)
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
    EXPECT_EQ(Diff["differences"].toArray()[1].toObject()["actual"].toInt(), 115200);

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
    const TFinished Corrupt =
        Varnolink({"write", "-p", Port(), File("bad.ini", "[module]\nremote_id = A7\nbaud = 9601\n")});
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
    const TFinished Run = Varnolink({"write", "-p", Port(), File("w.ini", WantedFile), "--json", "--no-backup"});
    EXPECT_EQ(Run.ExitCode, 3);
    EXPECT_EQ(FirstLine(Run.Err), "varnolink: no reply to write P2 direction within 5000 ms");
    EXPECT_NE(Run.Err.find("written before it ended: remote_id, baud, direction.P0, direction.P1"), std::string::npos);
    const QJsonObject Result = Json(Run);
    EXPECT_EQ(Result["request"].toString(), "write P2 direction");
    EXPECT_EQ(Result["written"].toArray().size(), 4);
    EXPECT_EQ(Simulator_->Requests().size(), 6u);  // the identity and five writes
}

TEST_F(VarnolinkProgram, ReadBackThatDiffersNamesTheFields)
{
    // The module answers the write of P5's power-on default but keeps its 00:
    // the read-back finds it.
    TFaults Unkept;
    Unkept.UnstoredCodes = {13};
    TModuleState Held;
    Held.Defaults[4] = 0x00;
    StartModule(Unkept, Held);
    const TFinished Run = Varnolink({"write", "-p", Port(), File("w.ini", WantedFile), "--no-backup"});
    EXPECT_EQ(Run.ExitCode, 4);
    EXPECT_NE(Run.Err.find("read-back differs: power_on_default.P5 is 00, written 80"), std::string::npos) << Run.Err;
}

TEST_F(VarnolinkProgram, AWriteKeepsTheModulesConfigurationFirstAndRestoreBringsItBack)
{
    TModuleState Before;
    Before.RemoteId = 0x3C;
    Before.Directions[0] = 0x81;
    StartModule({}, Before);
    const QJsonObject Write = Json(Varnolink({"write", "-p", Port(), File("w.ini", WantedFile), "--json"}));
    const std::string Backup = Write["backup"].toString().toStdString();
    ASSERT_EQ(Backup.rfind(Folder_.Path("state") + "/varnolink/backups/", 0), 0u) << Backup;
    EXPECT_NE(Simulator_->State(), Before);
    // The backup was taken before the first write frame: the reads come first.
    const std::vector<std::string> Frames = Simulator_->Requests();
    const auto FirstWrite =
        std::find_if(Frames.begin(), Frames.end(), [](const std::string& F) { return F[4] == '1'; });
    EXPECT_EQ(FirstWrite - Frames.begin(), 15) << "the identity, then the fourteen reads of the backup";

    EXPECT_EQ(Varnolink({"restore", "-p", Port(), Backup}).ExitCode, 0);
    EXPECT_EQ(Simulator_->State(), Before);
    const TFinished Listed = Varnolink({"backups"});
    EXPECT_NE(Listed.Out.find(Backup), std::string::npos) << Listed.Out;

    // A backup that cannot be kept: nothing is written.
    ::setenv("XDG_STATE_HOME", File("not-a-folder", "").c_str(), 1);
    Simulator_->ClearRequests();
    const TFinished Refused = Varnolink({"default", "-p", Port()});
    EXPECT_EQ(Refused.ExitCode, 1);
    for (const std::string& Frame : Simulator_->Requests())
        EXPECT_NE(Frame[4], '1') << Frame;
}

TEST_F(VarnolinkProgram, CtrlCDuringAReplyWaitEndsAtOnceWithTheRequestUnconfirmed)
{
    TFaults Silent;
    Silent.SilentCodes = {6};
    StartModule(Silent);
    cli_test::TChildProcess Child(Program, {"write", "-p", Port(), File("w.ini", WantedFile), "--no-backup"});
    ASSERT_TRUE(Simulator_->WaitForRequests(6, 20s));  // the identity and five writes, the last unanswered
    const auto Pressed = std::chrono::steady_clock::now();
    Child.Signal(SIGINT);
    Child.Signal(SIGINT);  // a second Ctrl-C changes nothing
    const TFinished Run = Child.Finish();
    const auto Took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - Pressed);
    RecordProperty("ctrl_c_to_exit_us", static_cast<int>(Took.count()));
    EXPECT_EQ(Run.ExitCode, 130);
    EXPECT_LT(Took, 1000ms);  // 0.2 s promised; room for sanitizers and a loaded machine
    EXPECT_EQ(FirstLine(Run.Err), "varnolink: stopped on request");
    EXPECT_NE(Run.Err.find("written before it ended: remote_id, baud, direction.P0, direction.P1\n"
                           "varnolink: sent, not confirmed: direction.P2\n"
                           "varnolink: not sent: direction.P4, "),
              std::string::npos)
        << Run.Err;
    EXPECT_EQ(ProbePortState(Port()), TPortState::Free);
}

// The module vanishes (its adapter unplugged) while the write after the
// N-th is awaited: the N acknowledged fields are named as written, the one
// on the line as unconfirmed, the rest as not sent, in text and in JSON.
TEST_F(VarnolinkProgram, DeviceLostAfterEachOfTheTwelveWritesNamesWhatTheModuleHolds)
{
    const std::string Wanted = File("w.ini", WantedFile);
    const std::vector<std::string> Fields =
        ModuleConfigFieldNames({ModuleConfigFields.begin(), ModuleConfigFields.end()});
    for (std::size_t Written = 1; Written <= Fields.size(); ++Written) {
        TFaults Faults;
        Faults.SilentFromRequest = Written + 2;  // request 1 is the identity
        StartModule(Faults);
        cli_test::TChildProcess Child(Program, {"write", "-p", Port(), Wanted, "--json", "--no-backup"});
        ASSERT_TRUE(Simulator_->WaitForRequests(Written + 2, 20s));
        Simulator_->HangUp();
        const TFinished Run = Child.Finish();
        SCOPED_TRACE("lost after write " + std::to_string(Written));
        EXPECT_EQ(Run.ExitCode, 2);
        EXPECT_EQ(FirstLine(Run.Err).rfind("varnolink: the device " + Port() + " has stopped working", 0), 0u)
            << Run.Err;
        const std::vector<std::string> Held(Fields.begin(), Fields.begin() + static_cast<std::ptrdiff_t>(Written));
        std::string Listed;
        for (const std::string& Name : Held)
            Listed += (Listed.empty() ? "" : ", ") + Name;
        EXPECT_NE(Run.Err.find("written before it ended: " + Listed + "\n"), std::string::npos) << Run.Err;
        const QJsonObject Result = Json(Run);
        QStringList JsonWritten;
        for (const QJsonValue& Name : Result["written"].toArray())
            JsonWritten << Name.toString();
        EXPECT_EQ(JsonWritten.join(',').toStdString(), QString::fromStdString(Listed).remove(' ').toStdString());
        if (Written < Fields.size())
            EXPECT_EQ(Result["unconfirmed"].toString().toStdString(), Fields[Written]);
        else
            EXPECT_TRUE(Result["unconfirmed"].isNull());  // the read-back's first request carries no field
        EXPECT_EQ(Result["not_sent"].toArray().size(),
                  static_cast<qsizetype>(Fields.size() - Written - (Written < Fields.size() ? 1 : 0)));
    }
}

TEST_F(VarnolinkProgram, ProgressLineOnATerminalOnlyAndNotWithQuiet)
{
    // A silent module: the whole wait is counted down, whatever the timing
    // of the machine, so every second must be shown, once each, in order.
    TFaults Silent;
    Silent.SilentFromRequest = 1;
    StartModule(Silent);
    const TFinished Terminal = Varnolink({"identify", "-p", Port()}, true);
    EXPECT_EQ(Terminal.ExitCode, 3);
    std::vector<std::string> Shown;
    for (std::size_t At = Terminal.Err.find("\r\033[K"); At != std::string::npos;) {
        const std::size_t Next = Terminal.Err.find("\r\033[K", At + 1);
        Shown.push_back(Terminal.Err.substr(At + 4, Next == std::string::npos ? Next : Next - At - 4));
        At = Next;
    }
    const std::string Waiting = "read identity (1 of 1), reply awaited, ";
    std::vector<std::string> Countdown;
    for (const std::string& Line : Shown)
        if (Line.rfind(Waiting, 0) == 0)
            Countdown.push_back(Line.substr(Waiting.size()));
    EXPECT_EQ(Countdown, (std::vector<std::string>{"5 s left", "4 s left", "3 s left", "2 s left", "1 s left"}))
        << Terminal.Err;
    // Erased before the error is written.
    EXPECT_NE(Terminal.Err.find("\r\033[Kvarnolink: "), std::string::npos) << Terminal.Err;

    StartModule();
    const TFinished Answered = Varnolink({"identify", "-p", Port()}, true);
    EXPECT_EQ(Answered.ExitCode, 0);
    EXPECT_NE(Answered.Err.find("\r\033[Kread identity (1 of 1), reply awaited, 5 s left"), std::string::npos)
        << Answered.Err;
    EXPECT_EQ(Answered.Err.substr(Answered.Err.size() - 4), "\r\033[K");
    EXPECT_EQ(Varnolink({"identify", "-p", Port(), "--quiet"}, true).Err, "");
    const TFinished Piped = Varnolink({"identify", "-p", Port()});
    EXPECT_EQ(Piped.ExitCode, 0);
    EXPECT_EQ(Piped.Err, "");
}

TEST_F(VarnolinkProgram, EveryErrorLeadsWithPlainWordsAndARemedy)
{
    StartModule();
    const int Held = ::open(Port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(Held, LOCK_EX | LOCK_NB), 0);
    const TFinished Busy = Varnolink({"identify", "-p", Port()});
    ::close(Held);
    const TLocalTcpPort Closed(false);
    const TLocalTcpPort Silent(true);
    // The holder as the system names this process.
    std::string Comm;
    std::getline(std::ifstream("/proc/self/comm"), Comm);
    struct TCase {
        TFinished Run;
        int ExitCode;
        std::string FirstLine;
    };
    std::vector<TCase> Cases{
        {Varnolink({"read"}), 1, "varnolink: read needs the port: -p PORT"},
        {Varnolink({"read", "-p", Port(), "-o", "/nonexistent/x.ini"}), 1,
         "varnolink: /nonexistent/x.ini: cannot be written: No such file or directory"},
        {Varnolink({"identify", "-p", "/dev/varnolink-none"}), 2,
         "varnolink: there is no serial device /dev/varnolink-none: is the adapter plugged in? 'varnolink ports' "
         "lists the ports"},
        {Busy, 2,
         "varnolink: the port " + Port() + " is busy, in use by " + Comm + ", process " + std::to_string(::getpid()) +
             ": end that program (or close its port) and try again"},
        {Varnolink({"identify", "-p", "socket://varnolink-no-such-host.invalid:4000"}), 2,
         "varnolink: unknown host \"varnolink-no-such-host.invalid\": check the name in "
         "socket://varnolink-no-such-host.invalid:4000 (or give the address)"},
        {Varnolink({"identify", "-p", "socket://" + Closed.Endpoint()}), 2,
         "varnolink: " + Closed.Endpoint() +
             " refused the connection: is the serial server running and listening "
             "on that port?"},
        {Varnolink({"identify", "-p", "rfc2217://" + Silent.Endpoint()}), 2,
         "varnolink: " + Silent.Endpoint() +
             " accepted the connection but did not negotiate the serial line (RFC 2217) in time: is it an RFC 2217 "
             "server? try socket://" +
             Silent.Endpoint()},
    };
    // A user outside the pty's group: only root can run the program as one.
    if (::getuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0) {
        struct stat Info {};
        ASSERT_EQ(::stat(Port().c_str(), &Info), 0);
        const std::string Group = ::getgrgid(Info.st_gid)->gr_name;
        Cases.push_back(
            {cli_test::Run("/usr/bin/setpriv",
                           {"--reuid=65534", "--regid=65534", "--clear-groups", Program, "identify", "-p", Port()}),
             2,
             "varnolink: permission denied: " + Port() + " belongs to the group \"" + Group +
                 "\" and you are not in it: sudo usermod -aG " + Group + " nobody, then log out and in again"});
    }
    for (const TCase& Case : Cases) {
        EXPECT_EQ(FirstLine(Case.Run.Err), Case.FirstLine) << Case.Run.Err;
        EXPECT_EQ(Case.Run.ExitCode, Case.ExitCode) << Case.FirstLine;
        // The component's own message follows.
        if (Case.ExitCode == 2) {
            EXPECT_NE(Case.Run.Err.find("\nvarnolink: cannot open "), std::string::npos) << Case.Run.Err;
        }
    }
}

// Every command, usage errors included, prints one object that fits the
// schema (checked by Json), in the command's name.
TEST_F(VarnolinkProgram, EveryCommandsJsonFitsTheSchema)
{
    StartModule();
    const std::string Wanted = File("w.ini", WantedFile);
    const std::string Template = File("t.ini", WantedFile);
    ::setenv("VARNOLINK_NO_SCAN", "1", 1);
    ::setenv("VARNOLINK_PORTS", Port().c_str(), 1);
    const struct {
        std::vector<std::string> Arguments;
        QString Command;
    } Runs[] = {
        {{"ports"}, "ports"},
        {{"identify", "-p", Port()}, "identify"},
        {{"read", "-p", Port()}, "read"},
        {{"write", "-p", Port(), Wanted, "--keep", "module"}, "write"},
        {{"diff", "-p", Port(), Wanted}, "diff"},
        {{"default", "-p", Port()}, "default"},
        {{"commission", "-p", Port(), Template, "--ids", "05", "--dry-run"}, "commission"},
        {{"commission", "-p", Port(), Template, "--ids", "05"}, "commission"},
        {{"write", "-p", Port(), Wanted, "--keep", "nothing"}, "write"},
        {{"diff", "-p", Port()}, "diff"},
        {{"frobnicate"}, ""},
        {{"--version"}, ""},
    };
    for (const auto& Case : Runs) {
        std::vector<std::string> Arguments = Case.Arguments;
        Arguments.push_back("--json");
        const TFinished Run = Varnolink(Arguments);
        EXPECT_EQ(Json(Run)["command"].toString(), Case.Command) << Run.Out;
        EXPECT_EQ(Run.Out.find('\n'), Run.Out.size() - 1) << Run.Out;  // one object, one line
    }
    EXPECT_EQ(Simulator_->State().RemoteId, 0x05);  // the commission's
}

}  // namespace
