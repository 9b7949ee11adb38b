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

void PrintRequest(const RequestRecord& record) {
    const std::string line = EscapeBytes(record.frame) + "\n";
    std::fputs(line.c_str(), stderr);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine commandLine;
    try {
        commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::cerr << "varnolink-sim: " << error.what() << "\n";
        return 2;
    }
    if (commandLine.help) {
        std::cout << UsageText();
        return 0;
    }
    if (commandLine.printRequests) {
        commandLine.options.onRequest = PrintRequest;
    }

    // Block the stop signals before any thread starts, so that every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        TModuleSimulator simulator(std::move(commandLine.options));
        simulator.Start();
        std::printf("%s\n", simulator.DevicePath().c_str());
        std::fflush(stdout);

        int received = 0;
        sigwait(&stopSignals, &received);
        simulator.Stop();
        const std::string error = simulator.LastError();
        if (!error.empty()) {
            std::cerr << "varnolink-sim: " << error << "\n";
        }
    } catch (const std::exception& error) {
        std::cerr << "varnolink-sim: " << error.what() << "\n";
        return 2;
    }
    return 0;
}
