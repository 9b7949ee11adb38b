// SPDX-License-Identifier: MIT
// varnolink's command line as parsed values, and its parser.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "main/protocol/module_config.h"

namespace varnolink {

// The command line of varnolink, parsed. Options may stand anywhere after
// the program name; the first word that is no option is the subcommand.
enum class TCliCommand {
    None,
    Ports,
    Identify,
    Read,
    Write,
    Diff,
    Default,
    Commission,
    Audit,
    Backup,
    Apply,
    Find,
    Backups,
    Restore,
    Doctor,
    Journal,
};

struct TCliArguments {
    TCliCommand Command = TCliCommand::None;
    std::string Port;                // -p, --port
    std::string File;                // the configuration file of write and diff, commission's template
    std::string Output;              // read -o, --output
    std::optional<std::string> Id;   // write --id: two hex digits
    std::optional<int> Baud;         // write --baud: one of the eight rates, in baud
    std::vector<std::string> Keep;   // write --keep: field names left as the module has them
    std::string Ids;                 // commission --ids: the Remote IDs to give, "01-1F"
    std::string Log;                 // commission --log: the CSV log
    std::vector<std::string> Ports;  // find: the ports named
    std::string Inventory;           // find --inventory: the plant's inventory
    std::string Report;              // audit, backup, apply, find --report: the HTML report
    std::string Metrics;             // audit --metrics: the Prometheus metrics file
    std::string BackupDir;           // apply --backup-dir
    std::size_t Jobs = 0;            // audit, backup, apply, find --jobs: lines at once, 0 = all
    std::optional<int> WaitMs;       // find --wait: milliseconds
    std::optional<int> Deadline;     // audit, backup, apply --deadline: seconds
    std::string Reason;              // write, default, restore, commission, apply --reason: for the journal
    std::string JournalFile;         // --journal: the journal of changes (else VARNOLINK_JOURNAL or the default)
    std::string Since;               // journal --since: ISO 8601 UTC time
    bool DryRun = false;             // commission, apply --dry-run
    bool NoBackup = false;           // write, default, restore, commission --no-backup
    std::optional<int> LineSpeed;    // --line-speed: the line's rate for this run (9600 unless given)
    std::string Rs485;               // --rs485: the kernel's RS-485 mode for the line, as text
    bool Speeds = false;             // find --speeds: search each port's line speed
    bool NextOnEnter = false;        // commission --next-on-enter
    bool Json = false;
    bool Verbose = false;
    bool Quiet = false;          // -q, --quiet: no progress line
    bool ErrIsTerminal = false;  // not an option: stderr is a terminal (the progress line may show)
    bool Help = false;
    bool Version = false;
};

// A command line that makes no sense; exit code 1.
class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Arguments without the program name.
TCliArguments ParseCliArguments(const std::vector<std::string>& Arguments);

std::string CliCommandName(TCliCommand Command);
// The command a command line names, even one that is otherwise wrong (for
// the JSON object of a usage error); None when it names none.
TCliCommand CliCommandIn(const std::vector<std::string>& Arguments);
// --json anywhere in the arguments.
bool CliWantsJson(const std::vector<std::string>& Arguments);
// The fields --keep names: a field, or a group (module, direction,
// power_on_default) standing for its fields. Nothing for an unknown name.
std::vector<TConfigField> KeepFieldsOf(const std::string& Name);

// The --help text, with the exit codes (made from the command table).
std::string CliUsageText();

}  // namespace varnolink
