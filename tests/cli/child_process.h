// SPDX-License-Identifier: MIT
#pragma once

// Runs a program as a child process with its output on pipes, for the end-to-
// end tests of varnolink: read its stderr until a text appears, send it a
// signal, collect everything and its exit status. Waits are bounded by
// deadlines and sleep in poll().

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace cli_test {

struct TFinished {
    int ExitCode = -1;  // 128 + signal number when killed by a signal
    std::string Out;
    std::string Err;
};

class TChildProcess {
public:
    // ErrOnTerminal: the child's stderr is a pseudo-terminal (read here as
    // a pipe would be), for what a program shows only on a terminal.
    TChildProcess(const std::string& Program, const std::vector<std::string>& Arguments, bool ErrOnTerminal = false);
    ~TChildProcess();  // kills a child still running
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Reads stdout and stderr until stderr holds Text; false on timeout or end.
    bool WaitForErr(const std::string& Text, std::chrono::milliseconds Timeout);
    // What stderr held so far (after WaitForErr: up to and past Text).
    const std::string& ErrSoFar() const { return Result_.Err; }
    void Signal(int Number);
    pid_t Pid() const { return Pid_; }
    // Reads to the end and reaps the child.
    TFinished Finish(std::chrono::milliseconds Timeout = std::chrono::seconds(60));

private:
    // One pass of reading whatever is ready, waiting at most Timeout; false at the end of both pipes.
    bool Pump(std::chrono::milliseconds Timeout);

    pid_t Pid_ = -1;
    int OutFd_ = -1;
    int ErrFd_ = -1;
    TFinished Result_;
};

// Runs to its end.
TFinished Run(const std::string& Program, const std::vector<std::string>& Arguments, bool ErrOnTerminal = false);

}  // namespace cli_test
