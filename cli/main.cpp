// SPDX-License-Identifier: MIT
// varnolink: the command line of the VARNOLINK I/O configuration tool.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/command_table.h"
#include "cli/commands.h"
#include "cli/json_writer.h"

using namespace varnolink;

#ifndef VARNOLINK_VERSION
#define VARNOLINK_VERSION "unknown"
#endif

namespace {

// Ctrl-C and termination arrive on a signalfd that the connection's wait
// watches: the chain stops at once (a request on the line stays sent and
// unconfirmed), the port is closed and the program says what the module
// holds. The signals stay blocked, so a second Ctrl-C changes nothing.
class TStopSignals {
public:
    TStopSignals()
    {
        sigemptyset(&Set_);
        sigaddset(&Set_, SIGINT);
        sigaddset(&Set_, SIGTERM);
        sigaddset(&Set_, SIGHUP);
        if (sigprocmask(SIG_BLOCK, &Set_, nullptr) == 0)
            Fd_ = signalfd(-1, &Set_, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~TStopSignals()
    {
        if (Fd_ >= 0)
            close(Fd_);
    }
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    int Fd() const { return Fd_; }

private:
    sigset_t Set_{};
    int Fd_ = -1;
};

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> Words(argv + 1, argv + argc);
    TCliArguments Arguments;
    try {
        Arguments = ParseCliArguments(Words);
    } catch (const EUsage& Error) {
        return ReportUsageError(Words, Error.what(), std::cout, std::cerr);
    }
    if ((Arguments.Help || Arguments.Version) && Arguments.Json) {
        TJsonWriter Json;
        Json.BeginObject().Member("command", "");
        if (Arguments.Help)
            Json.Member("help", CliCommandUsageText(Arguments.Command));
        else
            Json.Member("version", VARNOLINK_VERSION);
        Json.Member("ok", true).Member("exit_code", static_cast<int64_t>(ExitDone)).EndObject();
        std::cout << Json.Text() << std::endl;
        return ExitDone;
    }
    if (Arguments.Help) {
        std::cout << CliCommandUsageText(Arguments.Command);
        return ExitDone;
    }
    if (Arguments.Version) {
        std::cout << "varnolink " << VARNOLINK_VERSION << "\n";
        return ExitDone;
    }
    Arguments.ErrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    const TStopSignals Stop;
    return RunCliCommand(Arguments, Stop.Fd(), std::cout, std::cerr);
}
