// SPDX-License-Identifier: MIT
// Feeds arbitrary command lines to varnolink's argument parser. It must
// refuse with an EUsage only, and what it accepts must hold: numbers within
// their ranges, an RS-485 text that parses, nothing larger than the input.
//
// Input: the arguments, separated by NUL bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arguments.h"
#include "main/engine/rs485_choice.h"
#include "main/files/config_file.h"
#include "main/protocol/baud_table.h"
#include "tests/fuzz/fuzz_input.h"

using namespace varnolink;
using fuzz_test::Require;

namespace {

std::vector<std::string> ArgumentsOf(std::string_view Input)
{
    std::vector<std::string> Arguments;
    for (;;) {
        const std::size_t Nul = Input.find('\0');
        Arguments.emplace_back(Input.substr(0, Nul));
        if (Nul == std::string_view::npos)
            return Arguments;
        Input.remove_prefix(Nul + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::vector<std::string> Arguments = ArgumentsOf(fuzz_test::TextOf(Data, Size));
    TCliArguments Parsed;
    try {
        Parsed = ParseCliArguments(Arguments);
    } catch (const EUsage& Error) {
        Require(*Error.what() != '\0', "a usage error without words");
        return 0;
    }
    Require(!Parsed.Json || CliWantsJson(Arguments), "--json set without the word --json");
    Require(Parsed.Jobs <= 100000, "--jobs beyond its range");
    Require(!Parsed.WaitMs || (*Parsed.WaitMs >= 1 && *Parsed.WaitMs <= 60000), "--wait beyond its range");
    Require(!Parsed.Deadline || (*Parsed.Deadline >= 1 && *Parsed.Deadline <= 7 * 24 * 3600),
            "--deadline beyond its range");
    Require(!Parsed.LineSpeed || ParseBaudRate(std::to_string(*Parsed.LineSpeed)).has_value(),
            "--line-speed not one of the rates");
    if (!Parsed.Rs485.empty()) {
        try {
            ParseRs485Choice(Parsed.Rs485);
        } catch (const std::invalid_argument&) {
            Require(false, "an accepted --rs485 text does not parse");
        }
    }
    Require(!Parsed.Baud || BaudIndexOfRate(*Parsed.Baud), "an accepted --baud is no rate of the module");
    // Every text kept comes from the input.
    std::size_t Kept = Parsed.Port.size() + Parsed.File.size() + Parsed.Output.size() + Parsed.Ids.size() +
                       Parsed.Log.size() + Parsed.Inventory.size() + Parsed.Report.size() + Parsed.Metrics.size() +
                       Parsed.BackupDir.size() + Parsed.Reason.size() + Parsed.JournalFile.size() +
                       Parsed.Since.size() + Parsed.Rs485.size() + (Parsed.Id ? Parsed.Id->size() : 0);
    for (const std::string& Field : Parsed.Keep)
        Kept += Field.size();
    for (const std::string& Port : Parsed.Ports)
        Kept += Port.size();
    Require(Kept <= Size, "more text kept than given");
    Require(Parsed.Keep.size() + Parsed.Ports.size() <= Size, "more items than bytes given");
    return 0;
}
