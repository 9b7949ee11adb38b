// SPDX-License-Identifier: MIT
// Configuration files: parsing with every line, section and value checked
// (errors name file, line and key), and writing them.
#include "main/files/config_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "main/files/file_text.h"
#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

constexpr std::string_view SectionModule = "module";
constexpr std::string_view SectionIdentity = "identity";

constexpr std::array<std::string_view, 3> ModuleKeys{"format", "remote_id", "baud"};
constexpr std::array<std::string_view, 4> IdentityKeys{"bios_name", "bios_version", "status", "read_at"};

std::string Lower(std::string_view Text)
{
    std::string Result(Text);
    for (char& Ch : Result)
        if (Ch >= 'A' && Ch <= 'Z')
            Ch = static_cast<char>(Ch - 'A' + 'a');
    return Result;
}

std::string_view Trim(std::string_view Text)
{
    const std::size_t First = Text.find_first_not_of(" \t\r");
    if (First == std::string_view::npos)
        return {};
    const std::size_t Last = Text.find_last_not_of(" \t\r");
    return Text.substr(First, Last - First + 1);
}

bool IsCommentStart(char Ch)
{
    return Ch == ';' || Ch == '#';
}

std::optional<TPortGrid> GridOfSection(std::string_view Section)
{
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        if (Section == PortGridName(Grid))
            return Grid;
    return std::nullopt;
}

std::optional<int> RowOfKey(std::string_view Key)
{
    for (int Row = 0; Row < PortRowCount; ++Row)
        if (Key == Lower(PortRowName(Row)))
            return Row;
    return std::nullopt;
}

template <std::size_t N>
bool IsOneOf(std::string_view Key, const std::array<std::string_view, N>& Keys)
{
    for (const std::string_view Known : Keys)
        if (Key == Known)
            return true;
    return false;
}

bool IsKnownSection(std::string_view Section)
{
    return Section == SectionModule || Section == SectionIdentity || GridOfSection(Section).has_value();
}

bool IsKnownKey(std::string_view Section, std::string_view Key)
{
    if (Section == SectionModule)
        return IsOneOf(Key, ModuleKeys);
    if (Section == SectionIdentity)
        return IsOneOf(Key, IdentityKeys);
    return RowOfKey(Key).has_value();
}

// One entry of the file with where it stands, so that every error names
// its line. A line that is no entry and a key given twice are refused, not
// skipped or merged.
struct TEntryLine {
    std::string Section;   // lower case
    std::string Key;       // lower case
    std::string ShownKey;  // as written
    std::string_view Value;
    std::size_t Line;
};

// A value as written after "=": trimmed, and a value in double quotes
// without them (the only way to keep spaces at either end).
std::string_view EntryValue(std::string_view Written)
{
    const std::string_view Value = Trim(Written);
    if (Value.size() >= 2 && Value.front() == '"' && Value.back() == '"')
        return Value.substr(1, Value.size() - 2);
    return Value;
}

std::vector<TEntryLine> ReadEntries(std::string_view Text, const std::string& FileName)
{
    std::vector<TEntryLine> Entries;
    std::map<std::pair<std::string, std::string>, std::size_t> Seen;
    std::string Section;
    std::size_t LineNumber = 0;
    std::size_t Start = 0;
    while (Start < Text.size()) {
        std::size_t End = Text.find('\n', Start);
        if (End == std::string_view::npos)
            End = Text.size();
        const std::string_view Line = Trim(Text.substr(Start, End - Start));
        Start = End + 1;
        ++LineNumber;
        // A lone CR ends a line for some readers and not for others; such
        // a file is refused rather than read two ways.
        if (Line.find('\r') != std::string_view::npos)
            throw EConfigFile(FileName, LineNumber, {}, "carriage return inside the line");
        if (Line.empty() || IsCommentStart(Line.front()))
            continue;
        if (Line.front() == '[') {
            const std::size_t Close = Line.find(']');
            if (Close == std::string_view::npos)
                throw EConfigFile(FileName, LineNumber, {}, "section header without \"]\"");
            const std::string_view After = Trim(Line.substr(Close + 1));
            if (!After.empty() && !IsCommentStart(After.front()))
                throw EConfigFile(FileName, LineNumber, {}, "text after the section header");
            const std::string_view Name = Trim(Line.substr(1, Close - 1));
            Section = Lower(Name);
            if (!IsKnownSection(Section))
                throw EConfigFile(FileName, LineNumber, std::string(Name), "unknown section " + Quoted(Name));
            continue;
        }
        const std::size_t Equals = Line.find('=');
        if (Equals == std::string_view::npos)
            throw EConfigFile(FileName, LineNumber, {}, "not a \"key = value\" line");
        const std::string_view ShownKey = Trim(Line.substr(0, Equals));
        const std::string Key = Lower(ShownKey);
        if (Key.empty())
            throw EConfigFile(FileName, LineNumber, {}, "entry without a key");
        if (Section.empty())
            throw EConfigFile(FileName, LineNumber, std::string(ShownKey), "entry before the first section");
        if (!IsKnownKey(Section, Key))
            throw EConfigFile(FileName, LineNumber, std::string(ShownKey), "unknown key in section [" + Section + "]");
        const auto [Earlier, Inserted] = Seen.emplace(std::make_pair(Section, Key), LineNumber);
        if (!Inserted)
            throw EConfigFile(FileName, LineNumber, std::string(ShownKey),
                              "given twice (first on line " + std::to_string(Earlier->second) + ")");
        Entries.push_back({Section, Key, std::string(ShownKey), EntryValue(Line.substr(Equals + 1)), LineNumber});
    }
    return Entries;
}

// A setting's value without a trailing comment.
std::string_view SettingValue(std::string_view Value)
{
    const std::size_t Comment = Value.find_first_of(";#");
    return Trim(Comment == std::string_view::npos ? Value : Value.substr(0, Comment));
}

bool IsHexDigit(char Ch)
{
    return (Ch >= '0' && Ch <= '9') || (Ch >= 'A' && Ch <= 'F') || (Ch >= 'a' && Ch <= 'f');
}

void Apply(TConfigFile& Result, const TEntryLine& Entry, std::string_view RawValue, const std::string& FileName)
{
    const auto Refuse = [&](const std::string& Reason) {
        throw EConfigFile(FileName, Entry.Line, Entry.ShownKey, Reason);
    };
    if (Entry.Section == SectionIdentity) {
        const std::string Value(RawValue);
        if (Entry.Key == "bios_name")
            Result.Identity.BiosName = Value;
        else if (Entry.Key == "bios_version")
            Result.Identity.BiosVersion = Value;
        else if (Entry.Key == "status")
            Result.Identity.StatusText = Value;
        else
            Result.ReadAt = Value;
        return;
    }
    const std::string_view Value = SettingValue(RawValue);
    if (Entry.Section == SectionModule) {
        if (Entry.Key == "format") {
            if (Value != std::to_string(ConfigFileFormat))
                Refuse("format " + Quoted(Value) + " is not supported (this program reads format " +
                       std::to_string(ConfigFileFormat) + ")");
        } else if (Entry.Key == "remote_id") {
            const std::optional<uint8_t> Byte = ParseConfigByte(Value);
            if (!Byte)
                Refuse(Quoted(Value) + " is no byte (two hexadecimal digits or 0b and eight binary digits)");
            Result.Config.RemoteId = Byte;
        } else {
            const std::optional<int> Index = ParseBaudRate(Value);
            if (!Index)
                Refuse(Quoted(Value) + " is not one of the rates 1200, 2400, 4800, 9600, 19200, 38400, "
                                       "57600, 115200");
            Result.Config.BaudIndex = Index;
        }
        return;
    }
    const std::optional<uint8_t> Byte = ParseConfigByte(Value);
    if (!Byte)
        Refuse(Quoted(Value) + " is no byte (two hexadecimal digits or 0b and eight binary digits)");
    Result.Config.PortByte(*GridOfSection(Entry.Section), *RowOfKey(Entry.Key)) = Byte;
}

// A value as the file holds it: in double quotes when it starts or ends
// with a space, which reading would trim otherwise. A line break would end
// the entry early, so one is written as a space.
std::string WrittenValue(std::string_view Value)
{
    std::string Text(Value);
    for (char& Ch : Text)
        if (Ch == '\n' || Ch == '\r')
            Ch = ' ';
    const auto IsSpace = [](char Ch) { return Ch == ' ' || Ch == '\t'; };
    if (!Text.empty() && (IsSpace(Text.front()) || IsSpace(Text.back())))
        return '"' + Text + '"';
    return Text;
}

}  // namespace

EConfigFile::EConfigFile(std::string File, std::size_t Line, std::string Key, const std::string& Reason)
    : std::runtime_error(File + (Line > 0 ? ":" + std::to_string(Line) : std::string()) + ": " +
                         (Key.empty() ? std::string() : "key " + Quoted(Key) + ": ") + Reason),
      File_(std::move(File)),
      Line_(Line),
      Key_(std::move(Key))
{}

std::optional<uint8_t> ParseConfigByte(std::string_view Text)
{
    if (Text.size() == 2 && IsHexDigit(Text[0]) && IsHexDigit(Text[1]))
        return HexStr2ToByte(Text);
    if (Text.size() == 10 && (Text.substr(0, 2) == "0b" || Text.substr(0, 2) == "0B")) {
        unsigned Value = 0;
        for (const char Ch : Text.substr(2)) {
            if (Ch != '0' && Ch != '1')
                return std::nullopt;
            Value = Value * 2 + static_cast<unsigned>(Ch - '0');
        }
        return static_cast<uint8_t>(Value);
    }
    return std::nullopt;
}

std::optional<int> ParseBaudRate(std::string_view Text)
{
    for (int Index = 0; Index < BaudRateEntryCount; ++Index)
        if (Text == BaudRateEntries[static_cast<std::size_t>(Index)])
            return Index;
    return std::nullopt;
}

TConfigFile ParseConfigText(std::string_view Text, const std::string& FileName)
{
    // Editors that save UTF-8 may put a byte-order mark first; it is no part of line 1.
    constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
    if (Text.substr(0, ByteOrderMark.size()) == ByteOrderMark)
        Text.remove_prefix(ByteOrderMark.size());
    if (Text.find('\0') != std::string_view::npos)
        throw EConfigFile(FileName, 0, {}, "not a text file (it holds a NUL byte)");
    TConfigFile Result;
    for (const TEntryLine& Entry : ReadEntries(Text, FileName))
        Apply(Result, Entry, Entry.Value, FileName);
    return Result;
}

TConfigFile LoadConfigFile(const std::string& Path)
{
    const TFileText File = ReadFileText(Path, ConfigFileLimit);
    if (!File.Error.empty())
        throw EConfigFile(Path, 0, {}, File.Error);
    return ParseConfigText(File.Text, Path);
}

TModuleConfig RequireComplete(const TConfigFile& File, const std::string& FileName)
{
    const std::vector<TConfigField> Missing = File.Config.MissingFields();
    if (!Missing.empty()) {
        const TConfigField Field = Missing.front();
        const bool InModule = Field == RemoteIdField || Field == BaudField;
        const std::string Section =
            InModule ? std::string(SectionModule) : std::string(PortGridName(PortGridOf(Field)));
        const std::string Key = InModule ? ModuleConfigFieldName(Field) : PortRowName(Field.Row);
        throw EConfigFile(FileName, 0, Key, "missing from section [" + Section + "]");
    }
    return File.Config.Over(TModuleConfig{});
}

std::string ConfigFileText(const TModuleConfig& Config, const TModuleIdentity* Identity, std::string_view ReadAt)
{
    std::string Text;
    const auto Section = [&Text](std::string_view Comment, std::string_view Name) {
        if (!Text.empty())
            Text += '\n';
        Text.append(Comment).append("\n[").append(Name).append("]\n");
    };
    const auto Entry = [&Text](std::string_view Key, std::string_view Value) {
        Text.append(Key).append(" = ").append(WrittenValue(Value)).append("\n");
    };
    Section("# VARNOLINK I/O module configuration", SectionModule);
    Entry("format", std::to_string(ConfigFileFormat));
    Entry("remote_id", HexByteToStr2(Config.RemoteId));
    Entry("baud", ModuleConfigFieldValue(Config, BaudField));
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        Section(Grid == TPortGrid::Direction
                    ? "; one bit per pin, 1 = input, 0 = output (two hex digits, or 0b and eight bits, bit 7 first)"
                    : "; the level of each output pin at power-on (two hex digits, or 0b and eight bits)",
                PortGridName(Grid));
        for (int Row = 0; Row < PortRowCount; ++Row)
            Entry(PortRowName(Row), HexByteToStr2(Config.PortByte(Grid, Row)));
    }
    if (Identity != nullptr) {
        Section("; informational: written by read, ignored by write", SectionIdentity);
        Entry("bios_name", Identity->BiosName);
        Entry("bios_version", Identity->BiosVersion);
        Entry("status", Identity->StatusText);
        Entry("read_at", ReadAt);
    }
    return Text;
}

void SaveConfigFile(const std::string& Path, const std::string& Text)
{
    const std::string Temporary = Path + ".tmp";
    {
        std::ofstream File(Temporary, std::ios::binary | std::ios::trunc);
        if (!File)
            throw EConfigFile(Path, 0, {}, std::string("cannot be written: ") + std::strerror(errno));
        File << Text;
        File.flush();
        if (!File) {
            std::remove(Temporary.c_str());
            throw EConfigFile(Path, 0, {}, std::string("cannot be written: ") + std::strerror(errno));
        }
    }
    if (std::rename(Temporary.c_str(), Path.c_str()) != 0) {
        const int Error = errno;
        std::remove(Temporary.c_str());
        throw EConfigFile(Path, 0, {}, std::string("cannot be written: ") + std::strerror(Error));
    }
}

}  // namespace varnolink
