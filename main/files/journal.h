// SPDX-License-Identifier: MIT
// The journal of changes: one JSON line per write to a module, kept before
// the first write frame and completed after the read-back.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace varnolink {

// Every write to a module leaves two records with one id in the journal:
//
//   {"id":"20261210T063500Z-4711-1","record":"intent","time":"2026-12-10T06:35:00Z","user":"ana",
//    "host":"plc1","command":"write","port":"/dev/ttyUSB0","bios_name":"VARNOLINK I/O","bios_version":"1.00a",
//    "remote_id":"A7","backup":"/var/lib/.../x.ini","reason":"CHG-12",
//    "fields":[{"field":"remote_id","before":"A7","after":"A8"},...]}
//   {"id":"20261210T063500Z-4711-1","record":"end","time":"...","ending":"written","written":[...],
//    "unconfirmed":[],"not_sent":[],"message":""}
//
// The intent is on disk (fdatasync) before the first write frame goes out,
// so a process killed while writing still leaves it; an intent without an
// end is a write whose outcome nobody saw.

enum class TJournalRecordKind { Intent, End };

struct TJournalField {
    std::string Field;   // as in the configuration file: "remote_id", "direction.P0"
    std::string Before;  // empty when the module was not read first
    std::string After;
    bool operator==(const TJournalField&) const = default;
};

struct TJournalRecord {
    std::string Id;
    TJournalRecordKind Kind = TJournalRecordKind::Intent;
    std::string Time;  // ISO 8601 UTC to the second

    // The intent.
    std::string User;
    std::string Host;
    std::string Command;  // "write", "default", "restore", "commission", "apply", "save config", ...
    std::string Port;
    std::string BiosName;
    std::string BiosVersion;
    std::string RemoteId;  // two hexadecimal digits, the ID the module answered at
    std::string Backup;    // the file its configuration was kept in; empty: none kept
    std::string Reason;    // a change ticket or a reason given for the change
    std::vector<TJournalField> Fields;

    // The end: "written", "differs", "unconfirmed" (the last request sent
    // and not confirmed) or "not sent", with the fields of each kind.
    std::string Ending;
    std::vector<std::string> Written;
    std::vector<std::string> Unconfirmed;
    std::vector<std::string> NotSent;
    std::string Message;

    bool operator==(const TJournalRecord&) const = default;
};

class EJournal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// VARNOLINK_JOURNAL when set, else $XDG_STATE_HOME/varnolink/journal.jsonl,
// else ~/.local/state/varnolink/journal.jsonl.
std::string DefaultJournalPath();

// A fresh id for an intent: the time, the process and a counter.
std::string NewJournalId();
// The user and the host this process runs for.
std::string JournalUser();
std::string JournalHost();

// A record as its line (with its line end), and back. A line that is no
// record gives nothing and the reason in Why.
std::string JournalLineText(const TJournalRecord& Record);
std::optional<TJournalRecord> ParseJournalLine(std::string_view Line, std::string* Why = nullptr);

// The journal's bounds: a file rotates to FILE.1 (FILE.1 to FILE.2, ...)
// once it reaches RotateBytes; KeepFiles rotated files are kept.
struct TJournalLimits {
    std::size_t RotateBytes = std::size_t{4} << 20;
    int KeepFiles = 3;
};
// The longest line read back; a longer one is damaged.
inline constexpr std::size_t JournalLineLimit = std::size_t{64} << 10;

// Appends records to the journal at Path (its folder created when missing).
// Each Append is one write and one fdatasync, whatever the number of
// records, under a lock on the file that other writers (other processes)
// wait for, at most 10 s; the file rotates under that lock. Throws EJournal
// naming the file when it cannot be written.
class TJournalWriter {
public:
    explicit TJournalWriter(std::string Path, TJournalLimits Limits = {});
    const std::string& Path() const { return Path_; }
    void Append(const std::vector<TJournalRecord>& Records);

private:
    int OpenLocked() const;
    void Rotate() const;

    std::string Path_;
    TJournalLimits Limits_;
};

// Which records to list.
struct TJournalFilter {
    std::string Since;  // ISO 8601 UTC: records at or after it; empty: all
    std::string Port;   // the port as recorded; empty: all
};

// One change: its intent and, when one was written, its end.
struct TJournalChange {
    TJournalRecord Intent;
    std::optional<TJournalRecord> End;
};

// The changes of the journal at Path and its rotated files, oldest first.
// A line that is no record is skipped and named in Skipped as
// "file:line: reason"; a file that cannot be read is named there too.
std::vector<TJournalChange> ReadJournal(const std::string& Path, const TJournalFilter& Filter,
                                        std::vector<std::string>* Skipped, int KeepFiles = TJournalLimits{}.KeepFiles);

}  // namespace varnolink
