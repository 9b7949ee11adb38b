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
// quote, or a quoted field that never closes.
std::vector<TCsvRecord> ParseCsv(std::string_view Text);

// The record that starts at Pos (on line Line); moves both past it. A
// reader that goes on after an ECsv restarts at the next line itself.
TCsvRecord ParseCsvRecord(std::string_view Text, std::size_t& Pos, std::size_t& Line);

}  // namespace varnolink
