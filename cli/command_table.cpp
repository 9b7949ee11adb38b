// SPDX-License-Identifier: MIT
// The table of varnolink's commands and options, and the --help texts made
// from it.
#include "cli/command_table.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "main/engine/rs485_choice.h"
#include "main/files/config_file.h"

namespace varnolink {

namespace {

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

void AppendList(std::vector<std::string>& Items, const std::string& Text)
{
    std::size_t Start = 0;
    while (Start <= Text.size()) {
        std::size_t End = Text.find(',', Start);
        if (End == std::string::npos)
            End = Text.size();
        if (End > Start)
            Items.push_back(Text.substr(Start, End - Start));
        Start = End + 1;
    }
}

constexpr TCommandSet Of(std::initializer_list<TCliCommand> Commands)
{
    TCommandSet Set = 0;
    for (const TCliCommand Command : Commands)
        Set |= CommandBit(Command);
    return Set;
}

// A line rate given on the command line, as a number; only the module's
// eight rates are taken.
int RateOption(const char* Option, const std::string& Value)
{
    if (!ParseBaudRate(Value))
        throw EUsage(std::string(Option) + " " + Value +
                     ": expected one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200");
    return std::stoi(Value);
}

using TC = TCliCommand;

constexpr TCommandSet Every =
    Of({TC::Ports, TC::Identify, TC::Read, TC::Write, TC::Diff, TC::Default, TC::Commission, TC::Audit, TC::Backup,
        TC::Apply, TC::Find, TC::Backups, TC::Restore, TC::Doctor, TC::Journal});
constexpr TCommandSet Plant = Of({TC::Audit, TC::Backup, TC::Apply, TC::Find});
// The commands that talk to one module on one port.
constexpr TCommandSet OnePort = Every & ~Plant & ~Of({TC::Ports, TC::Backups});
// Those of them that open it: journal only names a port to choose records by.
constexpr TCommandSet OpensPort = OnePort & ~Of({TC::Journal});
// Those that talk at one rate: doctor tries the module's rates itself.
constexpr TCommandSet OneRate = OpensPort & ~Of({TC::Doctor});
constexpr TCommandSet Writing = Of({TC::Write, TC::Default, TC::Restore, TC::Commission});

// In the order of the message for a missing command. Each row: the name, the
// command, its operands, whether it needs -p, an option it cannot run without
// and the message when it is missing, whether --help lists it among the plant
// commands and its place there; then its synopsis and summary in --help.
// clang-format off
constexpr std::array<TCommandRow, 15> Commands{{
    {"ports", TC::Ports, TOperands::None, false, nullptr, nullptr, false, 0,
     {"ports",
      "list the serial ports, marking busy ones and the\n"
      "system console (never opened); says so when\n"
      "there are none"},
     {}},
    {"identify", TC::Identify, TOperands::None, true, nullptr, nullptr, false, 1,
     {"identify -p PORT",
      "the module's BIOS name and version"},
     {}},
    {"read", TC::Read, TOperands::None, true, nullptr, nullptr, false, 2,
     {"read -p PORT [-o FILE]",
      "the configuration file, on stdout or into FILE"},
     {}},
    {"write", TC::Write, TOperands::File, true, nullptr, nullptr, false, 3,
     {"write -p PORT FILE [--id XX] [--baud RATE] [--keep FIELD,...] [--dry-run]",
      "write FILE into the module, read it back and\n"
      "compare; --id and --baud replace the file's\n"
      "values; --keep leaves the named fields or groups\n"
      "(module, direction, power_on_default) as the\n"
      "module has them (needed for fields FILE lacks);\n"
      "--dry-run reads and compares, writes nothing"},
     {}},
    {"diff", TC::Diff, TOperands::File, true, nullptr, nullptr, false, 4,
     {"diff -p PORT FILE",
      "the fields in which the module differs from FILE"},
     {}},
    {"default", TC::Default, TOperands::None, true, nullptr, nullptr, false, 5,
     {"default -p PORT",
      "write the factory values, then read back"},
     {}},
    {"commission", TC::Commission, TOperands::File, true, "--ids",
     "commission needs the Remote IDs to give: --ids LIST (for example 01-1F)",
     false, 10,
     {"commission -p PORT TEMPLATE --ids LIST [--log FILE.csv] [--dry-run]\n"
      "           [--next-on-enter]",
      "put modules into service one after another:\n"
      "each gets TEMPLATE with the next Remote ID of\n"
      "LIST (01-1F, 01-05,08) not yet done in the log,\n"
      "is read back and gets one CSV row in the log;\n"
      "then the next module is awaited"},
     {}},
    {"audit", TC::Audit, TOperands::Inventory, false, nullptr, nullptr, true, 0,
     {"audit PLANT.csv",
      "read every module of the inventory and compare\n"
      "it with its file; writes nothing"},
     {}},
    {"backup", TC::Backup, TOperands::Inventory, false, "--output",
     "backup needs the folder to write into: -o DIR",
     true, 1,
     {"backup PLANT.csv -o DIR",
      "read every module into DIR/NAME.ini and write\n"
      "DIR/plant.csv, an inventory of those files"},
     {}},
    {"apply", TC::Apply, TOperands::Inventory, false, nullptr, nullptr, true, 2,
     {"apply PLANT.csv [--dry-run] [--backup-dir DIR]",
      "write its file into every module that differs\n"
      "from it (after keeping what it held in DIR,\n"
      "by default ~/.local/state/varnolink/backups),\n"
      "then read back and compare; a module that\n"
      "holds its file already gets no write"},
     {}},
    {"find", TC::Find, TOperands::Ports, false, nullptr, nullptr, true, 3,
     {"find --speeds PORT...",
      "the line speed each port's module answers at"},
     {"find [PORT...] [--inventory PLANT.csv] [--wait MS]",
      "ask each port who answers (identity, Remote\n"
      "ID); with no PORT every USB serial adapter and\n"
      "every port of VARNOLINK_PORTS, never a built-in\n"
      "UART or the system console"}},
    {"backups", TC::Backups, TOperands::None, false, nullptr, nullptr, false, 7,
     {"backups",
      "the backups kept before writes, oldest first"},
     {}},
    {"restore", TC::Restore, TOperands::File, true, nullptr, nullptr, false, 8,
     {"restore -p PORT FILE",
      "write a backup (or any complete configuration\n"
      "file) back into the module, then read back"},
     {}},
    {"doctor", TC::Doctor, TOperands::None, false, nullptr, nullptr, false, 6,
     {"doctor [-p PORT]",
      "check the port and the line step by step, each\n"
      "check with its verdict and what to do: the\n"
      "device, your access to it, who holds it, a USB\n"
      "adapter's latency, echo, the module at 9600 baud\n"
      "and, failing that, at the other rates; for a\n"
      "network port the server, its telnet and banner"},
     {}},
    {"journal", TC::Journal, TOperands::None, false, nullptr, nullptr, false, 9,
     {"journal [--since TIME] [-p PORT]",
      "the changes made to modules, oldest first:\n"
      "when, by whom, which module, the fields before\n"
      "and after, the reason and how the write ended\n"
      "(TIME in UTC: 2026-12-10 or 2026-12-10T06:00:00Z)"},
     {}},
}};
// clang-format on

// In the order of the overall --help; those it does not list follow. Each
// row: the long and the short name, the value's name (nullptr for a flag),
// the commands that take it, where its value lands, its help and whether the
// overall --help lists it.
constexpr std::array<TOptionRow, 28> Options{{
    {"--port", "-p", "PORT", OnePort, [](TCliArguments& A, const std::string& V) { A.Port = V; }, "the serial port",
     true},
    {"--line-speed", nullptr, "RATE", OneRate,
     [](TCliArguments& A, const std::string& V) { A.LineSpeed = RateOption("--line-speed", V); },
     "talk at RATE instead of 9600 baud (a module whose baud\n"
     "rate was changed answers only at that rate)",
     true},
    {"--rs485", nullptr, "rts-on-send[,rts-after-send][,delay-before=MS][,delay-after=MS][,rx-during-tx]", OpensPort,
     [](TCliArguments& A, const std::string& V) {
         try {
             ParseRs485Choice(V);
         } catch (const std::invalid_argument& Error) {
             throw EUsage("--rs485 " + V + ": " + Error.what());
         }
         A.Rs485 = V;
     },
     "put the port in the kernel's RS-485 mode, so that its\n"
     "driver switches the transceiver by RTS (a board UART\n"
     "with an RS-485 transceiver); a USB-RS485 adapter that\n"
     "switches by itself needs none",
     true},
    {"--output", "-o", "FILE", Of({TC::Read, TC::Backup}), [](TCliArguments& A, const std::string& V) { A.Output = V; },
     "write the configuration into FILE (read; checked before\n"
     "the port is opened)",
     true},
    {"--ids", nullptr, "LIST", Of({TC::Commission}), [](TCliArguments& A, const std::string& V) { A.Ids = V; },
     "(commission) the Remote IDs to give, ranges and commas", true},
    {"--log", nullptr, "FILE", Of({TC::Commission}), [](TCliArguments& A, const std::string& V) { A.Log = V; },
     "(commission) the CSV log: one row per module, IDs shown\n"
     "there as ok are not given again",
     true},
    {"--dry-run", nullptr, nullptr, Of({TC::Write, TC::Commission, TC::Apply}),
     [](TCliArguments& A, const std::string&) { A.DryRun = true; },
     "(write, commission, apply) read each module, show what\n"
     "would change; write nothing, log nothing",
     true},
    {"--no-backup", nullptr, nullptr, Writing, [](TCliArguments& A, const std::string&) { A.NoBackup = true; },
     "(write, default, restore, commission) do not read the\n"
     "module first to keep its configuration; by default it is\n"
     "kept in ~/.local/state/varnolink/backups (XDG_STATE_HOME)\n"
     "before the first write frame, and a backup that cannot\n"
     "be written stops the write before it starts",
     true},
    {"--reason", nullptr, "TEXT", Writing | Of({TC::Apply}),
     [](TCliArguments& A, const std::string& V) { A.Reason = V; },
     "(write, default, restore, commission, apply) the change\n"
     "ticket or reason, kept in the journal of changes",
     true},
    {"--journal", nullptr, "FILE", Writing | Of({TC::Apply, TC::Journal}),
     [](TCliArguments& A, const std::string& V) { A.JournalFile = V; },
     "the journal of changes (also VARNOLINK_JOURNAL); by\n"
     "default ~/.local/state/varnolink/journal.jsonl\n"
     "(XDG_STATE_HOME). Every write keeps a record there\n"
     "before its first write frame and completes it after\n"
     "the read-back",
     true},
    {"--next-on-enter", nullptr, nullptr, Of({TC::Commission}),
     [](TCliArguments& A, const std::string&) { A.NextOnEnter = true; },
     "(commission) after each module wait for Enter instead of\n"
     "for the next module to be plugged in",
     true},
    {"--json", nullptr, nullptr, Every, [](TCliArguments& A, const std::string&) { A.Json = true; },
     "machine output on stdout: one JSON object for every run,\n"
     "usage errors included, with ok, exit_code and command\n"
     "(its shape: varnolink.schema.json, installed with the\n"
     "program)",
     true},
    {"--verbose", "-v", nullptr, Every, [](TCliArguments& A, const std::string&) { A.Verbose = true; },
     "every frame sent and reply received, on stderr", true},
    {"--jobs", nullptr, "N", Plant,
     [](TCliArguments& A, const std::string& V) {
         A.Jobs = static_cast<std::size_t>(NumberOption("--jobs", V, 1, 100000));
     },
     "(plant commands) at most N lines at once (default: all)", true},
    {"--report", nullptr, "FILE", Plant, [](TCliArguments& A, const std::string& V) { A.Report = V; },
     "(plant commands) also write the result as an HTML page", true},
    {"--metrics", nullptr, "FILE", Of({TC::Audit}), [](TCliArguments& A, const std::string& V) { A.Metrics = V; },
     "(audit) also write the result as Prometheus metrics\n"
     "(for node_exporter's textfile folder), replacing FILE at\n"
     "once; the time of the last good run is kept from it",
     true},
    {"--deadline", nullptr, "SECONDS", Of({TC::Audit, TC::Backup, TC::Apply}),
     [](TCliArguments& A, const std::string& V) {
         A.Deadline = static_cast<int>(NumberOption("--deadline", V, 1, 7 * 24 * 3600));
     },
     "(audit, backup, apply) end the run after SECONDS: each\n"
     "line finishes the request on it, modules not yet reached\n"
     "are reported as stopped (exit status 130)",
     true},
    {"--wait", nullptr, "MS", Of({TC::Find}),
     [](TCliArguments& A, const std::string& V) { A.WaitMs = static_cast<int>(NumberOption("--wait", V, 1, 60000)); },
     "(find) how long each port may take to answer (1000)", true},
    {"--inventory", nullptr, "FILE", Of({TC::Find}), [](TCliArguments& A, const std::string& V) { A.Inventory = V; },
     "(find) name the module of the inventory each port\n"
     "should have",
     true},
    {"--quiet", "-q", nullptr, Every, [](TCliArguments& A, const std::string&) { A.Quiet = true; },
     "no progress line (shown only when stderr is a terminal)", true},
    {"--help", "-h", nullptr, Every, [](TCliArguments& A, const std::string&) { A.Help = true; }, "this text", true},
    {"--version", nullptr, nullptr, Every, [](TCliArguments& A, const std::string&) { A.Version = true; },
     "the program's version", true},
    {"--id", nullptr, "XX", Of({TC::Write}), [](TCliArguments& A, const std::string& V) { A.Id = V; },
     "the Remote ID to write instead of the file's (two hex\n"
     "digits or 0b and eight binary digits)",
     false},
    {"--baud", nullptr, "RATE", Of({TC::Write}),
     [](TCliArguments& A, const std::string& V) { A.Baud = RateOption("--baud", V); },
     "the baud rate to write instead of the file's", false},
    {"--keep", nullptr, "FIELD,...", Of({TC::Write}),
     [](TCliArguments& A, const std::string& V) { AppendList(A.Keep, V); },
     "leave these fields or groups (module, direction,\n"
     "power_on_default) as the module has them",
     false},
    {"--backup-dir", nullptr, "DIR", Of({TC::Apply}), [](TCliArguments& A, const std::string& V) { A.BackupDir = V; },
     "keep what each module held in DIR before writing it", false},
    {"--since", nullptr, "TIME", Of({TC::Journal}), [](TCliArguments& A, const std::string& V) { A.Since = V; },
     "only changes from TIME on (UTC)", false},
    {"--speeds", nullptr, nullptr, Of({TC::Find}), [](TCliArguments& A, const std::string&) { A.Speeds = true; },
     "search the line speed each PORT's module answers at", false},
}};

const char* const UsageHead = R"(Usage: varnolink [--json] [-v|-q] COMMAND [OPTION]...
Reads and writes the configuration of a VARNOLINK I/O module on a serial line
(9600 baud, 8N1), one request at a time, 5000 ms for each reply.
)";

const char* const PlantHead = R"(Plant commands (every line at once, one module per line; rows that share a
port run one after the other):
)";

const char* const UsageMiddle = R"(PLANT.csv is a CSV file with a header row: name and port are required,
config (the module's configuration file, relative to PLANT.csv) is needed by
audit and apply, location is shown in the reports; other columns are ignored.

PORT is a device path (/dev/ttyUSB0), a name under /dev (ttyUSB0), COMn
(COM1 is /dev/ttyS0), or a network port: rfc2217://HOST:PORT (RFC 2217, for
example ser2net's telnet(rfc2217) accepter) or socket://HOST:PORT (raw TCP).
Field names: remote_id, baud, direction.P0 ...
direction.P5, power_on_default.P0 ... power_on_default.P5.
)";

const char* const UsageTail = R"(Exit status:
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

// Each line of Text, indented by Indent.
std::string Indented(std::string_view Text, std::size_t Indent)
{
    std::string Out;
    std::size_t Start = 0;
    while (Start <= Text.size()) {
        std::size_t End = Text.find('\n', Start);
        if (End == std::string_view::npos)
            End = Text.size();
        Out += std::string(Indent, ' ');
        Out += Text.substr(Start, End - Start);
        Out += '\n';
        Start = End + 1;
    }
    return Out;
}

// A term and its text in two columns: the text starts at column Column, on
// the term's line when the term leaves room for it, else on the next.
std::string TwoColumns(const std::string& Term, std::string_view Text, std::size_t Column)
{
    std::string Out = Indented(Term, 2);
    std::string Lines = Indented(Text, Column);
    if (Term.find('\n') == std::string::npos && Term.size() + 3 <= Column) {
        Out.pop_back();
        Lines.erase(0, Term.size() + 2);
    }
    return Out + Lines;
}

std::string UsageEntryText(const TUsageEntry& Entry)
{
    return TwoColumns(Entry.Synopsis, Entry.Summary, 30);
}

std::string OptionText(const TOptionRow& Option)
{
    std::string Term = Option.Short != nullptr ? std::string(Option.Short) + ", " : std::string(4, ' ');
    Term += Option.Long;
    if (Option.Argument != nullptr)
        Term += std::string(" ") + Option.Argument;
    return TwoColumns(Term, Option.Help, 20);
}

// The overview entries of one section of --help, in their order.
std::string UsageSection(bool PlantSection)
{
    std::vector<const TCommandRow*> Rows;
    for (const TCommandRow& Row : Commands)
        if (Row.Plant == PlantSection)
            Rows.push_back(&Row);
    std::sort(Rows.begin(), Rows.end(), [](const TCommandRow* A, const TCommandRow* B) { return A->Rank < B->Rank; });
    std::string Out;
    for (const TCommandRow* Row : Rows) {
        Out += UsageEntryText(Row->Usage);
        if (Row->SecondUsage.Synopsis != nullptr)
            Out += UsageEntryText(Row->SecondUsage);
    }
    return Out;
}

}  // namespace

std::span<const TCommandRow> CliCommandTable()
{
    return Commands;
}

std::span<const TOptionRow> CliOptionTable()
{
    return Options;
}

const TCommandRow* FindCliCommand(std::string_view Name)
{
    for (const TCommandRow& Row : Commands)
        if (Name == Row.Name)
            return &Row;
    return nullptr;
}

const TOptionRow* FindCliOption(std::string_view Word)
{
    for (const TOptionRow& Row : Options)
        if (Word == Row.Long || (Row.Short != nullptr && Word == Row.Short))
            return &Row;
    return nullptr;
}

bool OptionTakenBy(const TOptionRow& Option, TCliCommand Command)
{
    return (Option.Commands & CommandBit(Command)) != 0;
}

std::string CliUsageText()
{
    std::string Out = UsageHead;
    Out += "\nCommands:\n" + UsageSection(false);
    Out += "\n" + std::string(PlantHead) + UsageSection(true);
    Out += "\n" + std::string(UsageMiddle) + "\nOptions:\n";
    for (const TOptionRow& Option : Options)
        if (Option.Overview)
            Out += OptionText(Option);
    return Out + "\n" + UsageTail;
}

std::string CliCommandUsageText(TCliCommand Command)
{
    const auto Row = std::find_if(Commands.begin(), Commands.end(),
                                  [Command](const TCommandRow& Each) { return Each.Command == Command; });
    if (Row == Commands.end())
        return CliUsageText();
    std::string Out;
    for (const TUsageEntry& Entry : {Row->Usage, Row->SecondUsage}) {
        if (Entry.Synopsis == nullptr)
            continue;
        // The synopsis on one line: its continuation lines fit the overview only.
        std::string Synopsis = Entry.Synopsis;
        for (std::size_t Break; (Break = Synopsis.find('\n')) != std::string::npos;)
            Synopsis.replace(Break, Synopsis.find_first_not_of(' ', Break + 1) - Break, " ");
        Out += "Usage: varnolink [--json] [-v|-q] " + Synopsis + "\n" + Indented(Entry.Summary, 2);
    }
    // Its own options first, then those every command takes.
    Out += "\nOptions:\n";
    for (const bool Shared : {false, true})
        for (const TOptionRow& Option : Options)
            if (OptionTakenBy(Option, Command) && (Option.Commands == Every) == Shared)
                Out += OptionText(Option);
    return Out;
}

}  // namespace varnolink
