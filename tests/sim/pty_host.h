// SPDX-License-Identifier: MIT
#pragma once

// The host's side of a simulated serial line in tests: a raw descriptor on
// the pseudo-terminal slave, byte-exact writes, and reads bounded by a
// deadline.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "sim/unique_fd.h"

namespace varnolink::sim::test {

using namespace std::chrono_literals;
using TTestClock = std::chrono::steady_clock;

// One read() worth of received bytes and when it arrived.
struct ReceivedChunk {
    std::string Bytes;
    TTestClock::time_point At;
};

class TPtyHost {
public:
    // Opens `path` non-blocking in raw mode; fails the test (throws) if it cannot.
    explicit TPtyHost(const std::string& Path);
    // Uses an open descriptor as it is (e.g. a pseudo-terminal master).
    explicit TPtyHost(TUniqueFd Fd) : Fd_(std::move(Fd)) {}

    void Write(const std::string& Bytes);
    // Reads until `LineEnds` bytes `terminator` have arrived or `timeout` has
    // passed; returns everything read.
    std::string ReadLines(int LineEnds = 1, std::chrono::milliseconds Timeout = 2000ms, char Terminator = '\r');
    // Like ReadLines, keeping each read separately with its arrival time.
    std::vector<ReceivedChunk> ReadChunks(int LineEnds, std::chrono::milliseconds Timeout = 2000ms,
                                          char Terminator = '\r');
    // Everything that arrives within `window` (for checking that nothing comes).
    std::string ReadFor(std::chrono::milliseconds Window);
    // Writes `request` and returns the reply through its first CR.
    std::string Exchange(const std::string& Request)
    {
        Write(Request);
        return ReadLines(1);
    }
    // Waits up to `timeout` for the line to hang up: true if poll reports
    // POLLHUP or a read ends with EOF or EIO.
    bool WaitForHangUp(std::chrono::milliseconds Timeout = 2000ms);

    int Fd() const { return Fd_.Get(); }
    void Close() { Fd_.Reset(); }

private:
    TUniqueFd Fd_;
};

// Joins chunks back into one text.
std::string Joined(const std::vector<ReceivedChunk>& Chunks);

}  // namespace varnolink::sim::test
