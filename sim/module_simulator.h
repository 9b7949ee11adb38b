// SPDX-License-Identifier: MIT
#pragma once

// In-process simulator of the VARNOLINK I/O module: the far end of the
// serial line, for tests and for trying the configuration tool without a
// module.
//
// Typical use in a test:
//
//     varnolink::sim::TModuleSimulator sim;        // creates a pseudo-terminal
//     sim.Start();                                  // starts answering
//     int fd = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
//     ... write "*04:0,00=00\r\n", read "*??:E04,00=00\r" ...
//     ASSERT_TRUE(sim.WaitForRequests(1, 2s));
//     EXPECT_EQ(sim.Requests()[0], "*04:0,00=00\r\n");
//
// The module answers every well-formed request by itself:
//   * a read (mode 0, argument "00") of code 00..13 gets the current value:
//     code 00 as the 30-character line "*??:E00,00=" + name + " " + version,
//     every other code as the 13-character line "*??:E" + code + ",00=" + data
//     (status and port bytes and the ID as two upper-case hex digits, the baud
//     index as "0" + digit);
//   * a write (mode 1) of code 02 or 04..13 with two hex digits, or of code 03
//     with "0" + a digit 0..7, stores the value and answers like a read of the
//     new value (so it echoes the argument, in upper case);
//   * the code 99 write with argument "00" restores the factory settings and
//     answers "*??:E99,00=00";
//   * everything else gets no reply: a write whose argument is not valid for
//     its field (nothing is stored), a read with an argument other than "00",
//     an unknown code or mode, a frame that is not laid out as a request.
// Every reply line ends with CR (CR LF with Options::LineFeedAfterReply).
// TFaults::Echo, TFaults::Twin and TSimulatorOptions::LineSpeed stand for the
// line around the module: an adapter that hears itself, a second module that
// answers too, a host at the wrong speed.
// Frames are read from "*" to CR; a LF right after the CR belongs to the
// frame, a missing LF is tolerated, a "*" starts a new frame, bytes outside
// frames are dropped.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/event_wait.h"
#include "sim/faults.h"
#include "sim/module_behaviour.h"
#include "sim/module_series.h"
#include "sim/module_state.h"
#include "sim/request_assembler.h"
#include "sim/serial_endpoint.h"
#include "sim/transmission.h"
#include "sim/unique_fd.h"

namespace varnolink::sim {

// One request frame the module received, byte for byte, and what became of it.
struct TRequestRecord {
    std::string Frame;  // from "*" through CR, or CR LF
    TRequestOutcome Outcome = TRequestOutcome::Malformed;
    int Code = -1;  // command code, -1 when the frame did not parse
    // The module of a series that got it (1 = the first; 0 = none, the line
    // was empty between two modules). Always 1 without a series.
    std::size_t Module = 1;
    TClock::time_point FirstByteAt;
    TClock::time_point CompletedAt;
};

struct TSimulatorOptions {
    // Empty: create a pseudo-terminal (see TSerialEndpoint). Otherwise open
    // this serial device, raw 8N1 at `DeviceBaud`.
    std::string DevicePath;
    unsigned DeviceBaud = 9600;
    // With a pseudo-terminal: also make a symbolic link to its slave here.
    std::string LinkPath;
    // Send CR LF instead of CR at the end of each reply line.
    bool LineFeedAfterReply = false;
    // The module understands the host only at this line speed in baud (0 =
    // at any speed). The line's speed is read each time a request frame
    // completes (see TSerialEndpoint::LineSpeed): on a pseudo-terminal it is
    // the speed the host set on its side. At any other speed the request is
    // recorded as TRequestOutcome::WrongSpeed, nothing is stored and nothing
    // is answered. The module's stored baud index plays no part in this.
    // Must be 0 or a standard rate (std::invalid_argument otherwise).
    unsigned LineSpeed = 0;
    TModuleState State;
    TFaults Faults;
    // Stand for a series of modules plugged in one after another.
    TSeriesOptions Series;
    // How long a frame that has its CR waits for a LF before it counts as
    // complete without one. A frame is recorded and answered only once its
    // line end is settled, so that the record is byte-exact when the reply
    // goes out; this wait costs time only when the host sends no LF.
    std::chrono::milliseconds LineEndWait{100};
    // Called on the simulator's thread for every request frame, after it has
    // been recorded and before its reply is sent. Must not call back into
    // the simulator's Start/Stop/HangUp.
    std::function<void(const TRequestRecord&)> OnRequest;
};

// The simulated module. Construction opens the line (throws std::system_error
// or std::invalid_argument on failure); Start() starts the thread that
// answers; the destructor stops it and closes everything. All member
// functions may be called from any thread.
class TModuleSimulator {
public:
    explicit TModuleSimulator(TSimulatorOptions Options = {});
    ~TModuleSimulator();
    TModuleSimulator(const TModuleSimulator&) = delete;
    TModuleSimulator& operator=(const TModuleSimulator&) = delete;

    // The path for the host to open: the pseudo-terminal's slave
    // (/dev/pts/N) or the device path.
    std::string DevicePath() const { return DevicePath_; }

    // Starts / stops answering. Bytes that arrive while stopped wait in the
    // line and are handled after the next Start. Both may be called again.
    void Start();
    void Stop();
    bool Running() const;

    // Request record: every request frame received, in order.
    std::vector<std::string> Requests() const;
    std::vector<TRequestRecord> RequestLog() const;
    // Waits until at least `count` frames are recorded (or the timeout has
    // passed); true if they are. Use it to wait for requests that get no reply.
    bool WaitForRequests(std::size_t Count, std::chrono::milliseconds Timeout) const;
    void ClearRequests();

    // Module state. SetState throws std::invalid_argument for a state the
    // module cannot hold (see TModuleState::Validate).
    TModuleState State() const;
    void SetState(const TModuleState& State);

    // With a series: the number of the module on the line now (1 = the
    // first), 0 while the line is empty between two modules.
    std::size_t ModuleNumber() const;

    // TFaults apply to requests that complete after the call. Setting faults
    // restarts the request count of TFaults::SilentFromRequest and reseeds
    // the noise generator.
    TFaults CurrentFaults() const;
    void SetFaults(const TFaults& Faults);

    // Makes the far end vanish like an unplugged adapter: closes the line
    // (on a pseudo-terminal both master and the held slave, so the host's
    // descriptor sees a hang-up) and drops pending output. Cannot be undone.
    void HangUp();
    // True once the line is closed: by HangUp, or because it failed (a device
    // that went away; see LastError).
    bool HungUp() const;
    // Waits up to `timeout` for HungUp() to become true; returns it.
    bool WaitForHangUp(std::chrono::milliseconds Timeout) const;

    // The last failure of the simulator's thread (a read or write error on
    // the line), empty if none.
    std::string LastError() const;

private:
    struct TPendingOutput {
        std::string Bytes;
        TClock::time_point NotBefore;
        std::chrono::nanoseconds GapBefore{0};
    };

    void Run();
    void RunLoop();
    void ReadLine(TClock::time_point Now);
    void HandleFrame(const TReceivedFrame& Frame);
    void FlushOutput(TClock::time_point Now);
    bool FlushEcho();
    void ArmTimer();
    void WatchWritable(bool Watch);
    void CloseLine();
    void Wake();
    void LineFailed(const std::string& What, int Error);

    const TSimulatorOptions Options_;
    std::string DevicePath_;

    // Owned by the thread while it runs (and by the caller while it does not).
    TSerialEndpoint Endpoint_;
    TWakeableEpoll Loop_;
    TRequestAssembler Assembler_;
    std::deque<TPendingOutput> Output_;
    // Received bytes still to be sent back under TFaults::Echo; they go out
    // before anything in Output_.
    std::string EchoPending_;
    TClock::time_point LineFreeAt_{};
    bool WatchingWritable_ = false;
    std::thread Thread_;
    // Serialises Start, Stop and HangUp, which own Thread_.
    std::mutex Lifecycle_;

    // Shared between the thread and the callers.
    mutable std::mutex Mutex_;
    mutable std::condition_variable Changed_;
    TModuleState State_;
    TFaults Faults_;
    TModuleSeries Series_;
    std::mt19937 NoiseSource_;
    std::size_t RequestsSinceFaults_ = 0;
    std::vector<TRequestRecord> Log_;
    bool StopRequested_ = false;
    bool HangUpRequested_ = false;
    bool HungUp_ = false;
    bool Running_ = false;
    std::string LastError_;
};

}  // namespace varnolink::sim
