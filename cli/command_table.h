// SPDX-License-Identifier: MIT
// varnolink's commands and options as one table: the parser, the check of
// which command takes which option and the --help texts are made from it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cli/arguments.h"

namespace varnolink {

// The words a command takes after its name.
enum class TOperands {
    None,
    File,       // one configuration file (write, diff, restore, commission's template)
    Inventory,  // one inventory, PLANT.csv
    Ports,      // any number of ports (find)
};

// A set of commands, one bit per TCliCommand.
using TCommandSet = uint32_t;

constexpr TCommandSet CommandBit(TCliCommand Command)
{
    return TCommandSet{1} << static_cast<unsigned>(Command);
}

// One line of the command overview of --help: the command's synopsis
// (continuation lines already indented under it) and what it does, one
// string with the lines as --help shows them.
struct TUsageEntry {
    const char* Synopsis = nullptr;
    const char* Summary = nullptr;
};

struct TCommandRow {
    const char* Name;
    TCliCommand Command;
    TOperands Operands;
    bool NeedsPort;              // refused without -p
    const char* RequiredOption;  // an option it cannot run without, or nullptr
    const char* RequiredMessage;
    bool Plant;  // listed among the plant commands of --help
    int Rank;    // its place in the overview of --help
    TUsageEntry Usage;
    TUsageEntry SecondUsage;  // a second form (find --speeds), or empty
};

// Stores an option's value (a flag's value is empty) into the parsed
// arguments; throws EUsage for a value it refuses.
using TOptionStore = void (*)(TCliArguments&, const std::string&);

struct TOptionRow {
    const char* Long;      // "--port"
    const char* Short;     // "-p", or nullptr
    const char* Argument;  // the value's name in --help, or nullptr for a flag
    TCommandSet Commands;  // the commands that take it
    TOptionStore Store;
    const char* Help;  // its lines as --help shows them
    bool Overview;     // listed among the options of the overall --help
};

std::span<const TCommandRow> CliCommandTable();
std::span<const TOptionRow> CliOptionTable();

// The row named Name; nullptr for none.
const TCommandRow* FindCliCommand(std::string_view Name);
// The option a word names, by its long or its short name; nullptr for none.
const TOptionRow* FindCliOption(std::string_view Word);
bool OptionTakenBy(const TOptionRow& Option, TCliCommand Command);

// --help for one command: its synopsis, what it does and its options.
std::string CliCommandUsageText(TCliCommand Command);

}  // namespace varnolink
