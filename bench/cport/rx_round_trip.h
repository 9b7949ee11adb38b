// SPDX-License-Identifier: MIT
// Pieces shared by the receive-latency benchmarks: the pty far end, the
// owning thread's loop, round trips through a TComPort and their statistics.
#pragma once

#include "cport/comport.h"
#include "tests/support/owner_loop.h"
#include "tests/support/pty_pair.h"
#include "tests/support/raw_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace rx_bench {

using Clock = std::chrono::steady_clock;
using Pty = test_support::TPtyPair;
using OwnerLoop = test_support::TOwnerLoop;

inline double Micros(Clock::duration D)
{
    return std::chrono::duration<double, std::micro>(D).count();
}

inline double Percentile(std::vector<double> V, double P)
{
    std::sort(V.begin(), V.end());
    const size_t I = std::min(V.size() - 1, static_cast<size_t>(P * static_cast<double>(V.size())));
    return V[I];
}

// Round trips through a port on PortName: the far end (Line) writes one
// byte, the owner loop serves (each wait up to Wait) until OnRxChar has read
// it there. One sample in microseconds per trip after the first WarmUp.
inline void MeasurePortRoundTrips(const Pty& Line, const std::string& PortName, OwnerLoop& Loop, int WarmUp, int Count,
                                  std::chrono::milliseconds Wait, std::vector<double>& Out)
{
    cport::TComPort Port;
    Port.SetPort(PortName);
    Clock::time_point Received;
    int32_t Got = 0;
    Port.OnRxChar = [&](cport::TComponent*, int32_t Waiting) {
        char Buffer[64];
        Got += Port.ReadBytes(Buffer, std::min<int32_t>(Waiting, sizeof Buffer));
        Received = Clock::now();
    };
    Port.Open();
    for (int Trip = 0; Trip < WarmUp + Count; ++Trip) {
        Got = 0;
        const auto Start = Clock::now();
        Line.Write("r");
        while (Got == 0)
            Loop.ServeOnce(Wait);
        if (Trip >= WarmUp)
            Out.push_back(Micros(Received - Start));
    }
    Port.Close();
}

// Runs Body; a failure is printed with the benchmark's Name and ends it with 1.
template <typename Body>
int ReportingFailure(const char* Name, Body&& body)
{
    try {
        body();
        return 0;
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "%s: %s\n", Name, Failure.what());
        return 1;
    }
}

}  // namespace rx_bench
