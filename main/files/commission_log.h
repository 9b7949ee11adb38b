// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace varnolink {

// The record of a commissioning run: one CSV row (csv.h) per module, with a
// header line at the top of a new file. A run that is started again with the
// same log reads it first and never gives an ID that the log shows as done.
//
//   time_utc,port,bios_name,bios_version,id_before,id_after,result,detail,config_before,config_after
//   2026-12-08T01:02:03Z,/dev/ttyUSB0,VARNOLINK I/O,1.00a,01,02,ok,,...

enum class TCommissionResult { Ok, Mismatch, NoReply, Interrupted, DeviceLost };

// "ok", "mismatch", "no reply", "interrupted", "device lost".
std::string_view CommissionResultText(TCommissionResult Result);

struct TCommissionRow {
    std::string TimeUtc;  // see UtcTimeText
    std::string Port;
    std::string BiosName;
    std::string BiosVersion;
    std::string IdBefore;  // two hexadecimal digits; empty when not known
    std::string IdAfter;
    TCommissionResult Result = TCommissionResult::Ok;
    // Mismatch: the fields that differ; no reply: the request that got none.
    std::string Detail;
    std::string ConfigBefore;  // the configuration as hexadecimal bytes; empty when not known
    std::string ConfigAfter;

    bool operator==(const TCommissionRow&) const = default;
};

// The names of the columns, as the header line has them.
const std::vector<std::string>& CommissionLogColumns();

// A row as its CSV record, with its line end.
std::string CommissionLogRowText(const TCommissionRow& Row);

// ISO 8601 in UTC to the second: "2026-12-08T01:02:03Z".
std::string UtcTimeText(std::chrono::system_clock::time_point Time);

class ECommissionLog : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The largest log read (some hundred thousand rows).
inline constexpr std::size_t CommissionLogLimit = std::size_t{64} << 20;

// The rows of a log's text. An empty text has none; blank lines are
// skipped. Throws ECommissionLog, naming FileName and the line, for a text
// that does not start with the header. A row that cannot be read (broken
// quoting, another number of fields, an ID that is no byte, an unknown
// result: a row cut short by a crash or an edit) is left out, so that it
// never blocks a run, and reported in Skipped as "FileName:line: reason".
std::vector<TCommissionRow> ParseCommissionLog(std::string_view Text, const std::string& FileName,
                                               std::vector<std::string>* Skipped = nullptr);

// The rows of the log file at Path (none when there is no such file), read
// within CommissionLogLimit. Throws ECommissionLog naming the file when it
// cannot be read, is no regular file, is too large or is not a log.
std::vector<TCommissionRow> ReadCommissionLog(const std::string& Path, std::vector<std::string>* Skipped = nullptr);

// The IDs that rows with the result "ok" gave.
std::set<uint8_t> DoneIDs(const std::vector<TCommissionRow>& Rows);

// A log file opened for a run: its rows so far are read, new rows are
// appended, the header goes first into a file that is new or empty. Each row
// is written and flushed at once, so an interrupted run loses nothing; a
// last row left without its line end (a crash or a full disk mid-row) is
// ended before the first new row, which would otherwise be glued onto it.
class TCommissionLog {
public:
    // Throws ECommissionLog when the file cannot be read or written or is
    // not a commissioning log.
    explicit TCommissionLog(const std::string& Path);

    const std::string& Path() const { return Path_; }
    const std::vector<TCommissionRow>& Rows() const { return Rows_; }
    // IDs recorded as "ok", in this file before the run and since.
    const std::set<uint8_t>& Done() const { return Done_; }
    // The rows of the file that could not be read ("path:line: reason").
    const std::vector<std::string>& Skipped() const { return Skipped_; }

    void Append(const TCommissionRow& Row);

private:
    std::string Path_;
    std::vector<TCommissionRow> Rows_;
    std::set<uint8_t> Done_;
    std::vector<std::string> Skipped_;
    std::ofstream File_;
    bool NeedsHeader_ = false;
    bool NeedsLineEnd_ = false;  // the file's last row lost its line end
};

}  // namespace varnolink
