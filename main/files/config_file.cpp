// SPDX-License-Identifier: MIT
// Configuration files: parsing with every line, section and value checked
// (errors name file, line and key), and writing them.
#include "main/files/config_file.h"

// SimpleIni without character-set conversion: bytes in, bytes out. Its
// implementation is templates only, so it may be compiled here as well as in
// the serial component's INI store.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

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

// Where each entry stands in the file: SimpleIni gives the values but not
// their lines, so the lines are found here, and everything SimpleIni would
// skip or merge silently (a line that is no entry, a key given twice) is
// refused with its line.
struct TEntryLine {
    std::string Section;   // lower case
    std::string Key;       // lower case
    std::string ShownKey;  // as written
    std::size_t Line;
};

std::vector<TEntryLine> LocateEntries(std::string_view Text, const std::string& FileName)
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
        // SimpleIni ends a line at a lone CR as well; such a file is refused
        // rather than read two ways.
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
        Entries.push_back({Section, Key, std::string(ShownKey), LineNumber});
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
    const std::vector<TEntryLine> Entries = LocateEntries(Text, FileName);

    CSimpleIniA Ini(/*a_bIsUtf8=*/false, /*a_bMultiKey=*/false, /*a_bMultiLine=*/false);
    Ini.SetQuotes(true);
    if (Ini.LoadData(Text.data(), Text.size()) < 0)
        throw EConfigFile(FileName, 0, {}, "cannot be parsed as INI text");

    TConfigFile Result;
    for (const TEntryLine& Entry : Entries) {
        const char* Value = Ini.GetValue(Entry.Section.c_str(), Entry.Key.c_str(), nullptr);
        if (Value == nullptr)
            throw EConfigFile(FileName, Entry.Line, Entry.ShownKey, "entry not understood");
        Apply(Result, Entry, Value, FileName);
    }
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
    const std::vector<std::string> Missing = File.Config.MissingFields();
    if (!Missing.empty()) {
        const std::string& Field = Missing.front();
        const std::size_t Dot = Field.find('.');
        const std::string Section = Dot == std::string::npos ? std::string(SectionModule) : Field.substr(0, Dot);
        const std::string Key = Dot == std::string::npos ? Field : Field.substr(Dot + 1);
        throw EConfigFile(FileName, 0, Key, "missing from section [" + Section + "]");
    }
    return File.Config.Over(TModuleConfig{});
}

std::string ConfigFileText(const TModuleConfig& Config, const TModuleIdentity* Identity, std::string_view ReadAt)
{
    CSimpleIniA Ini(/*a_bIsUtf8=*/false, /*a_bMultiKey=*/false, /*a_bMultiLine=*/false);
    Ini.SetSpaces(true);
    Ini.SetQuotes(true);
    const std::string Module(SectionModule);
    Ini.SetValue(Module.c_str(), nullptr, nullptr, "# VARNOLINK I/O module configuration");
    Ini.SetValue(Module.c_str(), "format", std::to_string(ConfigFileFormat).c_str());
    Ini.SetValue(Module.c_str(), "remote_id", HexByteToStr2(Config.RemoteId).c_str());
    Ini.SetValue(Module.c_str(), "baud", ModuleConfigFieldValue(Config, 1).c_str());
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        const std::string Section(PortGridName(Grid));
        Ini.SetValue(
            Section.c_str(), nullptr, nullptr,
            Grid == TPortGrid::Direction
                ? "; one bit per pin, 1 = input, 0 = output (two hex digits, or 0b and eight bits, bit 7 first)"
                : "; the level of each output pin at power-on (two hex digits, or 0b and eight bits)");
        for (int Row = 0; Row < PortRowCount; ++Row)
            Ini.SetValue(Section.c_str(), PortRowName(Row).c_str(), HexByteToStr2(Config.PortByte(Grid, Row)).c_str());
    }
    if (Identity != nullptr) {
        const std::string Section(SectionIdentity);
        Ini.SetValue(Section.c_str(), nullptr, nullptr, "; informational: written by read, ignored by write");
        Ini.SetValue(Section.c_str(), "bios_name", Identity->BiosName.c_str());
        Ini.SetValue(Section.c_str(), "bios_version", Identity->BiosVersion.c_str());
        Ini.SetValue(Section.c_str(), "status", Identity->StatusText.c_str());
        Ini.SetValue(Section.c_str(), "read_at", std::string(ReadAt).c_str());
    }
    std::string Text;
    Ini.Save(Text);
    // SimpleIni puts two empty lines before a commented section; one is enough.
    for (std::size_t At = Text.find("\n\n\n"); At != std::string::npos; At = Text.find("\n\n\n", At))
        Text.erase(At, 1);
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
