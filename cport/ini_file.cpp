// SPDX-License-Identifier: MIT
// TComIniFile over SimpleIni. SimpleIni is used without character-set
// conversion (bytes in, bytes out) and its implementation is compiled here,
// in this one translation unit.
#include "cport/text_parsing.h"
#include "cport/comport_store.h"
#include "cport/text_file.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <system_error>

namespace cport {

struct TComIniFile::TImpl {
    CSimpleIniA Ini{/*a_bIsUtf8=*/false, /*a_bMultiKey=*/false, /*a_bMultiLine=*/false};
    TImpl() { Ini.SetSpaces(false); }
};

namespace {

bool IsBlank(char C)
{
    return C == ' ' || C == '\t';
}

bool HasOuterBlanks(const std::string& Text)
{
    return !Text.empty() && (IsBlank(Text.front()) || IsBlank(Text.back()));
}

// Names and values that the line form cannot carry unchanged are refused
// rather than written in a way that reads back as something else (a value
// with a line break would otherwise inject entries or sections).
void CheckWritable(const std::string& Section, const std::string& Ident, const std::string& Value)
{
    const auto Refuse = [&](const char* Why) {
        throw EIniFileException("Cannot write entry '" + Ident + "' of section '" + Section + "': " + Why);
    };
    if (HasLineBreakOrNul(Section) || Section.find(']') != std::string::npos || HasOuterBlanks(Section))
        Refuse("the section name cannot be written in an INI file");
    if (Ident.empty() || HasLineBreakOrNul(Ident) || Ident.find('=') != std::string::npos || HasOuterBlanks(Ident) ||
        Ident.front() == ';' || Ident.front() == '#' || Ident.front() == '[')
        Refuse("the entry name cannot be written in an INI file");
    if (HasLineBreakOrNul(Value))
        Refuse("the value holds a line break or a NUL character");
}

}  // namespace

TComIniFile::TComIniFile(std::string FileName) : FileName_(std::move(FileName)), Impl_(std::make_unique<TImpl>())
{
    const std::optional<std::string> Text = ReadStoreFile<EIniFileException>(FileName_, "Unable to read INI file: ");
    if (Text)
        SetText(*Text);
}

TComIniFile::~TComIniFile() = default;

void TComIniFile::WriteString(const std::string& Section, const std::string& Ident, const std::string& Value)
{
    CheckWritable(Section, Ident, Value);
    if (Impl_->Ini.SetValue(Section.c_str(), Ident.c_str(), Value.c_str()) < 0)
        throw EIniFileException("Cannot write entry '" + Ident + "' of section '" + Section + "'");
}

void TComIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value)
{
    WriteString(Section, Ident, std::to_string(Value));
}

std::string TComIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                    const std::string& Default) const
{
    const char* Value = Impl_->Ini.GetValue(Section.c_str(), Ident.c_str(), nullptr);
    return Value != nullptr ? std::string(Value) : Default;
}

int32_t TComIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int32_t Default) const
{
    const char* Value = Impl_->Ini.GetValue(Section.c_str(), Ident.c_str(), nullptr);
    if (Value == nullptr)
        return Default;
    return ParseInteger(Value).value_or(Default);
}

bool TComIniFile::ValueExists(const std::string& Section, const std::string& Ident) const
{
    return Impl_->Ini.GetValue(Section.c_str(), Ident.c_str(), nullptr) != nullptr;
}

bool TComIniFile::SectionExists(const std::string& Section) const
{
    return Impl_->Ini.GetSection(Section.c_str()) != nullptr;
}

void TComIniFile::EraseSection(const std::string& Section)
{
    Impl_->Ini.Delete(Section.c_str(), nullptr);
}

std::string TComIniFile::Text() const
{
    std::string Text;
    if (Impl_->Ini.Save(Text, /*a_bAddSignature=*/false) < 0)
        throw EIniFileException("Cannot format INI file " + FileName_);
    return Text;
}

void TComIniFile::SetText(std::string_view Text)
{
    Impl_->Ini.Reset();
    if (Impl_->Ini.LoadData(Text.data(), Text.size()) < 0)
        throw EIniFileException("Cannot read INI file " + FileName_);
}

void TComIniFile::UpdateFile()
{
    const std::string Contents = Text();
    try {
        ReplaceFile(FileName_, Contents);
    } catch (const std::system_error& E) {
        throw EIniFileException(std::string("Unable to write INI file: ") + E.what());
    }
}

}  // namespace cport
