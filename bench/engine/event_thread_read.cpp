// SPDX-License-Identifier: MIT
// The baseline program of wakes_bench: READ CONFIG of the module at PORT
// through a port opened with every line event (event_thread_ports.h), so
// the received bytes reach the session through the port's event thread and
// an eventfd. Exit status 0 once the chain has completed, 1 otherwise.

#include <cstdio>
#include <exception>

#include "bench/engine/event_thread_ports.h"

int main(int Argc, char** Argv)
{
    if (Argc != 2) {
        std::fprintf(stderr, "usage: event_thread_read PORT\n");
        return 2;
    }
    try {
        bench::TEventThreadPorts Ports;
        Ports.Open(Argv[1]);
        Ports.StartAll(TChainPlan::Read());
        Ports.RunUntilAllEnded([] {});
        return Ports.Lines().front()->Result->End == TChainEnd::Completed ? 0 : 1;
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "event_thread_read: %s\n", Error.what());
        return 1;
    }
}
