// SPDX-License-Identifier: MIT
// varnolink-sim: the simulated VARNOLINK I/O module as a program.

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "sim/command_line.h"
#include "sim/module_simulator.h"
#include "sim/text_escape.h"

namespace {

using namespace varnolink::sim;

void PrintRequest(const TRequestRecord& Record)
{
    const std::string Line = EscapeBytes(Record.Frame) + "\n";
    std::fputs(Line.c_str(), stderr);
}

}  // namespace

int main(int argc, char** argv)
{
    TCommandLine Parsed;
    try {
        Parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& Error) {
        std::cerr << "varnolink-sim: " << Error.what() << "\n";
        return 2;
    }
    if (Parsed.Help) {
        std::cout << UsageText();
        return 0;
    }
    if (Parsed.PrintRequests) {
        Parsed.Options.OnRequest = PrintRequest;
    }

    // Block the stop signals before any thread starts, so that every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t StopSignals;
    sigemptyset(&StopSignals);
    sigaddset(&StopSignals, SIGINT);
    sigaddset(&StopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &StopSignals, nullptr);

    try {
        TModuleSimulator Simulator(std::move(Parsed.Options));
        Simulator.Start();
        std::printf("%s\n", Simulator.DevicePath().c_str());
        std::fflush(stdout);

        int Received = 0;
        sigwait(&StopSignals, &Received);
        Simulator.Stop();
        const std::string Error = Simulator.LastError();
        if (!Error.empty()) {
            std::cerr << "varnolink-sim: " << Error << "\n";
        }
    } catch (const std::exception& Error) {
        std::cerr << "varnolink-sim: " << Error.what() << "\n";
        return 2;
    }
    return 0;
}
