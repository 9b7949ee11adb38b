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
#include "cli/commands.h"

#ifndef VARNOLINK_VERSION
#define VARNOLINK_VERSION "unknown"
#endif

namespace {

// Ctrl-C and termination arrive on a signalfd that the connection's wait
// watches: the request on the line finishes, the chain stops, the port is
// closed and the program says what was written.
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
    TCliArguments Arguments;
    try {
        Arguments = ParseCliArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EUsage& Error) {
        std::cerr << "varnolink: " << Error.what() << "\nTry 'varnolink --help'." << std::endl;
        return ExitUsageOrFile;
    }
    if (Arguments.Help) {
        std::cout << CliUsageText();
        return ExitDone;
    }
    if (Arguments.Version) {
        std::cout << "varnolink " << VARNOLINK_VERSION << "\n";
        return ExitDone;
    }
    const TStopSignals Stop;
    return RunCliCommand(Arguments, Stop.Fd(), std::cout, std::cerr);
}
