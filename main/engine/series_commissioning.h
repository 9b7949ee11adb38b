// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "main/engine/change_journal.h"
#include "main/files/commission_log.h"
#include "main/protocol/module_config.h"
#include "main/engine/module_connection.h"

namespace varnolink {

// Commissioning a series of modules on one line: each module that is
// connected gets the same configuration with the next Remote ID of a list,
// is read back, and gets one row in the log. The command line and the
// window's dialog run this same engine; each supplies the line and a clock
// that calls Poll every half second.

// The module on the line, as a commissioning run needs it. Errors as those
// of module_errors.h: EModuleNoReply, EModuleStopped (the operator asked
// to stop; the request on the line has been finished), EModulePort (with
// the chain's result when the device went away during a chain).
class TCommissionLine {
public:
    virtual ~TCommissionLine();
    virtual std::string PortName() const = 0;
    // The module's identity, or nothing when no module answers within Wait.
    virtual std::optional<TModuleIdentity> Identify(std::chrono::milliseconds Wait) = 0;
    virtual TModuleReading ReadConfig() = 0;
    // The twelve writes and the read-back.
    virtual TWriteResult WriteConfig(const TModuleConfig& Config) = 0;
};

// The line of a TModuleConnection that is open on PortName. Replies are
// awaited for Wait, identity polls for the poll's own wait.
class TConnectionCommissionLine final : public TCommissionLine {
public:
    TConnectionCommissionLine(TModuleConnection& Connection, std::string PortName,
                              std::chrono::milliseconds Wait = TModuleConnection::DefaultReplyWait);
    std::string PortName() const override { return PortName_; }
    std::optional<TModuleIdentity> Identify(std::chrono::milliseconds Wait) override;
    TModuleReading ReadConfig() override { return Connection_.ReadConfig(); }
    TWriteResult WriteConfig(const TModuleConfig& Config) override { return Connection_.WriteConfig(Config); }

private:
    TModuleConnection& Connection_;
    std::string PortName_;
};

struct TCommissionPlan {
    TModuleConfig Template;    // its Remote ID is replaced by each module's
    std::vector<uint8_t> IDs;  // in the order they are given
    std::set<uint8_t> Done;    // already given, as the log shows: skipped
    bool DryRun = false;       // read each module, write and log nothing
    bool NextOnEnter = false;  // after a module, wait for the operator's word
    // Each module's configuration is kept here before its first write
    // (empty: no backups); a backup that cannot be written stops the run.
    std::string BackupFolder;
    // Each module's write is recorded here (none: not recorded), with
    // Reason; an intent that cannot be recorded stops the run.
    TChangeJournal* Journal = nullptr;
    std::string Reason = {};
};

struct TCommissionSummary {
    std::size_t Ok = 0;
    std::size_t Failed = 0;    // read-back differs, no reply, interrupted
    std::size_t Skipped = 0;   // IDs of the list the log showed as done
    bool Complete = false;     // every ID of the list is done
    bool Interrupted = false;  // stopped during a module's writes
};

// What a run reports as it goes. All calls come from inside Poll.
class TCommissionObserver {
public:
    virtual ~TCommissionObserver();
    // The line is silent while a module is awaited (said once per wait).
    virtual void WaitingForModule(const std::string& Port);
    // A new module answers; it gets ID, the Number-th of Total IDs to give.
    virtual void ModuleStarted(std::size_t Number, std::size_t Total, uint8_t ID);
    // Dry run: the fields the module would change, "baud 9600 -> 57600".
    virtual void WouldChange(std::size_t Number, uint8_t ID, const std::vector<std::string>& Changes);
    // The module's row, logged; Took runs from its identity reply to the row.
    virtual void ModuleFinished(std::size_t Number, const TCommissionRow& Row, std::chrono::milliseconds Took);
    // Time to connect the next module; OnEnter: it is taken only after NextModule.
    virtual void ConnectNextModule(bool OnEnter);
};

// What a chain that ended short leaves in the module, for a log row:
// "written: remote_id baud; sent, unconfirmed: direction.P0; not sent: ...".
std::string HeldText(const TChainResult& Result);

// The configuration as twelve hexadecimal bytes for the log: Remote ID,
// baud-rate index, the directions of P0 P1 P2 P4 P5, their power-on defaults.
std::string ModuleConfigHex(const TModuleConfig& Config);

// "direction.P0 5A -> 5B" for each field in which From and To differ.
std::vector<std::string> FieldChanges(const TModuleConfig& From, const TModuleConfig& To);

class TSeriesCommissioning {
public:
    static constexpr std::chrono::milliseconds PollInterval{500};

    // Log: where the rows go; none for a dry run or a run without a log.
    TSeriesCommissioning(TCommissionLine& Line, TCommissionPlan Plan, TCommissionLog* Log,
                         TCommissionObserver& Observer);

    // One look at the line: asks for the identity (waiting up to
    // PollInterval), and when a new module answers, commissions it. A new
    // module is any that answers at the start or after NextModule; after a
    // module, one that answers after the line has been silent, or whose
    // Remote ID is not the one the last module holds. Errors of the port
    // (EModulePort) pass to the caller; the run cannot go on.
    void Poll();

    // The operator says the next module is connected: whatever module
    // answers next is taken.
    void NextModule();

    // Ends the run between two modules.
    void Stop();

    bool Finished() const { return State_ == TState::Finished; }
    // Waits for NextModule (a run with NextOnEnter, after a module).
    bool AwaitsOperator() const { return State_ == TState::WaitingForEnter; }
    const TCommissionSummary& Summary() const { return Summary_; }
    // The ID the next module gets; nothing once every ID is done.
    std::optional<uint8_t> NextID() const;
    // How many IDs the run set out to give (the list less the skipped).
    std::size_t Total() const { return Total_; }

private:
    enum class TState { WaitingForModule, WaitingForChange, WaitingForEnter, Finished };

    void Commission(const TModuleReading& Present, std::chrono::steady_clock::time_point Answered);
    void Record(std::size_t Number, const TCommissionRow& Row, std::chrono::steady_clock::time_point Answered);
    // The journal's end of a module's write that ended short.
    void EndChange(const std::string& ChangeId, const std::optional<TChainResult>& Chain, const char* Error);
    void AfterModule();

    TCommissionLine& Line_;
    TCommissionPlan Plan_;
    TCommissionLog* Log_;
    TCommissionObserver& Observer_;
    TState State_ = TState::WaitingForModule;
    TCommissionSummary Summary_;
    std::size_t Total_ = 0;
    std::set<uint8_t> Given_;  // ok in this run (or, dry, as if ok)
    bool SilenceSeen_ = false;
    bool WaitAnnounced_ = false;
    uint8_t LastID_ = 0;  // the Remote ID the last module holds
};

}  // namespace varnolink
