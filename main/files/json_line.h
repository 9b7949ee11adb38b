// SPDX-License-Identifier: MIT
// One JSON text in a line of a file: quoting strings for it, and reading it
// back as values, within a depth limit.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnolink {

// A string as a JSON string, for every JSON text the tool writes (the
// journal's lines, the command line's --json). Bytes from 0x80 are taken as
// Latin-1 and written as \u00XX, so any bytes make valid UTF-8 and read back
// the same.
std::string JsonLineQuoted(std::string_view Value);

// A JSON value as read. Numbers keep their text.
struct TJsonLineValue {
    enum class TKind { Null, Bool, Number, String, Array, Object };
    // Declared here, defined where the class is complete: the library's
    // pair of a name and a value asks whether a value can be made before
    // it is complete.
    TJsonLineValue();

    TKind Kind = TKind::Null;
    std::string Text;  // String: its bytes; Number: its text; Bool: "true" or "false"
    std::vector<TJsonLineValue> Items;
    std::vector<std::pair<std::string, TJsonLineValue>> Members;

    // The member named Name of an object; nothing when absent.
    const TJsonLineValue* Find(std::string_view Name) const;
};

// The one JSON value that Text holds (blanks around it allowed). Nothing,
// with the reason in Why, for anything else; nesting deeper than 16 is
// refused. \u escapes below 0x100 read back as one byte (see above).
std::optional<TJsonLineValue> ParseJsonLine(std::string_view Text, std::string* Why = nullptr);

}  // namespace varnolink
