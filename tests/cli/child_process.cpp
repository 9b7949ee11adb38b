// SPDX-License-Identifier: MIT
#include "tests/cli/child_process.h"

#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace cli_test {

namespace {

using TClock = std::chrono::steady_clock;

void ReadReady(int& Fd, std::string& Into)
{
    std::array<char, 4096> Buffer{};
    const ssize_t Got = ::read(Fd, Buffer.data(), Buffer.size());
    if (Got > 0) {
        Into.append(Buffer.data(), static_cast<std::size_t>(Got));
    } else if (Got == 0 || (errno != EINTR && errno != EAGAIN)) {
        // A terminal's master reads EIO once the child's side is closed.
        ::close(Fd);
        Fd = -1;
    }
}

}  // namespace

TChildProcess::TChildProcess(const std::string& Program, const std::vector<std::string>& Arguments, bool ErrOnTerminal)
{
    int OutPipe[2];
    int ErrPipe[2];
    if (::pipe2(OutPipe, O_CLOEXEC) != 0 || ::pipe2(ErrPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    if (ErrOnTerminal) {
        ::close(ErrPipe[0]);
        ::close(ErrPipe[1]);
        test_support::TPtyPair Terminal;
        ErrPipe[1] = ::open(Terminal.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (ErrPipe[1] < 0)
            throw std::runtime_error("cannot open the terminal's other side");
        ErrPipe[0] = Terminal.ReleaseMaster();
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, OutPipe[1], 1);
    posix_spawn_file_actions_adddup2(&Actions, ErrPipe[1], 2);
    std::vector<char*> Argv;
    Argv.push_back(const_cast<char*>(Program.c_str()));
    for (const std::string& Argument : Arguments)
        Argv.push_back(const_cast<char*>(Argument.c_str()));
    Argv.push_back(nullptr);
    const int Failed = ::posix_spawn(&Pid_, Program.c_str(), &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(OutPipe[1]);
    ::close(ErrPipe[1]);
    OutFd_ = OutPipe[0];
    ErrFd_ = ErrPipe[0];
    if (Failed != 0)
        throw std::runtime_error("cannot start " + Program);
}

TChildProcess::~TChildProcess()
{
    if (Pid_ > 0) {
        ::kill(Pid_, SIGKILL);
        ::waitpid(Pid_, nullptr, 0);
    }
    for (const int Fd : {OutFd_, ErrFd_})
        if (Fd >= 0)
            ::close(Fd);
}

bool TChildProcess::Pump(std::chrono::milliseconds Timeout)
{
    std::array<pollfd, 2> Watched{{{OutFd_, POLLIN, 0}, {ErrFd_, POLLIN, 0}}};
    if (OutFd_ < 0 && ErrFd_ < 0)
        return false;
    if (::poll(Watched.data(), Watched.size(), static_cast<int>(Timeout.count())) <= 0)
        return true;
    if (Watched[0].revents != 0)
        ReadReady(OutFd_, Result_.Out);
    if (Watched[1].revents != 0)
        ReadReady(ErrFd_, Result_.Err);
    return true;
}

bool TChildProcess::WaitForErr(const std::string& Text, std::chrono::milliseconds Timeout)
{
    const TClock::time_point Deadline = TClock::now() + Timeout;
    while (Result_.Err.find(Text) == std::string::npos) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
        if (Left.count() <= 0 || !Pump(Left))
            return false;
    }
    return true;
}

void TChildProcess::Signal(int Number)
{
    ::kill(Pid_, Number);
}

TFinished TChildProcess::Finish(std::chrono::milliseconds Timeout)
{
    const TClock::time_point Deadline = TClock::now() + Timeout;
    while (OutFd_ >= 0 || ErrFd_ >= 0) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
        if (Left.count() <= 0)
            break;
        Pump(Left);
    }
    int Status = 0;
    if (OutFd_ >= 0 || ErrFd_ >= 0)
        ::kill(Pid_, SIGKILL);
    ::waitpid(Pid_, &Status, 0);
    Pid_ = -1;
    Result_.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    return Result_;
}

TFinished Run(const std::string& Program, const std::vector<std::string>& Arguments, bool ErrOnTerminal)
{
    TChildProcess Child(Program, Arguments, ErrOnTerminal);
    return Child.Finish();
}

}  // namespace cli_test
