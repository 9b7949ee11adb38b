// SPDX-License-Identifier: MIT
// The writer of the one JSON object that --json prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnolink {

// Writes one JSON text, compact, in the order of the calls. Strings are
// quoted as the journal's lines quote them (JsonLineQuoted): bytes as they
// came off the line, those from 0x80 taken as Latin-1 and written as \u00XX,
// so the output is always valid UTF-8.
class TJsonWriter {
public:
    TJsonWriter& BeginObject();
    TJsonWriter& EndObject();
    TJsonWriter& BeginArray();
    TJsonWriter& EndArray();
    TJsonWriter& Key(std::string_view Name);
    TJsonWriter& String(std::string_view Value);
    TJsonWriter& Number(int64_t Value);
    TJsonWriter& Bool(bool Value);
    TJsonWriter& Null();
    // A whole JSON value written by another writer.
    TJsonWriter& Raw(std::string_view Value);

    // Shorthands for a member.
    TJsonWriter& Member(std::string_view Name, std::string_view Value) { return Key(Name).String(Value); }
    TJsonWriter& Member(std::string_view Name, const char* Value) { return Key(Name).String(Value); }
    TJsonWriter& Member(std::string_view Name, int64_t Value) { return Key(Name).Number(Value); }
    TJsonWriter& Member(std::string_view Name, bool Value) { return Key(Name).Bool(Value); }
    TJsonWriter& Member(std::string_view Name, const std::vector<std::string>& Values);

    const std::string& Text() const { return Out_; }

private:
    void BeforeValue();
    // An object or an array: its bracket, and its "nothing written yet".
    TJsonWriter& Open(char Bracket);
    TJsonWriter& Close(char Bracket);

    std::string Out_;
    std::vector<bool> Empty_;  // per open container: nothing written in it yet
    bool AfterKey_ = false;
};

}  // namespace varnolink
