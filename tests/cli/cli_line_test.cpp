// SPDX-License-Identifier: MIT
// varnolink on lines that misbehave, against the simulator: an adapter that
// echoes, two modules on one line (also one answering a request late), a module at another line speed, and
// varnolink doctor's verdicts, also for a user who may not open the device.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

#include <sys/stat.h>
#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>

#include "sim/module_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/cli/json_output.h"
#include "tests/cli/varnolink_program.h"
#include "tests/support/scratch_folder.h"

namespace {

using cli_test::Json;
using cli_test::Program;
using cli_test::TFinished;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TSimulatorOptions;

class LineTroubles : public cli_test::TStateInScratchFolder {
protected:
    void StartModule(TSimulatorOptions Options)
    {
        Module_ = std::make_unique<TModuleSimulator>(std::move(Options));
        Module_->Start();
    }
    std::string Port() const { return Module_->DevicePath(); }
    static TFinished Varnolink(const std::vector<std::string>& Arguments) { return cli_test::Run(Program, Arguments); }

    // The doctor's verdict of each check, by name.
    static std::map<std::string, std::string> Verdicts(const QJsonObject& Doctor)
    {
        std::map<std::string, std::string> Found;
        for (const QJsonValue& Check : Doctor["checks"].toArray())
            Found[Check["check"].toString().toStdString()] = Check["verdict"].toString().toStdString();
        return Found;
    }

    std::unique_ptr<TModuleSimulator> Module_;
};

TEST_F(LineTroubles, AnEchoingAdapterWorksAndIsNamedInTheWireLogAndByTheDoctor)
{
    TSimulatorOptions Options;
    Options.Faults.Echo = true;
    StartModule(Options);
    const TFinished Read = Varnolink({"read", "-p", Port(), "-v"});
    EXPECT_EQ(Read.ExitCode, 0) << Read.Err;
    EXPECT_NE(Read.Err.find("the adapter echoes what it sends"), std::string::npos) << Read.Err;
    EXPECT_EQ(Read.Err.find("ignored"), std::string::npos) << "an echo is no noise: " << Read.Err;
    const QJsonObject Doctor = Json(Varnolink({"doctor", "-p", Port(), "--json"}));
    EXPECT_EQ(Verdicts(Doctor)["echo"], "warning");
    EXPECT_EQ(Verdicts(Doctor)["module"], "ok");
}

TEST_F(LineTroubles, TwoModulesOnOneLineAreRefusedBeforeAnyWrite)
{
    TSimulatorOptions Options;
    Options.Faults.Twin = true;
    StartModule(Options);
    const TFinished Write = Varnolink({"default", "-p", Port(), "--no-backup"});
    EXPECT_EQ(Write.ExitCode, 3);
    EXPECT_NE(Write.Err.find("more than one module answered on this line; connect one module at a time"),
              std::string::npos)
        << Write.Err;
    for (const std::string& Frame : Module_->Requests())
        EXPECT_NE(Frame[4], '1') << "a write went out: " << Frame;
    EXPECT_EQ(Verdicts(Json(Varnolink({"doctor", "-p", Port(), "--json"})))["module"], "fail");
}

const std::string WantedFile = "[module]\nremote_id = A7\nbaud = 57600\n"
                               "[direction]\nP0 = 5A\nP1 = 01\nP2 = 02\nP4 = 04\nP5 = 08\n"
                               "[power_on_default]\nP0 = FE\nP1 = 10\nP2 = 20\nP4 = 40\nP5 = 80\n";

// A command that writes, with its arguments for a port and a scratch folder;
// Loops: it waits for the next module until stopped (commission).
struct TWritingCommand {
    const char* Name;
    std::function<std::vector<std::string>(const std::string& Port, const test_support::TScratchFolder& Folder)>
        Arguments;
    bool Loops = false;
};

class SecondModuleLate : public LineTroubles, public testing::WithParamInterface<TWritingCommand> {};

// A second module answers every request 30 ms after the first, so each reply
// the tool hears is one request late: every writing command stops before its
// first write frame and says why.
TEST_P(SecondModuleLate, EveryWritingCommandStopsBeforeItsFirstWriteFrame)
{
    using namespace std::chrono_literals;
    TSimulatorOptions Options;
    Options.Faults.Twin = true;
    Options.Faults.TwinDelay = 30ms;
    StartModule(Options);
    cli_test::TChildProcess Child(Program, GetParam().Arguments(Port(), Folder_));
    if (GetParam().Loops) {
        EXPECT_TRUE(Child.WaitForErr("connect one module at a time", 60s)) << Child.ErrSoFar();
        Child.Signal(SIGINT);
    }
    const TFinished Run = Child.Finish();
    const std::string Said = Run.Out + Run.Err;
    if (!GetParam().Loops) {
        EXPECT_NE(Run.ExitCode, 0) << Said;
    }
    EXPECT_NE(Said.find("more than one module"), std::string::npos) << Said;
    EXPECT_NE(Said.find("connect one module at a time"), std::string::npos) << Said;
    EXPECT_FALSE(Module_->Requests().empty());
    for (const std::string& Frame : Module_->Requests())
        EXPECT_NE(Frame[4], '1') << "a write went out: " << Frame;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCommand, SecondModuleLate,
    testing::Values(TWritingCommand{"Default",
                                    [](const std::string& Port, const auto&) -> std::vector<std::string> {
                                        return {"default", "-p", Port};
                                    }},
                    TWritingCommand{"Write",
                                    [](const std::string& Port, const auto& Folder) -> std::vector<std::string> {
                                        return {"write", "-p", Port, Folder.Write("wanted.ini", WantedFile)};
                                    }},
                    TWritingCommand{
                        "Apply",
                        [](const std::string& Port, const auto& Folder) -> std::vector<std::string> {
                            Folder.Write("wanted.ini", WantedFile);
                            return {"apply", Folder.Write("plant.csv", "name,port,config\nm," + Port + ",wanted.ini\n"),
                                    "--backup-dir", Folder.Path("kept")};
                        }},
                    TWritingCommand{"Commission",
                                    [](const std::string& Port, const auto& Folder) -> std::vector<std::string> {
                                        return {"commission", "-p", Port,    Folder.Write("template.ini", WantedFile),
                                                "--ids",      "01", "--log", Folder.Path("log.csv")};
                                    },
                                    true}),
    [](const testing::TestParamInfo<TWritingCommand>& Info) { return std::string(Info.param.Name); });

TEST_F(LineTroubles, AModuleAtAnotherLineSpeedIsFoundAndReachedAtIt)
{
    TSimulatorOptions Options;
    Options.LineSpeed = 19200;
    StartModule(Options);
    EXPECT_EQ(Varnolink({"identify", "-p", Port(), "--line-speed", "9600"}).ExitCode, 3);
    const QJsonObject Found = Json(Varnolink({"find", "--speeds", Port(), "--json"}));
    EXPECT_EQ(Found["speeds"][0]["line_speed"].toInt(), 19200);
    EXPECT_EQ(Varnolink({"identify", "-p", Port(), "--line-speed", "19200"}).ExitCode, 0);
    const QJsonObject Doctor = Json(Varnolink({"doctor", "-p", Port(), "--json"}));
    EXPECT_EQ(Doctor["line_speed"].toInt(), 19200);
    EXPECT_EQ(Verdicts(Doctor)["line speed"], "warning");
}

TEST_F(LineTroubles, RS485ModeIsRefusedClearlyByADeviceWithoutIt)
{
    StartModule({});
    // Every command that opens one module's port puts it in the mode: commission as well.
    for (std::vector<std::string> Words : {std::vector<std::string>{"identify", "-p", Port()},
                                           {"commission", "-p", Port(), Folder_.Write("template.ini", WantedFile),
                                            "--ids", "01", "--log", Folder_.Path("log.csv")}}) {
        Words.insert(Words.end(), {"--rs485", "rts-on-send,delay-after=2"});
        const TFinished Run = Varnolink(Words);
        EXPECT_EQ(Run.ExitCode, 2) << Words[0];
        EXPECT_NE(Run.Err.find("the device has no RS-485 mode"), std::string::npos) << Run.Err;
    }
    EXPECT_TRUE(Module_->Requests().empty());
    EXPECT_EQ(Varnolink({"identify", "-p", Port(), "--rs485", "rts-sometimes"}).ExitCode, 1);
}

TEST_F(LineTroubles, TheDoctorTellsAUserWithoutTheDevicesGroupWhatToDo)
{
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root to run the doctor as a user without the group";
    StartModule({});
    struct stat Info {};
    ASSERT_EQ(::stat(Port().c_str(), &Info), 0);
    const std::string Group = ::getgrgid(Info.st_gid)->gr_name;
    const TFinished Run = cli_test::Run(
        "/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", Program, "doctor", "-p", Port()});
    EXPECT_EQ(Run.ExitCode, 2);
    EXPECT_NE(Run.Out.find("fail    access"), std::string::npos) << Run.Out;
    EXPECT_NE(Run.Out.find("belongs to the group \"" + Group + "\" and you are not in it"), std::string::npos)
        << Run.Out;
}

}  // namespace
