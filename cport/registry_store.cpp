// SPDX-License-Identifier: MIT
// Registry-style keys: values held in memory, optionally kept in a text file
// in registry export form.
#include "cport/text_parsing.h"
#include "cport/comport_store.h"
#include "cport/text_file.h"

#include <cstdio>
#include <system_error>

namespace cport {

namespace {

// Value names compare without regard to the case of ASCII letters.
bool SameName(std::string_view A, std::string_view B)
{
    return EqualIgnoringAsciiCase(A, B);
}

bool StartsWithIgnoringCase(std::string_view Text, std::string_view Prefix)
{
    return Text.size() >= Prefix.size() && SameName(Text.substr(0, Prefix.size()), Prefix);
}

[[noreturn]] void FailedToSet(const std::string& Name)
{
    throw ERegistryException("Failed to set data for '" + Name + "'");
}

std::string Quoted(std::string_view Text)
{
    std::string Out = "\"";
    for (char C : Text) {
        if (C == '"' || C == '\\')
            Out += '\\';
        Out += C;
    }
    Out += '"';
    return Out;
}

std::string DwordText(int32_t Value)
{
    char Digits[9];
    std::snprintf(Digits, sizeof Digits, "%08x", static_cast<uint32_t>(Value));
    return std::string("dword:") + Digits;
}

// Blanks around names, values and lines; a carriage return counts as one so
// that files with any line ending read alike.
bool IsBlank(char C)
{
    return C == ' ' || C == '\t' || C == '\r';
}

std::string_view TrimBlanks(std::string_view Text)
{
    while (!Text.empty() && IsBlank(Text.front()))
        Text.remove_prefix(1);
    while (!Text.empty() && IsBlank(Text.back()))
        Text.remove_suffix(1);
    return Text;
}

// Reads a quoted text at the start of Text (which begins with '"'), undoing
// the \" and \\ escapes; any other backslash stands for itself. Returns the
// text and advances Text past the closing quote, or nothing if unterminated.
std::optional<std::string> TakeQuoted(std::string_view& Text)
{
    std::string Out;
    size_t I = 1;
    while (I < Text.size()) {
        const char C = Text[I];
        if (C == '"') {
            Text.remove_prefix(I + 1);
            return Out;
        }
        if (C == '\\' && I + 1 < Text.size() && (Text[I + 1] == '"' || Text[I + 1] == '\\')) {
            Out += Text[I + 1];
            I += 2;
            continue;
        }
        Out += C;
        ++I;
    }
    return std::nullopt;
}

// "dword:" and one to eight hexadecimal digits.
std::optional<int32_t> ParseDword(std::string_view Text)
{
    constexpr std::string_view Prefix = "dword:";
    if (!StartsWithIgnoringCase(Text, Prefix))
        return std::nullopt;
    Text.remove_prefix(Prefix.size());
    if (Text.empty() || Text.size() > 8)
        return std::nullopt;
    uint32_t Value = 0;
    for (char C : Text) {
        unsigned Digit;
        if (C >= '0' && C <= '9')
            Digit = static_cast<unsigned>(C - '0');
        else if (C >= 'a' && C <= 'f')
            Digit = static_cast<unsigned>(C - 'a' + 10);
        else if (C >= 'A' && C <= 'F')
            Digit = static_cast<unsigned>(C - 'A' + 10);
        else
            return std::nullopt;
        Value = Value * 16 + Digit;
    }
    return static_cast<int32_t>(Value);
}

}  // namespace

// --- TMemoryRegistryKey -----------------------------------------------------

const TMemoryRegistryKey::TValue* TMemoryRegistryKey::Find(const std::string& Name) const
{
    for (const TValue& V : Values_)
        if (SameName(V.Name, Name))
            return &V;
    return nullptr;
}

void TMemoryRegistryKey::PutValue(TValue Value)
{
    for (TValue& V : Values_) {
        if (SameName(V.Name, Value.Name)) {
            Value.Name = V.Name;  // the name keeps the spelling it was created with
            V = std::move(Value);
            return;
        }
    }
    Values_.push_back(std::move(Value));
}

void TMemoryRegistryKey::WriteString(const std::string& Name, const std::string& Value)
{
    if (ReadOnly_ || Name.empty() || HasLineBreakOrNul(Name) || HasLineBreakOrNul(Value))
        FailedToSet(Name);
    PutValue(TValue{Name, TRegDataType::rdString, Value, 0});
}

void TMemoryRegistryKey::WriteInteger(const std::string& Name, int32_t Value)
{
    if (ReadOnly_ || Name.empty() || HasLineBreakOrNul(Name))
        FailedToSet(Name);
    PutValue(TValue{Name, TRegDataType::rdInteger, std::string(), Value});
}

std::string TMemoryRegistryKey::ReadString(const std::string& Name)
{
    const TValue* V = Find(Name);
    if (V == nullptr)
        return std::string();
    if (V->Kind != TRegDataType::rdString)
        throw ERegistryException("Invalid data type for '" + Name + "'");
    return V->Text;
}

int32_t TMemoryRegistryKey::ReadInteger(const std::string& Name)
{
    const TValue* V = Find(Name);
    if (V == nullptr)
        throw ERegistryException("Failed to get data for '" + Name + "'");
    if (V->Kind != TRegDataType::rdInteger)
        throw ERegistryException("Invalid data type for '" + Name + "'");
    return V->Integer;
}

bool TMemoryRegistryKey::ValueExists(const std::string& Name) const
{
    return Find(Name) != nullptr;
}

TRegDataType TMemoryRegistryKey::GetDataType(const std::string& Name) const
{
    const TValue* V = Find(Name);
    return V != nullptr ? V->Kind : TRegDataType::rdUnknown;
}

bool TMemoryRegistryKey::DeleteValue(const std::string& Name)
{
    for (auto It = Values_.begin(); It != Values_.end(); ++It) {
        if (SameName(It->Name, Name)) {
            Values_.erase(It);
            return true;
        }
    }
    return false;
}

std::vector<std::string> TMemoryRegistryKey::ValueNames() const
{
    std::vector<std::string> Names;
    Names.reserve(Values_.size());
    for (const TValue& V : Values_)
        Names.push_back(V.Name);
    return Names;
}

std::string TMemoryRegistryKey::ExportText() const
{
    std::string Text = "REGEDIT4\n\n";
    for (const TValue& V : Values_) {
        Text += Quoted(V.Name);
        Text += '=';
        switch (V.Kind) {
        case TRegDataType::rdString:
            Text += Quoted(V.Text);
            break;
        case TRegDataType::rdInteger:
            Text += DwordText(V.Integer);
            break;
        case TRegDataType::rdUnknown:
            Text += V.Text;
            break;  // kept as it was read
        }
        Text += '\n';
    }
    return Text;
}

// Each line is one value: "Name"="text", "Name"=dword:hhhhhhhh, or "Name"=
// followed by a form this key does not interpret (kept as an rdUnknown value
// and written back unchanged). Everything else is skipped.
void TMemoryRegistryKey::ImportText(std::string_view Text)
{
    Values_.clear();
    while (!Text.empty()) {
        const size_t LineEnd = Text.find('\n');
        std::string_view Line = Text.substr(0, LineEnd);
        Text.remove_prefix(LineEnd == std::string_view::npos ? Text.size() : LineEnd + 1);

        Line = TrimBlanks(Line);
        if (Line.empty() || Line.front() != '"')
            continue;  // header, comment, [key], junk

        std::optional<std::string> Name = TakeQuoted(Line);
        if (!Name || Name->empty() || HasLineBreakOrNul(*Name))
            continue;
        Line = TrimBlanks(Line);
        if (Line.empty() || Line.front() != '=')
            continue;
        Line = TrimBlanks(Line.substr(1));

        TValue Value{std::move(*Name), TRegDataType::rdUnknown, std::string(Line), 0};
        if (!Line.empty() && Line.front() == '"') {
            std::string_view Rest = Line;
            std::optional<std::string> Quoted = TakeQuoted(Rest);
            if (Quoted && TrimBlanks(Rest).empty() && !HasLineBreakOrNul(*Quoted)) {
                Value.Kind = TRegDataType::rdString;
                Value.Text = std::move(*Quoted);
            }
        } else if (std::optional<int32_t> Integer = ParseDword(Line)) {
            Value.Kind = TRegDataType::rdInteger;
            Value.Text.clear();
            Value.Integer = *Integer;
        }
        TMemoryRegistryKey::PutValue(std::move(Value));
    }
}

// --- TFileRegistryKey -------------------------------------------------------

TFileRegistryKey::TFileRegistryKey(std::string FileName) : FileName_(std::move(FileName))
{
    const std::optional<std::string> Text = ReadStoreFile<ERegistryException>(FileName_, "Failed to open key file: ");
    if (Text)
        ImportText(*Text);
}

void TFileRegistryKey::PutValue(TValue Value)
{
    const std::string Name = Value.Name;
    std::vector<TValue> Previous = Values_;
    TMemoryRegistryKey::PutValue(std::move(Value));
    try {
        ReplaceFile(FileName_, ExportText());
    } catch (const std::system_error&) {
        Values_ = std::move(Previous);
        FailedToSet(Name);
    }
}

}  // namespace cport
