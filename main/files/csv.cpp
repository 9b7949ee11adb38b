// SPDX-License-Identifier: MIT
// CSV records written and read back, quoting as RFC 4180 has it.
#include "main/files/csv.h"

namespace varnolink {

namespace {

bool NeedsQuotes(const std::string& Field)
{
    return Field.find_first_of(",\"\r\n") != std::string::npos;
}

}  // namespace

std::string CsvRecord(const std::vector<std::string>& Fields)
{
    std::string Text;
    for (std::size_t I = 0; I < Fields.size(); ++I) {
        if (I > 0)
            Text += ',';
        if (!NeedsQuotes(Fields[I])) {
            Text += Fields[I];
            continue;
        }
        Text += '"';
        for (const char C : Fields[I]) {
            if (C == '"')
                Text += '"';
            Text += C;
        }
        Text += '"';
    }
    return Text + "\r\n";
}

ECsv::ECsv(std::size_t Line, const std::string& Reason)
    : std::runtime_error("line " + std::to_string(Line) + ": " + Reason), Line_(Line), Reason_(Reason)
{}

std::vector<TCsvRecord> ParseCsv(std::string_view Text, const TCsvLimits& Limits)
{
    std::vector<TCsvRecord> Records;
    std::size_t Line = 1;
    std::size_t Pos = 0;
    while (Pos < Text.size())
        Records.push_back(ParseCsvRecord(Text, Pos, Line, Limits));
    return Records;
}

TCsvRecord ParseCsvRecord(std::string_view Text, std::size_t& Pos, std::size_t& Line, const TCsvLimits& Limits)
{
    {
        TCsvRecord Record{Line, {}};
        // The limits are checked field by field, so that neither the count
        // of fields nor one long field is held beyond them.
        const std::size_t Start = Pos;
        const std::size_t End = Text.size() - Start > Limits.RecordBytes ? Start + Limits.RecordBytes : Text.size();
        const auto CheckLength = [&] {
            if (Pos > End || (Pos == End && End < Text.size() && Text[Pos] != '\r' && Text[Pos] != '\n'))
                throw ECsv(Record.Line, "a record longer than " + std::to_string(Limits.RecordBytes) + " bytes");
        };
        bool RecordEnded = false;
        while (!RecordEnded) {
            if (Record.Fields.size() == Limits.Fields)
                throw ECsv(Record.Line, "a record of more than " + std::to_string(Limits.Fields) + " fields");
            std::string Field;
            if (Pos < Text.size() && Text[Pos] == '"') {
                const std::size_t OpenedOn = Line;
                ++Pos;
                while (true) {
                    if (Pos >= End && End < Text.size())
                        CheckLength();
                    if (Pos >= Text.size())
                        throw ECsv(OpenedOn, "a quoted field does not end");
                    const char C = Text[Pos++];
                    if (C == '"') {
                        if (Pos < Text.size() && Text[Pos] == '"') {
                            Field += '"';
                            ++Pos;
                            continue;
                        }
                        break;
                    }
                    if (C == '\n')
                        ++Line;
                    Field += C;
                }
                if (Pos < Text.size() && Text[Pos] != ',' && Text[Pos] != '\r' && Text[Pos] != '\n')
                    throw ECsv(Line, "text after the closing quote of a field");
            } else {
                while (Pos < End && Text[Pos] != ',' && Text[Pos] != '\r' && Text[Pos] != '\n') {
                    if (Text[Pos] == '"')
                        throw ECsv(Line, "a quote inside a field that does not start with one");
                    Field += Text[Pos++];
                }
            }
            CheckLength();
            Record.Fields.push_back(std::move(Field));
            if (Pos >= Text.size()) {
                RecordEnded = true;
            } else if (Text[Pos] == ',') {
                ++Pos;
            } else if (Text[Pos] == '\n' || (Text[Pos] == '\r' && Pos + 1 < Text.size() && Text[Pos + 1] == '\n')) {
                Pos += Text[Pos] == '\r' ? 2 : 1;
                ++Line;
                RecordEnded = true;
            } else {
                throw ECsv(Line, "a carriage return without its line feed");
            }
        }
        return Record;
    }
}

}  // namespace varnolink
