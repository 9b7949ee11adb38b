// SPDX-License-Identifier: MIT
// An audit's rows as Prometheus metrics, and the last good time read back.
#include "main/reports/plant_metrics.h"

#include <charconv>
#include <cmath>
#include <cstddef>

#include "main/protocol/hex.h"

namespace varnolink {

namespace {

constexpr std::string_view LastGoodName = "varnolink_audit_last_good_timestamp_seconds";
// Every file of ours has it; a file without it was not written by us or was cut.
constexpr std::string_view EndTypeLine = "# TYPE varnolink_audit_end_timestamp_seconds gauge\n";

// The results an audit gives, always listed (a zero is a finding too).
constexpr TPlantOutcome AuditOutcomes[] = {TPlantOutcome::Ok,        TPlantOutcome::Differs, TPlantOutcome::NoReply,
                                           TPlantOutcome::PortError, TPlantOutcome::Busy,    TPlantOutcome::Stopped};

bool Reached(const TPlantRow& Row)
{
    return Row.Outcome == TPlantOutcome::Ok || Row.Outcome == TPlantOutcome::Differs;
}

std::string Number(double Value)
{
    char Buffer[64];
    const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
    return std::string(Buffer, Result.ptr);
}

class TExposition {
public:
    explicit TExposition(const std::string& Inventory) : Inventory_(MetricsLabelValue(Inventory)) {}

    void Family(std::string_view Name, std::string_view Help)
    {
        Name_ = Name;
        Text_.append("# HELP ").append(Name).append(" ").append(Help).append("\n");
        Text_.append("# TYPE ").append(Name).append(" gauge\n");
    }
    // A sample of the current family; Labels holds name="escaped value" pairs
    // after the inventory's.
    void Sample(const std::string& Labels, double Value)
    {
        Text_.append(Name_).append("{inventory=\"").append(Inventory_).append("\"");
        if (!Labels.empty())
            Text_.append(",").append(Labels);
        Text_.append("} ").append(Number(Value)).append("\n");
    }
    std::string Take() { return std::move(Text_); }

private:
    std::string Inventory_;
    std::string_view Name_;
    std::string Text_;
};

std::string Label(std::string_view Name, std::string_view Value)
{
    return std::string(Name) + "=\"" + MetricsLabelValue(Value) + "\"";
}

std::string ModuleLabels(const TPlantRow& Row)
{
    return Label("name", Row.Module.Name) + "," + Label("port", Row.Module.Port) + "," +
           Label("location", Row.Module.Location);
}

}  // namespace

std::string MetricsLabelValue(std::string_view Value)
{
    std::string Out;
    Out.reserve(Value.size());
    for (const char C : Value) {
        if (C == '\\')
            Out += "\\\\";
        else if (C == '"')
            Out += "\\\"";
        else if (C == '\n')
            Out += "\\n";
        else
            Out += C;
    }
    return Out;
}

std::string PlantMetricsText(const std::string& Inventory, const std::vector<TPlantRow>& Rows,
                             const TPlantMetricsTimes& Times)
{
    std::vector<std::string> Labels;
    Labels.reserve(Rows.size());
    for (const TPlantRow& Row : Rows)
        Labels.push_back(ModuleLabels(Row));

    TExposition Out(Inventory);
    Out.Family("varnolink_module_reached", "Whether the last audit read the module (1) or could not (0).");
    for (std::size_t Index = 0; Index < Rows.size(); ++Index)
        Out.Sample(Labels[Index], Reached(Rows[Index]) ? 1 : 0);
    Out.Family("varnolink_module_holds_file",
               "Whether the module held its configuration file at the last audit (0 also when not read).");
    for (std::size_t Index = 0; Index < Rows.size(); ++Index)
        Out.Sample(Labels[Index], Rows[Index].Outcome == TPlantOutcome::Ok ? 1 : 0);
    Out.Family("varnolink_module_differing_fields",
               "Fields in which the module differed from its file at the last audit (only modules read).");
    for (std::size_t Index = 0; Index < Rows.size(); ++Index)
        if (Reached(Rows[Index]))
            Out.Sample(Labels[Index], static_cast<double>(Rows[Index].Differences.size()));
    Out.Family("varnolink_module_info", "The identity the module reported at the last audit; the value is 1.");
    for (std::size_t Index = 0; Index < Rows.size(); ++Index) {
        const TPlantRow& Row = Rows[Index];
        if (!Row.Identity && !Row.RemoteId)
            continue;
        Out.Sample(Labels[Index] + "," + Label("bios_name", Row.Identity ? Row.Identity->BiosName : "") + "," +
                       Label("bios_version", Row.Identity ? Row.Identity->BiosVersion : "") + "," +
                       Label("remote_id", Row.RemoteId ? HexByteToStr2(*Row.RemoteId) : ""),
                   1);
    }

    Out.Family("varnolink_audit_modules", "Modules of the plant by the result of the last audit.");
    bool AllGood = !Rows.empty();
    std::vector<TPlantOutcome> Listed(std::begin(AuditOutcomes), std::end(AuditOutcomes));
    for (const TPlantRow& Row : Rows) {
        AllGood = AllGood && Row.Outcome == TPlantOutcome::Ok;
        bool Known = false;
        for (const TPlantOutcome Outcome : Listed)
            Known = Known || Outcome == Row.Outcome;
        if (!Known)
            Listed.push_back(Row.Outcome);
    }
    for (const TPlantOutcome Outcome : Listed) {
        std::size_t Count = 0;
        for (const TPlantRow& Row : Rows)
            Count += Row.Outcome == Outcome ? 1 : 0;
        Out.Sample(Label("result", PlantOutcomeText(Outcome)), static_cast<double>(Count));
    }
    Out.Family("varnolink_audit_duration_seconds", "How long the last audit took.");
    Out.Sample({}, Times.DurationSeconds);
    Out.Family("varnolink_audit_end_timestamp_seconds", "When the last audit ended, in unix seconds.");
    Out.Sample({}, Times.EndedAt);
    Out.Family(LastGoodName, "When the last audit in which every module was read and held its file ended, "
                             "in unix seconds (no sample before the first).");
    const std::optional<double> LastGood = AllGood ? std::optional(Times.EndedAt) : Times.LastGoodBefore;
    if (LastGood)
        Out.Sample({}, *LastGood);
    return Out.Take();
}

TPreviousMetrics PreviousPlantMetrics(std::string_view Text)
{
    TPreviousMetrics Previous;
    if (Text.empty() || Text.back() != '\n' || Text.find(EndTypeLine) == std::string_view::npos) {
        Previous.Damaged = true;
        return Previous;
    }
    for (std::size_t Start = 0; Start < Text.size();) {
        const std::size_t End = Text.find('\n', Start);
        const std::string_view Line = Text.substr(Start, End - Start);
        Start = End + 1;
        if (Line.substr(0, LastGoodName.size()) != LastGoodName || Line.size() == LastGoodName.size() ||
            (Line[LastGoodName.size()] != '{' && Line[LastGoodName.size()] != ' '))
            continue;
        const std::size_t Space = Line.rfind(' ');
        double Value = 0;
        const auto Parsed = std::from_chars(Line.data() + Space + 1, Line.data() + Line.size(), Value);
        if (Parsed.ec != std::errc() || Parsed.ptr != Line.data() + Line.size() || !std::isfinite(Value) || Value < 0) {
            Previous.Damaged = true;
            return Previous;
        }
        Previous.LastGood = Value;
    }
    return Previous;
}

}  // namespace varnolink
