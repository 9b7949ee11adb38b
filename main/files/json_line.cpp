// SPDX-License-Identifier: MIT
// Quoting strings for a JSON line and reading a JSON line back.
#include "main/files/json_line.h"

#include <cstdint>

namespace varnolink {

TJsonLineValue::TJsonLineValue() = default;

namespace {

constexpr int DepthLimit = 16;

class TJsonLineReader {
public:
    explicit TJsonLineReader(std::string_view Text) : Text_(Text) {}

    std::optional<TJsonLineValue> Whole(std::string* Why)
    {
        std::optional<TJsonLineValue> Value = ValueAt(0);
        SkipBlanks();
        if (Value && Pos_ != Text_.size())
            Fail("text after the value");
        if (!Error_.empty()) {
            if (Why != nullptr)
                *Why = Error_ + " at column " + std::to_string(Pos_ + 1);
            return std::nullopt;
        }
        return Value;
    }

private:
    void Fail(const char* What)
    {
        if (Error_.empty())
            Error_ = What;
    }
    void SkipBlanks()
    {
        while (Pos_ < Text_.size() &&
               (Text_[Pos_] == ' ' || Text_[Pos_] == '\t' || Text_[Pos_] == '\r' || Text_[Pos_] == '\n'))
            ++Pos_;
    }
    bool Take(char Ch)
    {
        SkipBlanks();
        if (Pos_ < Text_.size() && Text_[Pos_] == Ch) {
            ++Pos_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view Name)
    {
        if (Text_.substr(Pos_, Name.size()) != Name)
            return false;
        Pos_ += Name.size();
        return true;
    }

    std::optional<TJsonLineValue> ValueAt(int Depth)
    {
        if (Depth > DepthLimit) {
            Fail("nested too deeply");
            return std::nullopt;
        }
        SkipBlanks();
        if (Pos_ >= Text_.size()) {
            Fail("the text ends before a value");
            return std::nullopt;
        }
        TJsonLineValue Value;
        const char Ch = Text_[Pos_];
        if (Ch == '{')
            return ObjectAt(Depth);
        if (Ch == '[')
            return ArrayAt(Depth);
        if (Ch == '"') {
            Value.Kind = TJsonLineValue::TKind::String;
            if (!StringAt(Value.Text))
                return std::nullopt;
            return Value;
        }
        if (Word("null"))
            return Value;
        if (Word("true") || Word("false")) {
            Value.Kind = TJsonLineValue::TKind::Bool;
            Value.Text = Ch == 't' ? "true" : "false";
            return Value;
        }
        const std::size_t Start = Pos_;
        while (Pos_ < Text_.size() && std::string_view("+-.0123456789eE").find(Text_[Pos_]) != std::string_view::npos)
            ++Pos_;
        if (Pos_ == Start) {
            Fail("no JSON value");
            return std::nullopt;
        }
        Value.Kind = TJsonLineValue::TKind::Number;
        Value.Text = std::string(Text_.substr(Start, Pos_ - Start));
        return Value;
    }

    std::optional<TJsonLineValue> ArrayAt(int Depth)
    {
        TJsonLineValue Value;
        Value.Kind = TJsonLineValue::TKind::Array;
        ++Pos_;
        if (Take(']'))
            return Value;
        do {
            std::optional<TJsonLineValue> Item = ValueAt(Depth + 1);
            if (!Item)
                return std::nullopt;
            Value.Items.push_back(std::move(*Item));
        } while (Take(','));
        if (!Take(']')) {
            Fail("an array without its ']'");
            return std::nullopt;
        }
        return Value;
    }

    std::optional<TJsonLineValue> ObjectAt(int Depth)
    {
        TJsonLineValue Value;
        Value.Kind = TJsonLineValue::TKind::Object;
        ++Pos_;
        if (Take('}'))
            return Value;
        do {
            SkipBlanks();
            std::string Name;
            if (Pos_ >= Text_.size() || Text_[Pos_] != '"') {
                Fail("a member without its name");
                return std::nullopt;
            }
            if (!StringAt(Name))
                return std::nullopt;
            if (!Take(':')) {
                Fail("a member without ':'");
                return std::nullopt;
            }
            std::optional<TJsonLineValue> Member = ValueAt(Depth + 1);
            if (!Member)
                return std::nullopt;
            Value.Members.emplace_back(std::move(Name), std::move(*Member));
        } while (Take(','));
        if (!Take('}')) {
            Fail("an object without its '}'");
            return std::nullopt;
        }
        return Value;
    }

    static void AppendUtf8(std::string& Out, uint32_t Code)
    {
        if (Code < 0x100) {
            Out += static_cast<char>(Code);  // Latin-1, as JsonLineQuoted writes it
        } else if (Code < 0x800) {
            Out += static_cast<char>(0xC0 | (Code >> 6));
            Out += static_cast<char>(0x80 | (Code & 0x3F));
        } else {
            Out += static_cast<char>(0xE0 | (Code >> 12));
            Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (Code & 0x3F));
        }
    }

    bool StringAt(std::string& Out)
    {
        ++Pos_;  // the opening quote
        while (Pos_ < Text_.size()) {
            const char Ch = Text_[Pos_++];
            if (Ch == '"')
                return true;
            if (static_cast<unsigned char>(Ch) < 0x20) {
                Fail("a control character in a string");
                return false;
            }
            if (Ch != '\\') {
                Out += Ch;
                continue;
            }
            if (Pos_ >= Text_.size())
                break;
            const char Escape = Text_[Pos_++];
            switch (Escape) {
            case '"':
            case '\\':
            case '/':
                Out += Escape;
                break;
            case 'b':
                Out += '\b';
                break;
            case 'f':
                Out += '\f';
                break;
            case 'n':
                Out += '\n';
                break;
            case 'r':
                Out += '\r';
                break;
            case 't':
                Out += '\t';
                break;
            case 'u': {
                if (Pos_ + 4 > Text_.size()) {
                    Fail("a \\u escape cut short");
                    return false;
                }
                uint32_t Code = 0;
                for (int I = 0; I < 4; ++I) {
                    const char Digit = Text_[Pos_++];
                    const int Nibble = Digit >= '0' && Digit <= '9'   ? Digit - '0'
                                       : Digit >= 'a' && Digit <= 'f' ? Digit - 'a' + 10
                                       : Digit >= 'A' && Digit <= 'F' ? Digit - 'A' + 10
                                                                      : -1;
                    if (Nibble < 0) {
                        Fail("a \\u escape that is not hexadecimal");
                        return false;
                    }
                    Code = Code * 16 + static_cast<uint32_t>(Nibble);
                }
                AppendUtf8(Out, Code);
                break;
            }
            default:
                Fail("an unknown escape in a string");
                return false;
            }
        }
        Fail("a string without its closing quote");
        return false;
    }

    std::string_view Text_;
    std::size_t Pos_ = 0;
    std::string Error_;
};

}  // namespace

std::string JsonLineQuoted(std::string_view Value)
{
    static constexpr char Hex[] = "0123456789abcdef";
    std::string Out = "\"";
    for (const char Ch : Value) {
        const auto Byte = static_cast<unsigned char>(Ch);
        if (Ch == '"' || Ch == '\\') {
            Out += '\\';
            Out += Ch;
        } else if (Ch == '\n') {
            Out += "\\n";
        } else if (Ch == '\r') {
            Out += "\\r";
        } else if (Ch == '\t') {
            Out += "\\t";
        } else if (Byte < 0x20 || Byte >= 0x7F) {
            Out += "\\u00";
            Out += Hex[Byte >> 4];
            Out += Hex[Byte & 0x0F];
        } else {
            Out += Ch;
        }
    }
    return Out + "\"";
}

const TJsonLineValue* TJsonLineValue::Find(std::string_view Name) const
{
    for (const auto& [Key, Value] : Members)
        if (Key == Name)
            return &Value;
    return nullptr;
}

std::optional<TJsonLineValue> ParseJsonLine(std::string_view Text, std::string* Why)
{
    return TJsonLineReader(Text).Whole(Why);
}

}  // namespace varnolink
