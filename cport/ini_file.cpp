// SPDX-License-Identifier: MIT
// TComIniFile over SimpleIni. SimpleIni is used without character-set
// conversion (bytes in, bytes out) and its implementation is compiled here,
// in this one translation unit.
#include "cport/ascii_text.h"
#include "cport/comport_store.h"
#include "cport/integer_text.h"
#include "cport/text_file.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <system_error>

namespace cport {

struct TComIniFile::TImpl {
    CSimpleIniA ini{/*a_bIsUtf8=*/false, /*a_bMultiKey=*/false, /*a_bMultiLine=*/false};
    TImpl() { ini.SetSpaces(false); }
};

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool HasOuterBlanks(const std::string& Text) {
    return !Text.empty() && (IsBlank(Text.front()) || IsBlank(Text.back()));
}

// Names and values that the line form cannot carry unchanged are refused
// rather than written in a way that reads back as something else (a value
// with a line break would otherwise inject entries or sections).
void CheckWritable(const std::string& Section, const std::string& Ident, const std::string& Value) {
    const auto refuse = [&](const char* why) {
        throw EIniFileException("Cannot write entry '" + Ident + "' of section '" + Section + "': " + why);
    };
    if (HasLineBreakOrNul(Section) || Section.find(']') != std::string::npos || HasOuterBlanks(Section))
        refuse("the section name cannot be written in an INI file");
    if (Ident.empty() || HasLineBreakOrNul(Ident) || Ident.find('=') != std::string::npos ||
        HasOuterBlanks(Ident) || Ident.front() == ';' || Ident.front() == '#' || Ident.front() == '[')
        refuse("the entry name cannot be written in an INI file");
    if (HasLineBreakOrNul(Value)) refuse("the value holds a line break or a NUL character");
}

}  // namespace

TComIniFile::TComIniFile(std::string FileName)
    : file_name_(std::move(FileName)), impl_(std::make_unique<TImpl>()) {
    const std::optional<std::string> text = ReadStoreFile<EIniFileException>(file_name_, "Unable to read INI file: ");
    if (text) SetText(*text);
}

TComIniFile::~TComIniFile() = default;

void TComIniFile::WriteString(const std::string& Section, const std::string& Ident, const std::string& Value) {
    CheckWritable(Section, Ident, Value);
    if (impl_->ini.SetValue(Section.c_str(), Ident.c_str(), Value.c_str()) < 0)
        throw EIniFileException("Cannot write entry '" + Ident + "' of section '" + Section + "'");
}

void TComIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value) {
    WriteString(Section, Ident, std::to_string(Value));
}

std::string TComIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                    const std::string& Default) const {
    const char* value = impl_->ini.GetValue(Section.c_str(), Ident.c_str(), nullptr);
    return value != nullptr ? std::string(value) : Default;
}

int32_t TComIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int32_t Default) const {
    const char* value = impl_->ini.GetValue(Section.c_str(), Ident.c_str(), nullptr);
    if (value == nullptr) return Default;
    return ParseInteger(value).value_or(Default);
}

bool TComIniFile::ValueExists(const std::string& Section, const std::string& Ident) const {
    return impl_->ini.GetValue(Section.c_str(), Ident.c_str(), nullptr) != nullptr;
}

bool TComIniFile::SectionExists(const std::string& Section) const {
    return impl_->ini.GetSection(Section.c_str()) != nullptr;
}

void TComIniFile::EraseSection(const std::string& Section) {
    impl_->ini.Delete(Section.c_str(), nullptr);
}

std::string TComIniFile::Text() const {
    std::string text;
    if (impl_->ini.Save(text, /*a_bAddSignature=*/false) < 0)
        throw EIniFileException("Cannot format INI file " + file_name_);
    return text;
}

void TComIniFile::SetText(std::string_view Text) {
    impl_->ini.Reset();
    if (impl_->ini.LoadData(Text.data(), Text.size()) < 0)
        throw EIniFileException("Cannot read INI file " + file_name_);
}

void TComIniFile::UpdateFile() {
    const std::string text = Text();
    try {
        ReplaceFile(file_name_, text);
    } catch (const std::system_error& e) {
        throw EIniFileException(std::string("Unable to write INI file: ") + e.what());
    }
}

}  // namespace cport
