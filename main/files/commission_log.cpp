// SPDX-License-Identifier: MIT
// The commissioning log as CSV rows: writing a row, and reading an existing
// log back to learn which IDs it already shows as done.
#include "main/files/commission_log.h"

#include <array>
#include <cctype>
#include <ctime>
#include <optional>
#include <sstream>
#include <utility>

#include "main/files/csv.h"
#include "main/files/file_text.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

constexpr std::array ResultTexts{
    std::pair{TCommissionResult::Ok, std::string_view("ok")},
    std::pair{TCommissionResult::Mismatch, std::string_view("mismatch")},
    std::pair{TCommissionResult::NoReply, std::string_view("no reply")},
    std::pair{TCommissionResult::Interrupted, std::string_view("interrupted")},
    std::pair{TCommissionResult::DeviceLost, std::string_view("device lost")},
};

std::optional<TCommissionResult> ResultOf(std::string_view Text)
{
    for (const auto& [Result, Name] : ResultTexts)
        if (Name == Text)
            return Result;
    return std::nullopt;
}

std::vector<std::string> Fields(const TCommissionRow& Row)
{
    return {Row.TimeUtc,
            Row.Port,
            Row.BiosName,
            Row.BiosVersion,
            Row.IdBefore,
            Row.IdAfter,
            std::string(CommissionResultText(Row.Result)),
            Row.Detail,
            Row.ConfigBefore,
            Row.ConfigAfter};
}

ECommissionLog LogError(const std::string& FileName, std::size_t Line, const std::string& Reason)
{
    return ECommissionLog(FileName + ":" + std::to_string(Line) + ": " + Reason);
}

// The ID a row records as done: the one an "ok" row's module holds.
std::optional<uint8_t> DoneID(const TCommissionRow& Row)
{
    if (Row.Result != TCommissionResult::Ok || Row.IdAfter.size() != 2)
        return std::nullopt;
    return HexStr2ToByte(Row.IdAfter);
}

bool IsIDOrEmpty(const std::string& Text)
{
    const auto IsHexDigit = [](char C) { return std::isxdigit(static_cast<unsigned char>(C)) != 0; };
    return Text.empty() || (Text.size() == 2 && IsHexDigit(Text[0]) && IsHexDigit(Text[1]));
}

// A row has ten short fields; these limits leave room for rows a later
// version writes with more, and stop a hostile row (a line of millions of
// commas, one endless field) at once, in little memory.
constexpr TCsvLimits RowLimits{64, std::size_t{64} << 10};

bool IsBlank(const TCsvRecord& Record)
{
    return Record.Fields.size() == 1 && Record.Fields.front().empty();
}

}  // namespace

std::string_view CommissionResultText(TCommissionResult Result)
{
    for (const auto& [Known, Name] : ResultTexts)
        if (Known == Result)
            return Name;
    return "?";
}

const std::vector<std::string>& CommissionLogColumns()
{
    static const std::vector<std::string> Columns{"time_utc", "port",   "bios_name", "bios_version",  "id_before",
                                                  "id_after", "result", "detail",    "config_before", "config_after"};
    return Columns;
}

std::string CommissionLogRowText(const TCommissionRow& Row)
{
    return CsvRecord(Fields(Row));
}

std::string UtcTimeText(std::chrono::system_clock::time_point Time)
{
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Time);
    std::tm Utc{};
    gmtime_r(&Seconds, &Utc);
    char Text[32];
    std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%SZ", &Utc);
    return Text;
}

namespace {

// The row of a record, or why it is none.
std::optional<TCommissionRow> RowOf(const std::vector<std::string>& F, std::string& Reason)
{
    if (F.size() != CommissionLogColumns().size()) {
        Reason = "a row of " + std::to_string(F.size()) + " fields instead of " +
                 std::to_string(CommissionLogColumns().size());
        return std::nullopt;
    }
    for (const std::size_t Column : {4u, 5u})
        if (!IsIDOrEmpty(F[Column])) {
            Reason = CommissionLogColumns()[Column] + " " + Quoted(F[Column]) + " is not two hexadecimal digits";
            return std::nullopt;
        }
    const auto Result = ResultOf(F[6]);
    if (!Result) {
        Reason = "unknown result " + Quoted(F[6]);
        return std::nullopt;
    }
    return TCommissionRow{F[0], F[1], F[2], F[3], F[4], F[5], *Result, F[7], F[8], F[9]};
}

}  // namespace

// Record by record, so that a damaged one costs only itself: after broken
// quoting the reading goes on at the line after the record's start.
std::vector<TCommissionRow> ParseCommissionLog(std::string_view Text, const std::string& FileName,
                                               std::vector<std::string>* Skipped)
{
    std::vector<TCommissionRow> Rows;
    bool HeaderSeen = false;
    std::size_t Pos = 0, Line = 1;
    while (Pos < Text.size()) {
        const std::size_t Start = Pos, StartLine = Line;
        std::string Reason;
        std::optional<TCsvRecord> Record;
        try {
            Record = ParseCsvRecord(Text, Pos, Line, RowLimits);
        } catch (const ECsv& Error) {
            if (!HeaderSeen)
                throw LogError(FileName, Error.Line(), Error.Reason());
            Reason = Error.Reason();
            const std::size_t End = Text.find('\n', Start);
            Pos = End == std::string_view::npos ? Text.size() : End + 1;
            Line = StartLine + 1;
        }
        if (Record && IsBlank(*Record))
            continue;
        if (Record && !HeaderSeen) {
            if (Record->Fields != CommissionLogColumns())
                throw LogError(FileName, Record->Line, "not a commissioning log (its first line is not the header)");
            HeaderSeen = true;
            continue;
        }
        std::optional<TCommissionRow> Row;
        if (Record)
            Row = RowOf(Record->Fields, Reason);
        if (Row)
            Rows.push_back(std::move(*Row));
        else if (Skipped != nullptr)
            Skipped->push_back(FileName + ":" + std::to_string(StartLine) + ": " + Reason + "; the row is skipped");
    }
    return Rows;
}

std::vector<TCommissionRow> ReadCommissionLog(const std::string& Path, std::vector<std::string>* Skipped)
{
    const TFileText File = ReadFileText(Path, CommissionLogLimit);
    if (File.Missing)
        return {};
    if (!File.Error.empty())
        throw ECommissionLog(Path + ": " + File.Error);
    return ParseCommissionLog(File.Text, Path, Skipped);
}

std::set<uint8_t> DoneIDs(const std::vector<TCommissionRow>& Rows)
{
    std::set<uint8_t> Done;
    for (const auto& Row : Rows)
        if (const auto ID = DoneID(Row))
            Done.insert(*ID);
    return Done;
}

TCommissionLog::TCommissionLog(const std::string& Path) : Path_(Path)
{
    {
        const TFileText Existing = ReadFileText(Path, CommissionLogLimit);
        if (!Existing.Error.empty() && !Existing.Missing)
            throw ECommissionLog(Path + ": " + Existing.Error);
        Rows_ = ParseCommissionLog(Existing.Text, Path, &Skipped_);
        NeedsHeader_ = Existing.Text.find_first_not_of("\r\n") == std::string::npos;
        NeedsLineEnd_ = !NeedsHeader_ && Existing.Text.back() != '\n';
    }
    Done_ = DoneIDs(Rows_);
    File_.open(Path, std::ios::binary | std::ios::app);
    if (!File_)
        throw ECommissionLog(Path + ": cannot open the log for writing");
}

void TCommissionLog::Append(const TCommissionRow& Row)
{
    if (NeedsLineEnd_)
        File_ << "\r\n";
    if (NeedsHeader_)
        File_ << CsvRecord(CommissionLogColumns());
    File_ << CommissionLogRowText(Row) << std::flush;
    if (!File_)
        throw ECommissionLog(Path_ + ": cannot write to the log");
    NeedsHeader_ = false;
    NeedsLineEnd_ = false;
    Rows_.push_back(Row);
    if (const auto ID = DoneID(Row))
        Done_.insert(*ID);
}

}  // namespace varnolink
