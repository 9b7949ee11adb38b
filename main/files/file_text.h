// SPDX-License-Identifier: MIT
// Reading the tool's files within a size limit, and quoting what they hold
// in messages without repeating a whole damaged value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnolink {

// What a bounded read found: the text, or why there is none.
struct TFileText {
    bool Missing = false;  // no such file (ENOENT)
    std::string Text;
    std::string Error;  // empty when Text holds the whole file
};

// Reads a regular file of at most Limit bytes. Anything else (a directory,
// a device such as /dev/zero, a pipe) is refused before a byte is read; a
// file over the limit is refused by its size, and one that grows past the
// limit while it is read stops the read at Limit + 1 bytes. Error says what
// went wrong, without the path (the caller names the file).
TFileText ReadFileText(const std::string& Path, std::size_t Limit);

// A limit in words: "1 MiB", "64 MiB", "512 bytes".
std::string LimitText(std::size_t Limit);

// Text in double quotes, cut after QuoteLimit characters ("..." marks the cut).
inline constexpr std::size_t QuoteLimit = 80;
std::string Quoted(std::string_view Text);

}  // namespace varnolink
