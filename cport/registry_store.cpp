// SPDX-License-Identifier: MIT
// Registry-style keys: values held in memory, optionally kept in a text file
// in registry export form.
#include "cport/ascii_text.h"
#include "cport/comport_store.h"
#include "cport/text_file.h"

#include <cstdio>
#include <system_error>

namespace cport {

namespace {

// Value names compare without regard to the case of ASCII letters.
bool SameName(std::string_view a, std::string_view b) { return EqualIgnoringAsciiCase(a, b); }

bool StartsWithIgnoringCase(std::string_view Text, std::string_view Prefix) {
    return Text.size() >= Prefix.size() && SameName(Text.substr(0, Prefix.size()), Prefix);
}

[[noreturn]] void FailedToSet(const std::string& Name) {
    throw ERegistryException("Failed to set data for '" + Name + "'");
}

std::string Quoted(std::string_view Text) {
    std::string out = "\"";
    for (char c : Text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string DwordText(int32_t Value) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<uint32_t>(Value));
    return std::string("dword:") + digits;
}

// Blanks around names, values and lines; a carriage return counts as one so
// that files with any line ending read alike.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimBlanks(std::string_view Text) {
    while (!Text.empty() && IsBlank(Text.front())) Text.remove_prefix(1);
    while (!Text.empty() && IsBlank(Text.back())) Text.remove_suffix(1);
    return Text;
}

// Reads a quoted text at the start of Text (which begins with '"'), undoing
// the \" and \\ escapes; any other backslash stands for itself. Returns the
// text and advances Text past the closing quote, or nothing if unterminated.
std::optional<std::string> TakeQuoted(std::string_view& Text) {
    std::string out;
    size_t i = 1;
    while (i < Text.size()) {
        const char c = Text[i];
        if (c == '"') {
            Text.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\' && i + 1 < Text.size() && (Text[i + 1] == '"' || Text[i + 1] == '\\')) {
            out += Text[i + 1];
            i += 2;
            continue;
        }
        out += c;
        ++i;
    }
    return std::nullopt;
}

// "dword:" and one to eight hexadecimal digits.
std::optional<int32_t> ParseDword(std::string_view Text) {
    constexpr std::string_view prefix = "dword:";
    if (!StartsWithIgnoringCase(Text, prefix)) return std::nullopt;
    Text.remove_prefix(prefix.size());
    if (Text.empty() || Text.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : Text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        value = value * 16 + digit;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

// --- TMemoryRegistryKey -----------------------------------------------------

const TMemoryRegistryKey::TValue* TMemoryRegistryKey::Find(const std::string& Name) const {
    for (const TValue& v : values_)
        if (SameName(v.name, Name)) return &v;
    return nullptr;
}

void TMemoryRegistryKey::PutValue(TValue Value) {
    for (TValue& v : values_) {
        if (SameName(v.name, Value.name)) {
            Value.name = v.name;   // the name keeps the spelling it was created with
            v = std::move(Value);
            return;
        }
    }
    values_.push_back(std::move(Value));
}

void TMemoryRegistryKey::WriteString(const std::string& Name, const std::string& Value) {
    if (read_only_ || Name.empty() || HasLineBreakOrNul(Name) || HasLineBreakOrNul(Value))
        FailedToSet(Name);
    PutValue(TValue{Name, TRegDataType::rdString, Value, 0});
}

void TMemoryRegistryKey::WriteInteger(const std::string& Name, int32_t Value) {
    if (read_only_ || Name.empty() || HasLineBreakOrNul(Name)) FailedToSet(Name);
    PutValue(TValue{Name, TRegDataType::rdInteger, std::string(), Value});
}

std::string TMemoryRegistryKey::ReadString(const std::string& Name) {
    const TValue* v = Find(Name);
    if (v == nullptr) return std::string();
    if (v->kind != TRegDataType::rdString)
        throw ERegistryException("Invalid data type for '" + Name + "'");
    return v->text;
}

int32_t TMemoryRegistryKey::ReadInteger(const std::string& Name) {
    const TValue* v = Find(Name);
    if (v == nullptr) throw ERegistryException("Failed to get data for '" + Name + "'");
    if (v->kind != TRegDataType::rdInteger)
        throw ERegistryException("Invalid data type for '" + Name + "'");
    return v->integer;
}

bool TMemoryRegistryKey::ValueExists(const std::string& Name) const { return Find(Name) != nullptr; }

TRegDataType TMemoryRegistryKey::GetDataType(const std::string& Name) const {
    const TValue* v = Find(Name);
    return v != nullptr ? v->kind : TRegDataType::rdUnknown;
}

bool TMemoryRegistryKey::DeleteValue(const std::string& Name) {
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (SameName(it->name, Name)) {
            values_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> TMemoryRegistryKey::ValueNames() const {
    std::vector<std::string> names;
    names.reserve(values_.size());
    for (const TValue& v : values_) names.push_back(v.name);
    return names;
}

std::string TMemoryRegistryKey::ExportText() const {
    std::string text = "REGEDIT4\n\n";
    for (const TValue& v : values_) {
        text += Quoted(v.name);
        text += '=';
        switch (v.kind) {
        case TRegDataType::rdString: text += Quoted(v.text); break;
        case TRegDataType::rdInteger: text += DwordText(v.integer); break;
        case TRegDataType::rdUnknown: text += v.text; break;   // kept as it was read
        }
        text += '\n';
    }
    return text;
}

// Each line is one value: "Name"="text", "Name"=dword:hhhhhhhh, or "Name"=
// followed by a form this key does not interpret (kept as an rdUnknown value
// and written back unchanged). Everything else is skipped.
void TMemoryRegistryKey::ImportText(std::string_view Text) {
    values_.clear();
    while (!Text.empty()) {
        const size_t end = Text.find('\n');
        std::string_view line = Text.substr(0, end);
        Text.remove_prefix(end == std::string_view::npos ? Text.size() : end + 1);

        line = TrimBlanks(line);
        if (line.empty() || line.front() != '"') continue;   // header, comment, [key], junk

        std::optional<std::string> name = TakeQuoted(line);
        if (!name || name->empty() || HasLineBreakOrNul(*name)) continue;
        line = TrimBlanks(line);
        if (line.empty() || line.front() != '=') continue;
        line = TrimBlanks(line.substr(1));

        TValue value{std::move(*name), TRegDataType::rdUnknown, std::string(line), 0};
        if (!line.empty() && line.front() == '"') {
            std::string_view rest = line;
            std::optional<std::string> text = TakeQuoted(rest);
            if (text && TrimBlanks(rest).empty() && !HasLineBreakOrNul(*text)) {
                value.kind = TRegDataType::rdString;
                value.text = std::move(*text);
            }
        } else if (std::optional<int32_t> integer = ParseDword(line)) {
            value.kind = TRegDataType::rdInteger;
            value.text.clear();
            value.integer = *integer;
        }
        TMemoryRegistryKey::PutValue(std::move(value));
    }
}

// --- TFileRegistryKey -------------------------------------------------------

TFileRegistryKey::TFileRegistryKey(std::string FileName) : file_name_(std::move(FileName)) {
    const std::optional<std::string> text = ReadStoreFile<ERegistryException>(file_name_, "Failed to open key file: ");
    if (text) ImportText(*text);
}

void TFileRegistryKey::PutValue(TValue Value) {
    const std::string name = Value.name;
    std::vector<TValue> previous = values_;
    TMemoryRegistryKey::PutValue(std::move(Value));
    try {
        ReplaceFile(file_name_, ExportText());
    } catch (const std::system_error&) {
        values_ = std::move(previous);
        FailedToSet(name);
    }
}

}  // namespace cport
