// SPDX-License-Identifier: MIT
// The compact JSON writer of --json.
#include "cli/json_writer.h"

#include <stdexcept>

#include "main/files/json_line.h"

namespace varnolink {

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
    Out_ += JsonLineQuoted(Name);
    Out_ += ':';
    AfterKey_ = true;
    return *this;
}

TJsonWriter& TJsonWriter::String(std::string_view Value)
{
    BeforeValue();
    Out_ += JsonLineQuoted(Value);
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
