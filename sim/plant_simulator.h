// SPDX-License-Identifier: MIT
#pragma once

// A simulated plant: many VARNOLINK I/O modules, each on its own RS-485 line
// behind a serial device server that gives raw TCP access to the line (one
// listening TCP port per module). The configuration tool reaches module N
// with the port name PortName(N), "socket://HOST:PORT".
//
// Typical use in a test:
//
//     varnolink::sim::TPlantOptions Options;
//     Options.Count = 3;
//     Options.LineTiming = false;
//     varnolink::sim::TPlantSimulator Plant(Options);   // listening and answering
//     ... connect to 127.0.0.1:Plant.Port(2), write "*02:0,00=00\r\n",
//         read "*??:E02,00=" + the ID of PlantModuleState(2) + "\r" ...
//
// Each module answers like TModuleSimulator's module (see AnswerRequest):
// replies end with CR, writes are stored, and frames are cut from the byte
// stream as TRequestAssembler does. A module serves one TCP connection at a
// time; a new connection replaces the one before it, which is closed, as a
// device server does when a new user takes the line. Bytes of a connection
// that closes in the middle of a frame are dropped, and so are replies not
// yet sent on it.
//
// All modules run on one thread with one epoll set and one timer for every
// reply deadline, so a plant of a thousand modules with a connection to each
// costs little CPU while it waits.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/event_wait.h"
#include "sim/module_state.h"
#include "sim/unique_fd.h"

namespace varnolink::sim {

struct TPlantOptions {
    // Number of modules, numbered from 1.
    std::size_t Count = 1;
    // Address the listening sockets are bound to (an IPv4 address or a host
    // name that resolves to one); it also goes into the port names.
    std::string Host = "127.0.0.1";
    // TCP port of module 1; module N listens on FirstPort + N - 1. 0: pick a
    // free run of Count consecutive ports between 20000 and 60000.
    std::uint16_t FirstPort = 0;
    // Emulate the 9600-baud line: the reply to a request goes out whole at
    // max(the moment the request was complete, the moment the line is free)
    // + (request bytes + reply bytes) character times of 10 bits. Off: replies
    // go out as soon as the request is complete.
    bool LineTiming = true;
    // Modules (numbers from 1) that hold a configuration differing from their
    // planned one: PlantDifferingState instead of PlantModuleState.
    std::set<std::size_t> Differ;
    // Modules that accept connections and record requests but never answer
    // and change nothing, like a module without power behind a live server.
    std::set<std::size_t> Silent;
    // Modules that close their connection when its DropAfterRequests-th
    // request frame arrives, without answering or applying that request.
    std::set<std::size_t> Drop;
    std::size_t DropAfterRequests = 5;
};

// The planned configuration of module `Number` (from 1): status ready, the
// stock BIOS name, a version and a Remote ID that cycle with the number, the
// baud index of the plant's 9600-baud lines, and direction and power-on
// bytes that differ from every other module's (P0 and P1 direction carry the
// number itself).
TModuleState PlantModuleState(std::size_t Number);

// What a module of TPlantOptions::Differ holds instead: its planned state
// with the P0 direction byte inverted.
TModuleState PlantDifferingState(std::size_t Number);

// Raises the soft limit of open descriptors towards the hard limit when it
// is below `Needed`. Returns the soft limit in force afterwards.
std::size_t RaiseDescriptorLimit(std::size_t Needed);

// The plant. The constructor binds every listening socket and starts the
// thread that serves them; it throws std::invalid_argument for bad options
// and std::system_error (naming host and port) when a socket cannot be
// bound. The destructor stops the thread and closes every socket. All member
// functions may be called from any thread; `Number` counts from 1 and a
// number outside 1..Count throws std::out_of_range.
class TPlantSimulator {
public:
    explicit TPlantSimulator(TPlantOptions Options);
    ~TPlantSimulator();
    TPlantSimulator(const TPlantSimulator&) = delete;
    TPlantSimulator& operator=(const TPlantSimulator&) = delete;

    std::size_t Count() const { return Options_.Count; }
    const TPlantOptions& Options() const { return Options_; }

    // The TCP port of module `Number`, and the tool's port name for it:
    // "socket://" + host + ":" + port.
    std::uint16_t Port(std::size_t Number) const;
    std::string PortName(std::size_t Number) const;

    // The module's current state. SetState throws std::invalid_argument for
    // a state the module cannot hold (see TModuleState::Validate).
    TModuleState State(std::size_t Number) const;
    void SetState(std::size_t Number, const TModuleState& State);

    // Every request frame the module received, byte for byte, in order,
    // over all its connections.
    std::vector<std::string> Requests(std::size_t Number) const;
    // Waits until the module has received at least `Count` frames or
    // `Timeout` has passed; true if it has.
    bool WaitForRequests(std::size_t Number, std::size_t Count, std::chrono::milliseconds Timeout) const;
    // How many connections the module has accepted so far.
    std::size_t Connections(std::size_t Number) const;

    // Makes the module silent (see TPlantOptions::Silent) or lets it answer
    // again; applies to requests that complete after the call.
    void SetSilent(std::size_t Number, bool Silent);
    // Closes the module's current connection, if any, before returning.
    void DropNow(std::size_t Number);

    // The failure that ended the plant's thread, empty while it runs.
    std::string LastError() const;

private:
    struct TModule;
    struct TDeadline;

    void Run();
    void RunLoop();
    void Accept(std::size_t Index);
    void ReadConnection(std::size_t Index);
    void HandleFrame(std::size_t Index, const std::string& Frame, std::chrono::steady_clock::time_point CompletedAt);
    void SendDue(std::size_t Index, std::chrono::steady_clock::time_point Now);
    void WriteOut(std::size_t Index);
    void CloseConnection(std::size_t Index);
    void RunTimers(std::chrono::steady_clock::time_point Now);
    void ArmTimer();
    void Schedule(std::size_t Index, std::chrono::steady_clock::time_point At);
    void TakeDropRequests();
    TModule& Module(std::size_t Number) const;

    const TPlantOptions Options_;
    std::vector<std::unique_ptr<TModule>> Modules_;

    // Owned by the thread while it runs.
    TWakeableEpoll Loop_;
    // Kept open to be given up when accept() runs out of descriptors, so the
    // connection can be taken and closed instead of waking epoll forever.
    TUniqueFd SpareFd_;
    std::vector<TDeadline> Deadlines_;  // a min-heap on the deadline
    std::thread Thread_;

    // Shared between the thread and the callers; guards the shared part of
    // every module too.
    mutable std::mutex Mutex_;
    mutable std::condition_variable Changed_;
    bool StopRequested_ = false;
    bool Running_ = false;
    std::uint64_t DropsRequested_ = 0;
    std::uint64_t DropsDone_ = 0;
    std::string LastError_;
};

// Writes the inventory of `Plant` into `Directory` (created if missing):
// plant.csv with the header "name,port,config,location" and a line per
// module ("module-001", its port name, "module-001.ini", "cabinet K" with
// eight modules to a cabinet; numbers have at least three digits, module
// 1000 is "module-1000"), and module-NNN.ini per module holding its
// planned configuration in the configuration tool's file format. Throws
// std::runtime_error naming the file that cannot be written.
void WritePlantInventory(const TPlantSimulator& Plant, const std::string& Directory);

// The configuration file text of a module state: [module] with format,
// remote_id and baud, then [direction] and [power_on_default] with P0, P1,
// P2, P4, P5.
std::string PlantConfigText(const TModuleState& State);

}  // namespace varnolink::sim
