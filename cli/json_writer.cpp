// SPDX-License-Identifier: MIT
// The compact JSON writer of --json.
#include "cli/json_writer.h"

#include <cstdio>
#include <stdexcept>

namespace varnolink {

std::string JsonQuoted(std::string_view Value)
{
    std::string Out = "\"";
    for (const char Ch : Value) {
        const auto Code = static_cast<unsigned char>(Ch);
        switch (Ch) {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            if (Code < 0x20 || Code >= 0x7F) {
                char Escape[8];
                std::snprintf(Escape, sizeof Escape, "\\u%04x", Code);
                Out += Escape;
            } else {
                Out += Ch;
            }
        }
    }
    return Out + "\"";
}

TJsonWriter& TJsonWriter::Raw(std::string_view Value)
{
    BeforeValue();
    Out_ += Value;
    return *this;
}

void TJsonWriter::BeforeValue()
{
    if (AfterKey_) {
        AfterKey_ = false;
        return;
    }
    if (!Empty_.empty()) {
        if (!Empty_.back())
            Out_ += ',';
        Empty_.back() = false;
    } else if (!Out_.empty()) {
        throw std::logic_error("JSON: a second value at the top level");
    }
}

TJsonWriter& TJsonWriter::Open(char Bracket)
{
    BeforeValue();
    Out_ += Bracket;
    Empty_.push_back(true);
    return *this;
}

TJsonWriter& TJsonWriter::Close(char Bracket)
{
    Out_ += Bracket;
    Empty_.pop_back();
    return *this;
}

TJsonWriter& TJsonWriter::BeginObject()
{
    return Open('{');
}

TJsonWriter& TJsonWriter::EndObject()
{
    return Close('}');
}

TJsonWriter& TJsonWriter::BeginArray()
{
    return Open('[');
}

TJsonWriter& TJsonWriter::EndArray()
{
    return Close(']');
}

TJsonWriter& TJsonWriter::Key(std::string_view Name)
{
    BeforeValue();
    Out_ += JsonQuoted(Name);
    Out_ += ':';
    AfterKey_ = true;
    return *this;
}

TJsonWriter& TJsonWriter::String(std::string_view Value)
{
    BeforeValue();
    Out_ += JsonQuoted(Value);
    return *this;
}

TJsonWriter& TJsonWriter::Number(int64_t Value)
{
    BeforeValue();
    Out_ += std::to_string(Value);
    return *this;
}

TJsonWriter& TJsonWriter::Bool(bool Value)
{
    BeforeValue();
    Out_ += Value ? "true" : "false";
    return *this;
}

TJsonWriter& TJsonWriter::Null()
{
    BeforeValue();
    Out_ += "null";
    return *this;
}

TJsonWriter& TJsonWriter::Member(std::string_view Name, const std::vector<std::string>& Values)
{
    Key(Name).BeginArray();
    for (const std::string& Value : Values)
        String(Value);
    return EndArray();
}

}  // namespace varnolink
