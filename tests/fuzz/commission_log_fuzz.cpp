// SPDX-License-Identifier: MIT
// Feeds arbitrary text to the commissioning log's reader, as a log file
// left on disk might hold it, and checks that what it accepts survives
// being written again. Damaged rows are skipped and reported with their line.
//
// Input: the bytes of the file. Also read after the header line, so that
// the rows themselves get explored.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "main/files/commission_log.h"
#include "main/files/csv.h"
#include "tests/fuzz/fuzz_input.h"

using namespace varnolink;
using fuzz_test::Require;

namespace {

void CheckCsv(std::string_view Text)
{
    std::vector<TCsvRecord> Records;
    try {
        Records = ParseCsv(Text);
    } catch (const ECsv& Error) {
        Require(Error.Line() >= 1, "error line before the first");
        return;
    }
    std::string Again;
    for (const auto& Record : Records) {
        Require(!Record.Fields.empty(), "a record without fields");
        Again += CsvRecord(Record.Fields);
    }
    const auto Back = ParseCsv(Again);
    Require(Back.size() == Records.size(), "records lost in a round trip");
    for (std::size_t I = 0; I < Back.size(); ++I)
        Require(Back[I].Fields == Records[I].Fields, "fields changed in a round trip");
}

void CheckLog(std::string_view Text)
{
    std::vector<std::string> Skipped;
    const auto Accepted =
        fuzz_test::Accepted<ECommissionLog>([&] { return ParseCommissionLog(Text, "fuzz.csv", &Skipped); });
    if (!Accepted)
        return;
    const std::vector<TCommissionRow>& Rows = *Accepted;
    for (const auto& Message : Skipped)
        Require(Message.rfind("fuzz.csv:", 0) == 0 && Message.size() < 400, "a skipped row reported without its line");
    std::string Again = CsvRecord(CommissionLogColumns());
    for (const auto& Row : Rows)
        Again += CommissionLogRowText(Row);
    Skipped.clear();
    Require(ParseCommissionLog(Again, "again.csv", &Skipped) == Rows && Skipped.empty(),
            "rows changed in a round trip");
    Require(DoneIDs(Rows).size() <= Rows.size(), "more IDs done than rows");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, std::size_t Size)
{
    const std::string_view Text = fuzz_test::TextOf(Data, Size);
    CheckCsv(Text);
    CheckLog(Text);
    CheckLog(CsvRecord(CommissionLogColumns()) + std::string(Text));
    return 0;
}
