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
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"
#include "tests/support/pty_pair.h"

extern char** environ;

namespace varnolink::sim::test {
namespace {

const std::string kReadStatus = "*01:0,00=00\r\n";
const std::string kStatusReply = "*??:E01,00=00\r";

TEST(SimulatorLineTest, HostClosingAndReopeningItsSideKeepsWorking) {
    TModuleSimulator sim;
    sim.Start();
    for (int round = 0; round < 3; ++round) {
        TPtyHost host(sim.DevicePath());
        EXPECT_EQ(host.Exchange(kReadStatus), kStatusReply) << "round " << round;
    }
    EXPECT_TRUE(sim.LastError().empty()) << sim.LastError();
    EXPECT_EQ(sim.Requests().size(), 3u);
}

TEST(SimulatorLineTest, HangUpMakesTheHostSeeAHangUp) {
    TModuleSimulator sim;
    sim.Start();
    TPtyHost host(sim.DevicePath());
    ASSERT_EQ(host.Exchange(kReadStatus), kStatusReply);
    sim.HangUp();
    EXPECT_TRUE(sim.HungUp());
    EXPECT_TRUE(host.WaitForHangUp());
    EXPECT_FALSE(std::filesystem::exists(sim.DevicePath()));
    sim.Stop();  // and the destructor after it: both fine after a hang-up
}

TEST(SimulatorLineTest, HangUpBeforeStart) {
    TModuleSimulator sim;
    TPtyHost host(sim.DevicePath());
    sim.HangUp();
    EXPECT_TRUE(host.WaitForHangUp());
    sim.Start();
    EXPECT_TRUE(sim.HungUp());
}

TEST(SimulatorLineTest, LinkPointsAtTheSlaveAndIsRemovedAfterwards) {
    const auto link = std::filesystem::temp_directory_path() / ("varnolink-sim-link-" + std::to_string(::getpid()));
    {
        TSimulatorOptions options;
        options.LinkPath = link.string();
        TModuleSimulator sim(options);
        sim.Start();
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.DevicePath());
        TPtyHost host(link.string());
        EXPECT_EQ(host.Exchange(kReadStatus), kStatusReply);
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

// A pseudo-terminal made by the test, whose slave the simulator opens as an
// existing serial device while the test talks on the master.
TEST(SimulatorLineTest, AnswersOnAnExistingDeviceAndReportsItsLoss) {
    test_support::TPtyPair line;
    TSimulatorOptions options;
    options.DevicePath = line.SlavePath();
    options.DeviceBaud = 19200;
    TModuleSimulator sim(options);
    EXPECT_EQ(sim.DevicePath(), line.SlavePath());
    sim.Start();
    TPtyHost host(TUniqueFd(line.ReleaseMaster()));
    EXPECT_EQ(host.Exchange(kReadStatus), kStatusReply);

    // The far side of the device goes away: the simulator sees the line end.
    host.Close();
    EXPECT_TRUE(sim.WaitForHangUp(2000ms));
    EXPECT_NE(sim.LastError().find("read from the line"), std::string::npos) << sim.LastError();
}

// The program, run as a child with its standard output on a pipe.
class TSimulatorProcess {
public:
    explicit TSimulatorProcess(std::vector<std::string> arguments) {
        int outPipe[2];
        int errorPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errorPipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2");
        }
        Output_.Reset(outPipe[0]);
        Errors_.Reset(errorPipe[0]);
        TUniqueFd outWriteEnd(outPipe[1]);
        TUniqueFd errorWriteEnd(errorPipe[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outWriteEnd.Get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errorWriteEnd.Get(), STDERR_FILENO);
        arguments.insert(arguments.begin(), VARNOLINK_SIM_EXECUTABLE);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawn(&Pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) throw std::runtime_error("posix_spawn failed");
    }
    ~TSimulatorProcess() {
        if (Pid_ > 0) {
            ::kill(Pid_, SIGKILL);
            ::waitpid(Pid_, nullptr, 0);
        }
    }

    // Reads standard output up to the first newline, within `timeout`.
    std::string FirstLine(std::chrono::milliseconds timeout = 5000ms) {
        return ReadUntil(Output_, '\n', timeout);
    }
    // Reads standard error to its end (after Terminate), within `timeout`.
    std::string Errors(std::chrono::milliseconds timeout = 5000ms) { return ReadUntil(Errors_, '\0', timeout); }

    // Sends `signal` and returns the wait status.
    int Terminate(int signal) {
        ::kill(Pid_, signal);
        int status = 0;
        ::waitpid(Pid_, &status, 0);
        Pid_ = -1;
        return status;
    }

private:
    static std::string ReadUntil(const TUniqueFd& fd, char stop, std::chrono::milliseconds timeout) {
        const auto deadline = TTestClock::now() + timeout;
        std::string text;
        while (text.find(stop) == std::string::npos && TTestClock::now() < deadline) {
            pollfd ready{fd.Get(), POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TTestClock::now());
            if (::poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
            char buffer[256];
            const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    pid_t Pid_ = -1;
    TUniqueFd Output_;
    TUniqueFd Errors_;
};

TEST(SimulatorProgramTest, PrintsThePathFirstAnswersAndExitsCleanlyOnSigterm) {
    TSimulatorProcess program({"--id", "7E", "--lf", "--print-requests"});
    const std::string line = program.FirstLine();
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\n');
    const std::string path = line.substr(0, line.size() - 1);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        TPtyHost host(path);
        host.Write("*02:0,00=00\r\n");
        EXPECT_EQ(host.ReadLines(1, 2000ms, '\n'), "*??:E02,00=7E\r\n");
    }
    const int status = program.Terminate(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(program.Errors(), "*02:0,00=00\\r\\n\n");
}

TEST(SimulatorProgramTest, RefusesBadOptionsWithStatus2) {
    TSimulatorProcess program({"--name", "SHORT"});
    EXPECT_EQ(program.FirstLine(), "");
    int status = 0;
    status = program.Terminate(0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
}  // namespace varnolink::sim::test
