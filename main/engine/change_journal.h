// SPDX-License-Identifier: MIT
// The hook every front end calls where a write to a module starts and where
// it ends: it turns the write into the journal's intent and end records.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "main/engine/chain_session.h"
#include "main/files/journal.h"
#include "main/protocol/module_config.h"

namespace varnolink {

// What is about to be written to one module.
struct TChangeStart {
    std::string Command;  // "write", "default", "restore", "commission", "apply", "save config", ...
    std::string Port;
    TModuleIdentity Identity;
    std::string Backup;                   // where the configuration was kept; empty: not kept
    std::optional<TModuleConfig> Before;  // as read before the write; nothing when it was not read
    TModuleConfig After;                  // what is written
    std::string Reason;
};

// The intent record of a change (its id, time, user and host filled in).
TJournalRecord IntentRecord(const TChangeStart& Start);
// The end record of the change Id from how its chain ended.
TJournalRecord EndRecord(const std::string& Id, const TChainResult& Result);
// The end of a write that completed and was read back: Differences, the
// fields the read-back differs in (none: written).
TJournalRecord WrittenRecord(const std::string& Id, const std::vector<TConfigField>& Differences);

// The journal as the front ends use it: Begin before the first write frame
// (the intent is on disk when it returns), End after the read-back.
// Without a path the journal is off and every call does nothing.
class TChangeJournal {
public:
    explicit TChangeJournal(std::string Path = DefaultJournalPath());
    const std::string& Path() const { return Path_; }

    // The intent, flushed; its id. Throws EJournal: a write whose intent
    // cannot be kept does not start.
    std::string Begin(const TChangeStart& Start);
    // The intents of one round together, with one flush; their ids.
    std::vector<std::string> BeginAll(const std::vector<TChangeStart>& Starts);
    // The ends. An id that is empty (no intent) is passed over; an end that
    // cannot be written throws EJournal.
    void End(const std::string& Id, const TChainResult& Result);
    void EndWritten(const std::string& Id, const std::vector<TConfigField>& Differences);
    // A write that failed where no chain could say what the module holds.
    void EndUnknown(const std::string& Id, const std::string& Message);
    void Append(const std::vector<TJournalRecord>& Records);

private:
    std::string Path_;
};

}  // namespace varnolink
