// SPDX-License-Identifier: MIT
// Feeds arbitrary files to the plant inventory's reader. It must refuse with
// an EInventory only; what it accepts must keep its rules (every module
// named once, with a port, cells trimmed, records in order) and, written
// again as an inventory, read back the same.
//
// Input: the bytes of the file.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "main/files/inventory.h"

using namespace varnolink;

namespace {

void Require(bool Condition, const char* What)
{
    if (!Condition) {
        std::fprintf(stderr, "inventory_fuzz: %s\n", What);
        std::abort();
    }
}

// The reader takes a path: the inputs go to a file in a folder of the
// fuzzer's own, removed when it ends.
class TScratchFile {
public:
    TScratchFile()
    {
        std::string Name = (std::filesystem::temp_directory_path() / "varnolink-inventory-fuzz-XXXXXX").string();
        Require(::mkdtemp(Name.data()) != nullptr, "no scratch folder");
        Folder_ = Name;
    }
    ~TScratchFile()
    {
        std::error_code Ignored;
        std::filesystem::remove_all(Folder_, Ignored);
    }
    TScratchFile(const TScratchFile&) = delete;
    TScratchFile& operator=(const TScratchFile&) = delete;

    std::string Holding(const char* Data, std::size_t Size) const
    {
        const std::string Path = (Folder_ / "plant.csv").string();
        std::ofstream(Path, std::ios::binary | std::ios::trunc).write(Data, static_cast<std::streamsize>(Size));
        return Path;
    }

private:
    std::filesystem::path Folder_;
};

bool IsTrimmed(const std::string& Text)
{
    const auto Blank = [](char C) { return C == ' ' || C == '\t'; };
    return Text.empty() || (!Blank(Text.front()) && !Blank(Text.back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const TScratchFile Scratch;
    TInventory Inventory;
    try {
        Inventory = LoadInventory(Scratch.Holding(reinterpret_cast<const char*>(Data), Size), false);
    } catch (const EInventory&) {
        return 0;
    }
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
        Again = LoadInventory(Scratch.Holding(Text.data(), Text.size()), false);
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
