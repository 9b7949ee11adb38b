// SPDX-License-Identifier: MIT
// Parses varnolink's command line into TCliArguments.
#include "cli/arguments.h"

#include <algorithm>
#include <array>
#include <utility>

#include "main/engine/rs485_choice.h"
#include "main/files/config_file.h"
#include "main/protocol/module_config.h"

namespace varnolink {

namespace {

constexpr std::array<std::pair<const char*, TCliCommand>, 15> Commands{{
    {"ports", TCliCommand::Ports},
    {"identify", TCliCommand::Identify},
    {"read", TCliCommand::Read},
    {"write", TCliCommand::Write},
    {"diff", TCliCommand::Diff},
    {"default", TCliCommand::Default},
    {"commission", TCliCommand::Commission},
    {"audit", TCliCommand::Audit},
    {"backup", TCliCommand::Backup},
    {"apply", TCliCommand::Apply},
    {"find", TCliCommand::Find},
    {"backups", TCliCommand::Backups},
    {"restore", TCliCommand::Restore},
    {"doctor", TCliCommand::Doctor},
    {"journal", TCliCommand::Journal},
}};

bool IsPlantCommand(TCliCommand Command)
{
    return Command == TCliCommand::Audit || Command == TCliCommand::Backup || Command == TCliCommand::Apply ||
           Command == TCliCommand::Find;
}

// A whole number within Low..High, or a usage error naming the option.
long NumberOption(const std::string& Option, const std::string& Value, long Low, long High)
{
    std::size_t Used = 0;
    long Number = 0;
    try {
        Number = std::stol(Value, &Used);
    } catch (const std::exception&) {
        Used = 0;
    }
    if (Used != Value.size() || Number < Low || Number > High)
        throw EUsage(Option + " " + Value + ": expected a whole number from " + std::to_string(Low) + " to " +
                     std::to_string(High));
    return Number;
}

std::vector<std::string> SplitList(const std::string& Text)
{
    std::vector<std::string> Items;
    std::size_t Start = 0;
    while (Start <= Text.size()) {
        std::size_t End = Text.find(',', Start);
        if (End == std::string::npos)
            End = Text.size();
        if (End > Start)
            Items.push_back(Text.substr(Start, End - Start));
        Start = End + 1;
    }
    return Items;
}

// Which options each subcommand takes besides the global ones.
bool Takes(TCliCommand Command, const std::string& Option)
{
    if (Option == "--port")
        return Command != TCliCommand::Ports && Command != TCliCommand::Backups && !IsPlantCommand(Command);
    if (Option == "--output")
        return Command == TCliCommand::Read || Command == TCliCommand::Backup;
    if (Option == "--dry-run")
        return Command == TCliCommand::Commission || Command == TCliCommand::Apply || Command == TCliCommand::Write;
    if (Option == "--ids" || Option == "--log" || Option == "--next-on-enter")
        return Command == TCliCommand::Commission;
    if (Option == "--jobs" || Option == "--report")
        return IsPlantCommand(Command);
    if (Option == "--deadline")
        return IsPlantCommand(Command) && Command != TCliCommand::Find;
    if (Option == "--metrics")
        return Command == TCliCommand::Audit;
    if (Option == "--wait" || Option == "--inventory")
        return Command == TCliCommand::Find;
    if (Option == "--backup-dir")
        return Command == TCliCommand::Apply;
    if (Option == "--line-speed" || Option == "--rs485")
        return Command != TCliCommand::Ports && Command != TCliCommand::Backups && !IsPlantCommand(Command);
    if (Option == "--speeds")
        return Command == TCliCommand::Find;
    if (Option == "--reason" || Option == "--journal")
        return Command == TCliCommand::Write || Command == TCliCommand::Default || Command == TCliCommand::Restore ||
               Command == TCliCommand::Commission || Command == TCliCommand::Apply ||
               (Option == "--journal" && Command == TCliCommand::Journal);
    if (Option == "--since")
        return Command == TCliCommand::Journal;
    if (Option == "--no-backup")
        return Command == TCliCommand::Write || Command == TCliCommand::Default || Command == TCliCommand::Restore ||
               Command == TCliCommand::Commission;
    return Command == TCliCommand::Write;  // --id, --baud, --keep
}

}  // namespace

std::string CliCommandName(TCliCommand Command)
{
    for (const auto& [Name, Known] : Commands)
        if (Known == Command)
            return Name;
    return {};
}

TCliCommand CliCommandIn(const std::vector<std::string>& Arguments)
{
    for (const std::string& Word : Arguments)
        for (const auto& [Name, Command] : Commands)
            if (Word == Name)
                return Command;
    return TCliCommand::None;
}

bool CliWantsJson(const std::vector<std::string>& Arguments)
{
    return std::find(Arguments.begin(), Arguments.end(), "--json") != Arguments.end();
}

std::vector<std::string> KeepFieldsOf(const std::string& Name)
{
    std::vector<std::string> Fields;
    for (int Field = 0; Field < ModuleConfigFieldCount; ++Field) {
        const std::string FieldName = ModuleConfigFieldName(Field);
        const std::string Group = Field < 2 ? "module" : FieldName.substr(0, FieldName.find('.'));
        if (Name == FieldName || Name == Group)
            Fields.push_back(FieldName);
    }
    return Fields;
}

TCliArguments ParseCliArguments(const std::vector<std::string>& Arguments)
{
    TCliArguments Result;
    std::vector<std::string> Words;
    std::vector<std::string> Given;  // value options as given, checked once the command is known

    for (std::size_t Index = 0; Index < Arguments.size(); ++Index) {
        std::string Option = Arguments[Index];
        std::optional<std::string> Value;
        if (Option.rfind("--", 0) == 0) {
            if (const std::size_t Equals = Option.find('='); Equals != std::string::npos) {
                Value = Option.substr(Equals + 1);
                Option.resize(Equals);
            }
        }
        if (Option == "-p")
            Option = "--port";
        else if (Option == "-o")
            Option = "--output";
        else if (Option == "-v")
            Option = "--verbose";
        else if (Option == "-h")
            Option = "--help";
        else if (Option == "-q")
            Option = "--quiet";

        if (Option == "--dry-run" || Option == "--next-on-enter" || Option == "--no-backup" || Option == "--speeds") {
            if (Value)
                throw EUsage(Option + " takes no value");
            Given.push_back(Option);
            (Option == "--dry-run"         ? Result.DryRun
             : Option == "--next-on-enter" ? Result.NextOnEnter
             : Option == "--speeds"        ? Result.Speeds
                                           : Result.NoBackup) = true;
            continue;
        }
        if (Option == "--json" || Option == "--verbose" || Option == "--quiet" || Option == "--help" ||
            Option == "--version") {
            if (Value)
                throw EUsage(Option + " takes no value");
            (Option == "--json"      ? Result.Json
             : Option == "--verbose" ? Result.Verbose
             : Option == "--quiet"   ? Result.Quiet
             : Option == "--help"    ? Result.Help
                                     : Result.Version) = true;
            continue;
        }
        if (Option == "--port" || Option == "--output" || Option == "--id" || Option == "--baud" ||
            Option == "--keep" || Option == "--ids" || Option == "--log" || Option == "--jobs" || Option == "--wait" ||
            Option == "--report" || Option == "--inventory" || Option == "--backup-dir" || Option == "--line-speed" ||
            Option == "--rs485" || Option == "--deadline" || Option == "--metrics" || Option == "--reason" ||
            Option == "--journal" || Option == "--since") {
            if (!Value) {
                if (Index + 1 == Arguments.size())
                    throw EUsage(Option + " needs a value");
                Value = Arguments[++Index];
            }
            if (Value->empty())
                throw EUsage(Option + " needs a value");
            Given.push_back(Option);
            if (Option == "--port")
                Result.Port = *Value;
            else if (Option == "--output")
                Result.Output = *Value;
            else if (Option == "--id")
                Result.Id = *Value;
            else if (Option == "--baud")
                Result.Baud = *Value;
            else if (Option == "--ids")
                Result.Ids = *Value;
            else if (Option == "--log")
                Result.Log = *Value;
            else if (Option == "--jobs")
                Result.Jobs = static_cast<std::size_t>(NumberOption(Option, *Value, 1, 100000));
            else if (Option == "--wait")
                Result.WaitMs = static_cast<int>(NumberOption(Option, *Value, 1, 60000));
            else if (Option == "--report")
                Result.Report = *Value;
            else if (Option == "--metrics")
                Result.Metrics = *Value;
            else if (Option == "--reason")
                Result.Reason = *Value;
            else if (Option == "--journal")
                Result.JournalFile = *Value;
            else if (Option == "--since")
                Result.Since = *Value;
            else if (Option == "--deadline")
                Result.Deadline = static_cast<int>(NumberOption(Option, *Value, 1, 7 * 24 * 3600));
            else if (Option == "--inventory")
                Result.Inventory = *Value;
            else if (Option == "--backup-dir")
                Result.BackupDir = *Value;
            else if (Option == "--rs485") {
                try {
                    ParseRs485Choice(*Value);
                } catch (const std::invalid_argument& Error) {
                    throw EUsage("--rs485 " + *Value + ": " + Error.what());
                }
                Result.Rs485 = *Value;
            } else if (Option == "--line-speed") {
                if (!ParseBaudRate(*Value))
                    throw EUsage("--line-speed " + *Value +
                                 ": expected one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200");
                Result.LineSpeed = std::stoi(*Value);
            } else
                for (std::string& Field : SplitList(*Value))
                    Result.Keep.push_back(std::move(Field));
            continue;
        }
        if (Option.size() > 1 && Option[0] == '-')
            throw EUsage("unknown option " + Option);
        Words.push_back(Arguments[Index]);
    }

    if (Result.Help || Result.Version)
        return Result;
    if (Words.empty())
        throw EUsage("no command given (ports, identify, read, write, diff, default, commission, audit, backup, "
                     "apply, find, backups, restore, doctor or journal)");
    for (const auto& [Name, Command] : Commands)
        if (Words.front() == Name)
            Result.Command = Command;
    if (Result.Command == TCliCommand::None)
        throw EUsage("unknown command \"" + Words.front() + "\"");

    const std::string Name = Words.front();
    for (const std::string& Option : Given)
        if (!Takes(Result.Command, Option))
            throw EUsage(Name + " takes no " + Option);
    if (Result.Command == TCliCommand::Find) {
        Result.Ports.assign(Words.begin() + 1, Words.end());
        if (Result.Speeds && Result.Ports.empty())
            throw EUsage("find --speeds needs the PORT to search");
        return Result;
    }
    const bool NeedsInventory = IsPlantCommand(Result.Command);
    if (NeedsInventory) {
        if (Words.size() < 2)
            throw EUsage(Name + " needs the plant's inventory: PLANT.csv");
        if (Words.size() > 2)
            throw EUsage(Name + ": unexpected argument \"" + Words.back() + "\"");
        Result.File = Words[1];
        if (Result.Command == TCliCommand::Backup && Result.Output.empty())
            throw EUsage("backup needs the folder to write into: -o DIR");
        return Result;
    }
    const bool NeedsFile = Result.Command == TCliCommand::Write || Result.Command == TCliCommand::Diff ||
                           Result.Command == TCliCommand::Commission || Result.Command == TCliCommand::Restore;
    if (Words.size() > (NeedsFile ? 2u : 1u))
        throw EUsage(Name + ": unexpected argument \"" + Words.back() + "\"");
    if (NeedsFile) {
        if (Words.size() < 2)
            throw EUsage(Name + " needs a configuration FILE");
        Result.File = Words[1];
    }
    if (Result.Command != TCliCommand::Ports && Result.Command != TCliCommand::Backups &&
        Result.Command != TCliCommand::Doctor && Result.Command != TCliCommand::Journal && Result.Port.empty())
        throw EUsage(Name + " needs the port: -p PORT");
    if (Result.Command == TCliCommand::Commission && Result.Ids.empty())
        throw EUsage("commission needs the Remote IDs to give: --ids LIST (for example 01-1F)");
    return Result;
}

std::string CliUsageText()
{
    return R"(Usage: varnolink [--json] [-v|-q] COMMAND [OPTION]...
Reads and writes the configuration of a VARNOLINK I/O module on a serial line
(9600 baud, 8N1), one request at a time, 5000 ms for each reply.

Commands:
  ports                       list the serial ports, marking busy ones and the
                              system console (never opened); says so when
                              there are none
  identify -p PORT            the module's BIOS name and version
  read -p PORT [-o FILE]      the configuration file, on stdout or into FILE
  write -p PORT FILE [--id XX] [--baud RATE] [--keep FIELD,...] [--dry-run]
                              write FILE into the module, read it back and
                              compare; --id and --baud replace the file's
                              values; --keep leaves the named fields or groups
                              (module, direction, power_on_default) as the
                              module has them (needed for fields FILE lacks);
                              --dry-run reads and compares, writes nothing
  diff -p PORT FILE           the fields in which the module differs from FILE
  default -p PORT             write the factory values, then read back
  doctor [-p PORT]            check the port and the line step by step, each
                              check with its verdict and what to do: the
                              device, your access to it, who holds it, a USB
                              adapter's latency, echo, the module at 9600 baud
                              and, failing that, at the other rates; for a
                              network port the server, its telnet and banner
  backups                     the backups kept before writes, oldest first
  restore -p PORT FILE        write a backup (or any complete configuration
                              file) back into the module, then read back
  journal [--since TIME] [-p PORT]
                              the changes made to modules, oldest first:
                              when, by whom, which module, the fields before
                              and after, the reason and how the write ended
                              (TIME in UTC: 2026-12-10 or 2026-12-10T06:00:00Z)
  commission -p PORT TEMPLATE --ids LIST [--log FILE.csv] [--dry-run]
             [--next-on-enter]
                              put modules into service one after another:
                              each gets TEMPLATE with the next Remote ID of
                              LIST (01-1F, 01-05,08) not yet done in the log,
                              is read back and gets one CSV row in the log;
                              then the next module is awaited

Plant commands (every line at once, one module per line; rows that share a
port run one after the other):
  audit PLANT.csv             read every module of the inventory and compare
                              it with its file; writes nothing
  backup PLANT.csv -o DIR     read every module into DIR/NAME.ini and write
                              DIR/plant.csv, an inventory of those files
  apply PLANT.csv [--dry-run] [--backup-dir DIR]
                              write its file into every module that differs
                              from it (after keeping what it held in DIR,
                              by default ~/.local/state/varnolink/backups),
                              then read back and compare; a module that
                              holds its file already gets no write
  find --speeds PORT...       the line speed each port's module answers at
  find [PORT...] [--inventory PLANT.csv] [--wait MS]
                              ask each port who answers (identity, Remote
                              ID); with no PORT every USB serial adapter and
                              every port of VARNOLINK_PORTS, never a built-in
                              UART or the system console

PLANT.csv is a CSV file with a header row: name and port are required,
config (the module's configuration file, relative to PLANT.csv) is needed by
audit and apply, location is shown in the reports; other columns are ignored.

PORT is a device path (/dev/ttyUSB0), a name under /dev (ttyUSB0), COMn
(COM1 is /dev/ttyS0), or a network port: rfc2217://HOST:PORT (RFC 2217, for
example ser2net's telnet(rfc2217) accepter) or socket://HOST:PORT (raw TCP).
Field names: remote_id, baud, direction.P0 ...
direction.P5, power_on_default.P0 ... power_on_default.P5.

Options:
  -p, --port PORT   the serial port
      --line-speed RATE
                    talk at RATE instead of 9600 baud (a module whose baud
                    rate was changed answers only at that rate)
      --rs485 rts-on-send[,rts-after-send][,delay-before=MS][,delay-after=MS][,rx-during-tx]
                    put the port in the kernel's RS-485 mode, so that its
                    driver switches the transceiver by RTS (a board UART
                    with an RS-485 transceiver); a USB-RS485 adapter that
                    switches by itself needs none
  -o, --output FILE write the configuration into FILE (read; checked before
                    the port is opened)
      --ids LIST    (commission) the Remote IDs to give, ranges and commas
      --log FILE    (commission) the CSV log: one row per module, IDs shown
                    there as ok are not given again
      --dry-run     (write, commission, apply) read each module, show what
                    would change; write nothing, log nothing
      --no-backup   (write, default, restore, commission) do not read the
                    module first to keep its configuration; by default it is
                    kept in ~/.local/state/varnolink/backups (XDG_STATE_HOME)
                    before the first write frame, and a backup that cannot
                    be written stops the write before it starts
      --reason TEXT (write, default, restore, commission, apply) the change
                    ticket or reason, kept in the journal of changes
      --journal FILE
                    the journal of changes (also VARNOLINK_JOURNAL); by
                    default ~/.local/state/varnolink/journal.jsonl
                    (XDG_STATE_HOME). Every write keeps a record there
                    before its first write frame and completes it after
                    the read-back
      --next-on-enter
                    (commission) after each module wait for Enter instead of
                    for the next module to be plugged in
      --json        machine output on stdout: one JSON object for every run,
                    usage errors included, with ok, exit_code and command
                    (its shape: varnolink.schema.json, installed with the
                    program)
  -v, --verbose     every frame sent and reply received, on stderr
      --jobs N      (plant commands) at most N lines at once (default: all)
      --report FILE (plant commands) also write the result as an HTML page
      --metrics FILE
                    (audit) also write the result as Prometheus metrics
                    (for node_exporter's textfile folder), replacing FILE at
                    once; the time of the last good run is kept from it
      --deadline SECONDS
                    (audit, backup, apply) end the run after SECONDS: each
                    line finishes the request on it, modules not yet reached
                    are reported as stopped (exit status 130)
      --wait MS     (find) how long each port may take to answer (1000)
      --inventory FILE
                    (find) name the module of the inventory each port
                    should have
  -q, --quiet       no progress line (shown only when stderr is a terminal)
  -h, --help        this text
      --version     the program's version

Exit status:
  0    done (diff: no differences; audit, apply: every module holds its file;
       find: some module answered)
  1    usage error, or a configuration file that can't be read or is wrong
  2    the port could not be opened, refused a write or was lost
  3    no reply: a request got no answer within 5000 ms (named in the message)
  4    the read-back differs from what was written (diff: the module differs;
       audit and apply --dry-run: all modules reached, some differ)
       plant commands: 3 when some module could not be reached (3 outranks 4),
       1 when a backup file could not be written
  5    another run on the same inventory is under way (plant commands; its
       process is named); nothing was done
  130  stopped by Ctrl-C or --deadline, at once (commission: during a module's writes,
       recorded as interrupted; Ctrl-C between modules ends with status 0)

A write, default or commission that ends early says what the module holds:
"written before it ended" (acknowledged), "sent, not confirmed" (the request
on the line when it ended) and "not sent"; with --json the members written,
unconfirmed and not_sent.
)";
}

}  // namespace varnolink
