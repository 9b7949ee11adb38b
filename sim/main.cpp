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
#include "sim/plant_simulator.h"
#include "sim/text_escape.h"

namespace {

using namespace varnolink::sim;

void PrintRequest(const TRequestRecord& Record)
{
    const std::string Line = EscapeBytes(Record.Frame) + "\n";
    std::fputs(Line.c_str(), stderr);
}

// Sleeps until a stop signal, stops the simulator's thread where it has a
// stop of its own, then tells of the error that ended the thread, if one did.
template <typename TSimulator>
void AwaitStopSignal(TSimulator& Simulator, const sigset_t& StopSignals)
{
    int Received = 0;
    sigwait(&StopSignals, &Received);
    if constexpr (requires { Simulator.Stop(); }) {
        Simulator.Stop();
    }
    const std::string Error = Simulator.LastError();
    if (!Error.empty()) {
        std::cerr << "varnolink-sim: " << Error << "\n";
    }
}

// Serves a plant until a stop signal: prints each module's port name, one
// to a line, once every port listens.
void ServePlant(const TPlantOptions& Options, const std::string& Inventory, const sigset_t& StopSignals)
{
    TPlantSimulator Plant(Options);
    if (!Inventory.empty()) {
        WritePlantInventory(Plant, Inventory);
    }
    std::string Names;
    for (std::size_t Number = 1; Number <= Plant.Count(); ++Number) {
        Names += Plant.PortName(Number) + "\n";
    }
    std::fputs(Names.c_str(), stdout);
    std::fflush(stdout);
    AwaitStopSignal(Plant, StopSignals);
}

// Serves one module until a stop signal: prints its device path once it
// listens.
void ServeModule(TSimulatorOptions Options, const sigset_t& StopSignals)
{
    TModuleSimulator Simulator(std::move(Options));
    Simulator.Start();
    std::printf("%s\n", Simulator.DevicePath().c_str());
    std::fflush(stdout);
    AwaitStopSignal(Simulator, StopSignals);
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
        if (Parsed.Plant) {
            ServePlant(*Parsed.Plant, Parsed.PlantInventory, StopSignals);
        } else {
            ServeModule(std::move(Parsed.Options), StopSignals);
        }
    } catch (const std::exception& Error) {
        std::cerr << "varnolink-sim: " << Error.what() << "\n";
        return 2;
    }
    return 0;
}
