// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace varnolink {

// Comma-separated values as RFC 4180 has them: records end with CR LF,
// fields are separated by commas, and a field that holds a comma, a double
// quote, CR or LF is put in double quotes with each of its quotes doubled.

// One record with its line end.
std::string CsvRecord(const std::vector<std::string>& Fields);

// What a reader accepts of one record: a damaged or hostile file (a line of
// millions of commas) is refused at the limit instead of being held whole.
struct TCsvLimits {
    std::size_t Fields = 1024;
    std::size_t RecordBytes = std::size_t{1} << 20;  // from its first character to its line end
};

struct TCsvRecord {
    std::size_t Line = 0;  // where the record starts, from 1
    std::vector<std::string> Fields;
};

class ECsv : public std::runtime_error {
public:
    ECsv(std::size_t Line, const std::string& Reason);
    std::size_t Line() const { return Line_; }
    const std::string& Reason() const { return Reason_; }

private:
    std::size_t Line_;
    std::string Reason_;
};

// Splits a text into records. Records may also end with LF alone, and the
// last one needs no line end; an empty line is a record of one empty field.
// Throws ECsv for a quote inside an unquoted field, text after a closing
// quote, a quoted field that never closes, or a record beyond Limits.
std::vector<TCsvRecord> ParseCsv(std::string_view Text, const TCsvLimits& Limits = {});

// The record that starts at Pos (on line Line); moves both past it. A
// reader that goes on after an ECsv restarts at the next line itself.
TCsvRecord ParseCsvRecord(std::string_view Text, std::size_t& Pos, std::size_t& Line, const TCsvLimits& Limits = {});

}  // namespace varnolink
