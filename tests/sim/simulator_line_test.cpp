// SPDX-License-Identifier: MIT
// The line around the simulated module: the host closing and reopening its
// side, the far end vanishing, the symbolic link, and the varnolink-sim program.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"
#include "tests/support/pty_pair.h"

extern char** environ;

namespace varnolink::sim::test {
namespace {

const std::string ReadStatus = "*01:0,00=00\r\n";
const std::string StatusReply = "*??:E01,00=00\r";

TEST(SimulatorLineTest, HostClosingAndReopeningItsSideKeepsWorking)
{
    TModuleSimulator Sim;
    Sim.Start();
    for (int Round = 0; Round < 3; ++Round) {
        TPtyHost Host(Sim.DevicePath());
        EXPECT_EQ(Host.Exchange(ReadStatus), StatusReply) << "round " << Round;
    }
    EXPECT_TRUE(Sim.LastError().empty()) << Sim.LastError();
    EXPECT_EQ(Sim.Requests().size(), 3u);
}

TEST(SimulatorLineTest, HangUpMakesTheHostSeeAHangUp)
{
    TModuleSimulator Sim;
    Sim.Start();
    TPtyHost Host(Sim.DevicePath());
    ASSERT_EQ(Host.Exchange(ReadStatus), StatusReply);
    Sim.HangUp();
    EXPECT_TRUE(Sim.HungUp());
    EXPECT_TRUE(Host.WaitForHangUp());
    EXPECT_FALSE(std::filesystem::exists(Sim.DevicePath()));
    Sim.Stop();  // and the destructor after it: both fine after a hang-up
}

TEST(SimulatorLineTest, HangUpBeforeStart)
{
    TModuleSimulator Sim;
    TPtyHost Host(Sim.DevicePath());
    Sim.HangUp();
    EXPECT_TRUE(Host.WaitForHangUp());
    Sim.Start();
    EXPECT_TRUE(Sim.HungUp());
}

TEST(SimulatorLineTest, LinkPointsAtTheSlaveAndIsRemovedAfterwards)
{
    const auto Link = std::filesystem::temp_directory_path() / ("varnolink-sim-link-" + std::to_string(::getpid()));
    {
        TSimulatorOptions Options;
        Options.LinkPath = Link.string();
        TModuleSimulator Sim(Options);
        Sim.Start();
        EXPECT_EQ(std::filesystem::read_symlink(Link).string(), Sim.DevicePath());
        TPtyHost Host(Link.string());
        EXPECT_EQ(Host.Exchange(ReadStatus), StatusReply);
    }
    EXPECT_FALSE(std::filesystem::is_symlink(Link));
}

void SetHostSpeed(const TPtyHost& Host, speed_t Speed)
{
    termios Settings{};
    ASSERT_EQ(::tcgetattr(Host.Fd(), &Settings), 0);
    ASSERT_EQ(::cfsetspeed(&Settings, Speed), 0);
    ASSERT_EQ(::tcsetattr(Host.Fd(), TCSANOW, &Settings), 0);
}

TEST(SimulatorLineTest, AnswersOnlyAtItsLineSpeed)
{
    TSimulatorOptions Options;
    Options.LineSpeed = 19200;
    TModuleSimulator Sim(Options);
    Sim.Start();
    TPtyHost Host(Sim.DevicePath());
    SetHostSpeed(Host, B9600);
    Host.Write(ReadStatus);
    Host.Write("*04:1,5A=00\r\n");
    ASSERT_TRUE(Sim.WaitForRequests(2, 2000ms));
    EXPECT_EQ(Host.ReadFor(100ms), "");
    for (const auto& Record : Sim.RequestLog()) {
        EXPECT_EQ(Record.Outcome, TRequestOutcome::WrongSpeed) << Record.Frame;
    }
    EXPECT_EQ(Sim.State(), TModuleState{}) << "a write at the wrong speed is not stored";

    SetHostSpeed(Host, B19200);
    EXPECT_EQ(Host.Exchange(ReadStatus), StatusReply);
    EXPECT_EQ(Sim.RequestLog().back().Outcome, TRequestOutcome::Answered);
}

// A pseudo-terminal made by the test, whose slave the simulator opens as an
// existing serial device while the test talks on the master.
TEST(SimulatorLineTest, AnswersOnAnExistingDeviceAndReportsItsLoss)
{
    test_support::TPtyPair Line;
    TSimulatorOptions Options;
    Options.DevicePath = Line.SlavePath();
    Options.DeviceBaud = 19200;
    TModuleSimulator Sim(Options);
    EXPECT_EQ(Sim.DevicePath(), Line.SlavePath());
    Sim.Start();
    TPtyHost Host(TUniqueFd(Line.ReleaseMaster()));
    EXPECT_EQ(Host.Exchange(ReadStatus), StatusReply);

    // The far side of the device goes away: the simulator sees the line end.
    Host.Close();
    EXPECT_TRUE(Sim.WaitForHangUp(2000ms));
    EXPECT_NE(Sim.LastError().find("read from the line"), std::string::npos) << Sim.LastError();
}

// The program, run as a child with its standard output on a pipe.
class TSimulatorProcess {
public:
    explicit TSimulatorProcess(std::vector<std::string> Arguments)
    {
        int OutPipe[2];
        int ErrorPipe[2];
        if (::pipe2(OutPipe, O_CLOEXEC) != 0 || ::pipe2(ErrorPipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2");
        }
        Output_.Reset(OutPipe[0]);
        Errors_.Reset(ErrorPipe[0]);
        TUniqueFd OutWriteEnd(OutPipe[1]);
        TUniqueFd ErrorWriteEnd(ErrorPipe[1]);
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_adddup2(&Actions, OutWriteEnd.Get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&Actions, ErrorWriteEnd.Get(), STDERR_FILENO);
        Arguments.insert(Arguments.begin(), VARNOLINK_SIM_EXECUTABLE);
        std::vector<char*> Argv;
        for (auto& Argument : Arguments)
            Argv.push_back(Argument.data());
        Argv.push_back(nullptr);
        const int Error = ::posix_spawn(&Pid_, Argv[0], &Actions, nullptr, Argv.data(), environ);
        posix_spawn_file_actions_destroy(&Actions);
        if (Error != 0)
            throw std::runtime_error("posix_spawn failed");
    }
    ~TSimulatorProcess()
    {
        if (Pid_ > 0) {
            ::kill(Pid_, SIGKILL);
            ::waitpid(Pid_, nullptr, 0);
        }
    }

    // Reads standard output up to the first newline, within `timeout`.
    std::string FirstLine(std::chrono::milliseconds Timeout = 5000ms) { return ReadUntil(Output_, '\n', Timeout); }
    // Reads standard error to its end (after Terminate), within `timeout`.
    std::string Errors(std::chrono::milliseconds Timeout = 5000ms) { return ReadUntil(Errors_, '\0', Timeout); }

    // Sends `signal` and returns the wait status.
    int Terminate(int Signal)
    {
        ::kill(Pid_, Signal);
        int Status = 0;
        ::waitpid(Pid_, &Status, 0);
        Pid_ = -1;
        return Status;
    }

private:
    static std::string ReadUntil(const TUniqueFd& Fd, char Stop, std::chrono::milliseconds Timeout)
    {
        const auto Deadline = TTestClock::now() + Timeout;
        std::string Text;
        while (Text.find(Stop) == std::string::npos && TTestClock::now() < Deadline) {
            pollfd Ready{Fd.Get(), POLLIN, 0};
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TTestClock::now());
            if (::poll(&Ready, 1, static_cast<int>(Left.count()) + 1) <= 0)
                continue;
            char Buffer[256];
            const ssize_t Got = ::read(Fd.Get(), Buffer, sizeof Buffer);
            if (Got <= 0)
                break;
            Text.append(Buffer, static_cast<std::size_t>(Got));
        }
        return Text;
    }

    pid_t Pid_ = -1;
    TUniqueFd Output_;
    TUniqueFd Errors_;
};

TEST(SimulatorProgramTest, PrintsThePathFirstAnswersAndExitsCleanlyOnSigterm)
{
    TSimulatorProcess Program({"--id", "7E", "--lf", "--print-requests"});
    const std::string Line = Program.FirstLine();
    ASSERT_FALSE(Line.empty());
    ASSERT_EQ(Line.back(), '\n');
    const std::string Path = Line.substr(0, Line.size() - 1);
    ASSERT_EQ(Path.rfind("/dev/pts/", 0), 0u) << Path;
    {
        TPtyHost Host(Path);
        Host.Write("*02:0,00=00\r\n");
        EXPECT_EQ(Host.ReadLines(1, 2000ms, '\n'), "*??:E02,00=7E\r\n");
    }
    const int Status = Program.Terminate(SIGTERM);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
    EXPECT_EQ(Program.Errors(), "*02:0,00=00\\r\\n\n");
}

TEST(SimulatorProgramTest, RefusesBadOptionsWithStatus2)
{
    TSimulatorProcess Program({"--name", "SHORT"});
    EXPECT_EQ(Program.FirstLine(), "");
    int Status = 0;
    Status = Program.Terminate(0);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 2);
}

}  // namespace
}  // namespace varnolink::sim::test
