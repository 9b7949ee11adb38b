// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "main/protocol/module_config.h"

namespace varnolink {

// A plant's inventory: a CSV file with a header row naming its columns, one
// module per record. The columns are found by name, in any order; others are
// kept in the file and ignored here.
//
//   name,port,config,location
//   press-1,/dev/ttyUSB0,press-1.ini,cabinet 1
//   press-2,rfc2217://10.0.0.7:4001,press-2.ini,cabinet 2
//
// name and port are required; config (the configuration file the module
// should hold, relative to the inventory's folder) is required by the work
// that compares or writes; location is free text for the reports.
struct TInventoryEntry {
    std::size_t Line = 0;  // where its record starts, from 1
    std::string Name;
    std::string Port;
    std::string Config;      // as the file gives it; empty when the column is absent or the cell empty
    std::string ConfigPath;  // Config resolved against the inventory's folder
    std::string Location;
};

struct TInventory {
    std::string Path;
    std::vector<TInventoryEntry> Entries;
};

// A fault of the inventory or of a file it names, with the place:
// 'plant.csv:4: column "config": ...'. Line 0: the whole file; Column may be
// empty.
class EInventory : public std::runtime_error {
public:
    EInventory(const std::string& File, std::size_t Line, const std::string& Column, const std::string& Reason);
};

// The largest inventory read (some thousand modules are well under 1 MiB).
inline constexpr std::size_t InventoryLimit = std::size_t{4} << 20;

// Reads and checks an inventory: the header, every record's name (unique)
// and port, and with ConfigRequired every record's config cell.
TInventory LoadInventory(const std::string& Path, bool ConfigRequired);

// The complete configuration file of every entry, in order, all read before
// anything else happens; the first bad one is an EInventory naming the
// inventory's line and the configuration file's own fault.
std::vector<TModuleConfig> LoadInventoryConfigs(const TInventory& Inventory);

// The text of an inventory with the header name,port,config,location and
// the extra columns given, then one record per row (Rows[i] has the four
// fields and then one per extra column).
std::string InventoryText(const std::vector<std::string>& ExtraColumns,
                          const std::vector<std::vector<std::string>>& Rows);

}  // namespace varnolink
