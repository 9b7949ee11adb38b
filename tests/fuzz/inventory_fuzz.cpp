// SPDX-License-Identifier: MIT
// Feeds arbitrary files to the plant inventory's reader. It must refuse with
// an EInventory only; what it accepts must keep its rules (every module
// named once, with a port, cells trimmed, records in order) and, written
// again as an inventory, read back the same.
//
// Input: the bytes of the file.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "main/files/inventory.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;
using fuzz_test::Require;

namespace {

bool IsTrimmed(const std::string& Text)
{
    const auto Blank = [](char C) { return C == ' ' || C == '\t'; };
    return Text.empty() || (!Blank(Text.front()) && !Blank(Text.back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // The reader takes a path: the inputs go to a file in a folder of the
    // fuzzer's own, removed when it ends.
    static const test_support::TScratchFolder Scratch;
    const std::string Path = Scratch.Write("plant.csv", std::string(fuzz_test::TextOf(Data, Size)));
    const auto Accepted = fuzz_test::Accepted<EInventory>([&Path] { return LoadInventory(Path, false); });
    if (!Accepted)
        return 0;
    const TInventory& Inventory = *Accepted;
    Require(!Inventory.Entries.empty() && Inventory.Entries.size() <= Size, "an accepted inventory's size");
    std::set<std::string> Names;
    std::size_t LastLine = 0;
    std::vector<std::vector<std::string>> Rows;
    for (const TInventoryEntry& Entry : Inventory.Entries) {
        Require(!Entry.Name.empty() && !Entry.Port.empty(), "a module without a name or a port");
        Require(Names.insert(Entry.Name).second, "a name twice");
        Require(Entry.Line > LastLine, "records out of order");
        LastLine = Entry.Line;
        Require(IsTrimmed(Entry.Name) && IsTrimmed(Entry.Port) && IsTrimmed(Entry.Config) && IsTrimmed(Entry.Location),
                "a cell with blanks around it");
        Require(Entry.Config.empty() == Entry.ConfigPath.empty(), "a config path without a config");
        Rows.push_back({Entry.Name, Entry.Port, Entry.Config, Entry.Location});
    }
    const std::string Text = InventoryText({}, Rows);
    TInventory Again;
    try {
        Again = LoadInventory(Scratch.Write("plant.csv", Text), false);
    } catch (const EInventory& Error) {
        std::fprintf(stderr, "inventory_fuzz: %s\n", Error.what());
        Require(false, "an accepted inventory, written again, is refused");
    }
    Require(Again.Entries.size() == Inventory.Entries.size(), "written again, the count of modules differs");
    for (std::size_t Index = 0; Index < Rows.size(); ++Index) {
        const TInventoryEntry& Entry = Again.Entries[Index];
        Require(Rows[Index] == std::vector<std::string>{Entry.Name, Entry.Port, Entry.Config, Entry.Location},
                "written again, a module reads back differently");
    }
    return 0;
}
