// SPDX-License-Identifier: MIT
// Reading a plant's inventory and the configuration files it names.
#include "main/files/inventory.h"

#include <algorithm>
#include <map>
#include <optional>

#include "main/files/config_file.h"
#include "main/files/csv.h"
#include "main/files/file_text.h"

namespace varnolink {

namespace {

std::string Place(const std::string& File, std::size_t Line, const std::string& Column)
{
    std::string Text = File;
    if (Line > 0)
        Text += ":" + std::to_string(Line);
    if (!Column.empty())
        Text += ": column " + Quoted(Column);
    return Text;
}

std::string FolderOf(const std::string& Path)
{
    const std::size_t Slash = Path.rfind('/');
    return Slash == std::string::npos ? std::string() : Path.substr(0, Slash + 1);
}

std::string Trimmed(const std::string& Text)
{
    const auto First = Text.find_first_not_of(" \t");
    if (First == std::string::npos)
        return {};
    return Text.substr(First, Text.find_last_not_of(" \t") - First + 1);
}

bool IsBlank(const TCsvRecord& Record)
{
    return std::all_of(Record.Fields.begin(), Record.Fields.end(),
                       [](const std::string& F) { return Trimmed(F).empty(); });
}

}  // namespace

EInventory::EInventory(const std::string& File, std::size_t Line, const std::string& Column, const std::string& Reason)
    : std::runtime_error(Place(File, Line, Column) + ": " + Reason)
{}

TInventory LoadInventory(const std::string& Path, bool ConfigRequired)
{
    const TFileText File = ReadFileText(Path, InventoryLimit);
    if (!File.Error.empty())
        throw EInventory(Path, 0, "", File.Error);
    std::vector<TCsvRecord> Records;
    try {
        Records = ParseCsv(File.Text);
    } catch (const ECsv& Error) {
        throw EInventory(Path, Error.Line(), "", Error.Reason());
    }
    Records.erase(std::remove_if(Records.begin(), Records.end(), IsBlank), Records.end());
    if (Records.empty())
        throw EInventory(Path, 0, "", "empty: expected a header row such as name,port,config,location");

    // The header: every known column at most once, the required ones present.
    std::map<std::string, std::size_t> Columns;
    const TCsvRecord& Header = Records.front();
    for (std::size_t Index = 0; Index < Header.Fields.size(); ++Index) {
        std::string Name = Trimmed(Header.Fields[Index]);
        std::transform(Name.begin(), Name.end(), Name.begin(), [](unsigned char C) { return std::tolower(C); });
        if (Name == "name" || Name == "port" || Name == "config" || Name == "location") {
            if (!Columns.emplace(Name, Index).second)
                throw EInventory(Path, Header.Line, Name, "given twice in the header");
        }
    }
    std::vector<std::string> Required{"name", "port"};
    if (ConfigRequired)
        Required.emplace_back("config");
    for (const std::string& Name : Required)
        if (Columns.count(Name) == 0)
            throw EInventory(Path, Header.Line, Name, "missing from the header row");

    TInventory Inventory{Path, {}};
    std::map<std::string, std::size_t> LineOfName;
    const std::string Folder = FolderOf(Path);
    for (auto Record = Records.begin() + 1; Record != Records.end(); ++Record) {
        const auto Cell = [&](const char* Column) -> std::string {
            const auto At = Columns.find(Column);
            if (At == Columns.end() || At->second >= Record->Fields.size())
                return {};
            return Trimmed(Record->Fields[At->second]);
        };
        TInventoryEntry Entry;
        Entry.Line = Record->Line;
        Entry.Name = Cell("name");
        Entry.Port = Cell("port");
        Entry.Config = Cell("config");
        Entry.Location = Cell("location");
        if (Entry.Name.empty())
            throw EInventory(Path, Entry.Line, "name", "empty: every module needs a name");
        if (Entry.Port.empty())
            throw EInventory(Path, Entry.Line, "port", "empty: name the port of module " + Entry.Name);
        if (ConfigRequired && Entry.Config.empty())
            throw EInventory(Path, Entry.Line, "config", "empty: name the configuration file of module " + Entry.Name);
        if (const auto [At, New] = LineOfName.emplace(Entry.Name, Entry.Line); !New)
            throw EInventory(Path, Entry.Line, "name",
                             Quoted(Entry.Name) + " is the name of line " + std::to_string(At->second) + " too");
        if (!Entry.Config.empty())
            Entry.ConfigPath = Entry.Config.front() == '/' ? Entry.Config : Folder + Entry.Config;
        Inventory.Entries.push_back(std::move(Entry));
    }
    if (Inventory.Entries.empty())
        throw EInventory(Path, 0, "", "lists no module");
    return Inventory;
}

std::vector<TModuleConfig> LoadInventoryConfigs(const TInventory& Inventory)
{
    std::vector<TModuleConfig> Configs;
    Configs.reserve(Inventory.Entries.size());
    for (const TInventoryEntry& Entry : Inventory.Entries) {
        try {
            Configs.push_back(RequireComplete(LoadConfigFile(Entry.ConfigPath), Entry.ConfigPath));
        } catch (const EConfigFile& Error) {
            throw EInventory(Inventory.Path, Entry.Line, "config", Error.what());
        }
    }
    return Configs;
}

std::string InventoryText(const std::vector<std::string>& ExtraColumns,
                          const std::vector<std::vector<std::string>>& Rows)
{
    std::vector<std::string> Header{"name", "port", "config", "location"};
    Header.insert(Header.end(), ExtraColumns.begin(), ExtraColumns.end());
    std::string Text = CsvRecord(Header);
    for (const std::vector<std::string>& Row : Rows)
        Text += CsvRecord(Row);
    return Text;
}

}  // namespace varnolink
