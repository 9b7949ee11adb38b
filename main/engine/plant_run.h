// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/engine/chain_session.h"
#include "main/engine/change_journal.h"
#include "main/engine/epoll_loop.h"
#include "main/engine/module_errors.h"

namespace varnolink {

// Work on many modules at once, each on its own line: read every module and
// compare it with its file (audit), keep every module's configuration
// (backup), write the modules that differ from their files (apply), or ask
// ports who answers (find). Every line is a session port on one epoll loop,
// so the whole plant runs on the calling thread; rows that share a port run
// one after the other on it.

enum class TPlantTask { Audit, Backup, Apply, Find };

// One row of work: a module of the inventory, or a port to ask.
struct TPlantModule {
    std::string Name;
    std::string Port;
    std::string Location;
    std::optional<TModuleConfig> Wanted;  // audit, apply: the configuration it should hold
};

enum class TPlantOutcome {
    Waiting,  // not started yet
    Running,
    Ok,                 // audit: holds its file; backup: read and kept
    Differs,            // audit: reached, differs; apply --dry-run: would be written
    Unchanged,          // apply: held its file already; no write frame was sent
    Written,            // apply: written, and the read-back agrees
    DiffersAfterWrite,  // apply: written, but the read-back differs
    NoReply,            // a request got no reply
    PortError,          // the port could not be opened, or failed, or the device went away
    Stopped,            // a stop was asked for before or while it ran
    Found,              // find: a module answered
    NoAnswer,           // find: the port opened, nobody answered
    Busy,               // another program holds the port (Reason: who)
    FileError,          // backup, apply: the module's configuration could not be kept; nothing was written
};

// The words of the reports and the JSON: "ok", "differs after write", ...
const char* PlantOutcomeText(TPlantOutcome Outcome);

struct TPlantRow {
    TPlantModule Module;
    std::string DevicePath;
    TPlantOutcome Outcome = TPlantOutcome::Waiting;
    std::string ReadAt;  // ISO 8601 UTC, when the module was read
    std::optional<TModuleIdentity> Identity;
    std::optional<uint8_t> RemoteId;
    std::optional<TModuleConfig> Held;          // what the module held when read, before any write
    std::optional<TModuleConfig> ReadBack;      // apply: what it held after the write
    std::vector<TFieldDifference> Differences;  // against Wanted: before (audit, dry run) or after a write
    std::optional<TChainResult> Write;          // apply: how the write ended, and what the module holds
    std::optional<TChainStep> NoReplyTo;        // NoReply: the request
    std::string Reason;                         // PortError, Busy, FileError: why; Stopped: when
    std::string BackupFile;                     // apply, backup: the file its configuration went to
};

struct TPlantOptions {
    TPlantTask Task = TPlantTask::Audit;
    // Lines served at once; 0: all of them.
    std::size_t Jobs = 0;
    // Apply: show what would be written, write nothing.
    bool DryRun = false;
    // Find: how long each port is given to answer the identity request.
    std::chrono::milliseconds ProbeWait{1000};
    // The reply wait of every other request.
    std::chrono::milliseconds ReplyWait = TChainSession::DefaultReplyWait;
    // Apply: where each module's configuration is kept before its first
    // write frame. Backup: where NAME.ini goes.
    std::string BackupFolder;
    // Who holds a busy device ("in use by minicom, process 1234").
    std::function<std::string(const std::string& DevicePath)> HolderOf;
    // The clock of ReadAt (tests fix it).
    std::function<std::string()> UtcNow;
    // The run's end at the latest: past it, the run stops as on a stop
    // request after the request (rows not started are stopped). Looked at
    // after every round of the loop and before each row starts, so a plant
    // of ports that take long to open cannot hold the run past it.
    std::optional<std::chrono::steady_clock::time_point> EndBy;
    // Apply: each write is recorded here with Reason (none: not recorded).
    // The intents of one round of the loop are flushed together before
    // their first write frames; a row whose intent cannot be recorded is
    // not written (a file error).
    TChangeJournal* Journal = nullptr;
    std::string Reason = {};
};

struct TPlantSummary {
    std::size_t Total = 0, Done = 0;
    std::size_t Good = 0;         // ok, unchanged, written, found
    std::size_t Differing = 0;    // differs, differs after write
    std::size_t Unreachable = 0;  // no reply, port error, no answer, busy
    std::size_t Failed = 0;       // file errors
    std::size_t Stopped = 0;
};

class TPlantRun {
public:
    TPlantRun(std::vector<TPlantModule> Modules, TPlantOptions Options);
    ~TPlantRun();
    TPlantRun(const TPlantRun&) = delete;
    TPlantRun& operator=(const TPlantRun&) = delete;

    // Called on the running thread whenever a row changes.
    std::function<void(std::size_t Row)> OnRowChanged;

    // Serves every row to its end on Loop (a stop requested on the loop lets
    // every line finish its request on the line, starts nothing new and
    // marks what did not run as stopped). Loop serves nothing else meanwhile.
    void Run(TEpollLoop& Loop);

    const std::vector<TPlantRow>& Rows() const { return Rows_; }
    TPlantSummary Summary() const;

private:
    struct TLine;
    // One round of the loop: the chains that ended, then new lines.
    bool Advance(TEpollLoop& Loop);
    // A stop request on Loop once Options_.EndBy has passed.
    void StopAtEnd(TEpollLoop& Loop) const;
    void StartLine(TLine& Line, TEpollLoop& Loop);
    void StartRow(TLine& Line, TEpollLoop& Loop);
    void OpenEnded(TLine& Line, TEpollLoop& Loop);
    void OpenFailed(TLine& Line, const EModulePort& Error, TEpollLoop& Loop);
    void StartChain(TLine& Line);
    void ChainEnded(TLine& Line, TEpollLoop& Loop);
    void ReadEnded(TLine& Line, TPlantRow& Row, TEpollLoop& Loop);
    void Finish(TLine& Line, TPlantOutcome Outcome, TEpollLoop& Loop);
    // Records the intents of the writes due and the ends of this round, then
    // starts the writes.
    void StartWrites(TEpollLoop& Loop);
    void Changed(std::size_t Row);
    void SetOutcome(std::size_t Row, TPlantOutcome Outcome);
    std::string Now() const;

    TPlantOptions Options_;
    std::vector<TPlantRow> Rows_;
    std::array<std::size_t, static_cast<std::size_t>(TPlantOutcome::FileError) + 1> OutcomeCounts_{};
    std::vector<std::unique_ptr<TLine>> Lines_;
    std::vector<TLine*> Ended_;            // lines whose chain has ended, to be taken on
    std::vector<TLine*> WritesDue_;        // lines whose write waits for its intent
    std::vector<TJournalRecord> EndsDue_;  // the journal's ends of this round
    std::size_t NextLine_ = 0;
    std::size_t Active_ = 0;
    std::size_t LinesDone_ = 0;
};

}  // namespace varnolink
