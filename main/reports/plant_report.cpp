// SPDX-License-Identifier: MIT
// The words of a plant's rows, and the HTML page of a whole run.
#include "main/reports/plant_report.h"

#include "main/protocol/hex.h"

namespace varnolink {

namespace {

std::string Listed(const std::vector<std::string>& Names)
{
    std::string Text;
    for (const std::string& Name : Names)
        Text += (Text.empty() ? "" : ", ") + Name;
    return Text.empty() ? "nothing" : Text;
}

// Text from outside (names, BIOS strings, reasons) as text in the page: safe
// in element content and in attribute values of either quote.
std::string Escaped(const std::string& Text)
{
    std::string Out;
    for (const char C : Text) {
        switch (C) {
        case '&':
            Out += "&amp;";
            break;
        case '<':
            Out += "&lt;";
            break;
        case '>':
            Out += "&gt;";
            break;
        case '"':
            Out += "&quot;";
            break;
        case '\'':
            Out += "&#39;";
            break;
        default:
            Out += C;
        }
    }
    return Out;
}

// The class of a row's colour in the page.
const char* ColourOf(TPlantOutcome Outcome)
{
    switch (Outcome) {
    case TPlantOutcome::Ok:
    case TPlantOutcome::Unchanged:
    case TPlantOutcome::Written:
    case TPlantOutcome::Found:
        return "good";
    case TPlantOutcome::Differs:
    case TPlantOutcome::DiffersAfterWrite:
        return "differs";
    case TPlantOutcome::Stopped:
    case TPlantOutcome::Waiting:
    case TPlantOutcome::Running:
        return "stopped";
    default:
        return "bad";
    }
}

}  // namespace

std::string PlantRowHeld(const TPlantRow& Row)
{
    if (!Row.Write || Row.Write->End == TChainEnd::Completed || Row.Write->End == TChainEnd::Differs)
        return {};
    std::string Text = "written before it ended: " + Listed(ModuleConfigFieldNames(Row.Write->WrittenFields()));
    if (const auto Unconfirmed = Row.Write->UnconfirmedField())
        Text += "; sent, not confirmed: " + ModuleConfigFieldName(*Unconfirmed);
    if (const auto NotSent = Row.Write->UnsentFields(); !NotSent.empty())
        Text += "; not sent: " + Listed(ModuleConfigFieldNames(NotSent));
    return Text;
}

std::string PlantRowDetail(const TPlantRow& Row)
{
    std::string Text;
    const auto Add = [&](const std::string& Part) {
        if (!Part.empty())
            Text += (Text.empty() ? "" : "; ") + Part;
    };
    switch (Row.Outcome) {
    case TPlantOutcome::NoReply:
        Add(Row.NoReplyTo ? "no reply to " + DescribeStep(*Row.NoReplyTo) : "no reply");
        break;
    case TPlantOutcome::PortError:
    case TPlantOutcome::Busy:
    case TPlantOutcome::FileError:
    case TPlantOutcome::Stopped:
        Add(Row.Reason);
        break;
    default:
        break;
    }
    // A written module held the Differences before; the others hold them now.
    for (const TFieldDifference& Difference : Row.Differences) {
        const std::string Field = ModuleConfigFieldName(Difference.Field);
        Add(Row.Outcome == TPlantOutcome::Written
                ? "changed " + Field + " " + Difference.HeldText() + " \u2192 " + Difference.WantedText()
                : Field + ": file " + Difference.WantedText() + ", module " + Difference.HeldText());
    }
    Add(PlantRowHeld(Row));
    return Text;
}

std::string PlantRowIdentity(const TPlantRow& Row)
{
    if (!Row.Identity || (Row.Identity->BiosName.empty() && Row.Identity->BiosVersion.empty()))
        return {};
    return Row.Identity->BiosName + " " + Row.Identity->BiosVersion;
}

std::string PlantSummaryText(const TPlantSummary& Summary)
{
    std::string Text = std::to_string(Summary.Total) + (Summary.Total == 1 ? " module" : " modules");
    std::string Counts;
    const auto Count = [&](std::size_t N, const char* What) {
        if (N > 0)
            Counts += (Counts.empty() ? "" : ", ") + std::to_string(N) + " " + What;
    };
    Count(Summary.Good, "ok");
    Count(Summary.Differing, Summary.Differing == 1 ? "differs" : "differ");
    Count(Summary.Unreachable, "unreachable");
    Count(Summary.Failed, "file errors");
    Count(Summary.Stopped, "stopped");
    Count(Summary.Total - Summary.Done, "not done");
    return Counts.empty() ? Text : Text + ": " + Counts;
}

std::string PlantReportHtml(const std::string& Title, const std::string& MadeAt, const std::vector<TPlantRow>& Rows,
                            const TPlantSummary& Summary)
{
    std::string Page = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>)" + Escaped(Title) +
                       R"(</title>
<style>
body{font-family:sans-serif;margin:1.5em;color:#222}
table{border-collapse:collapse;width:100%}
th,td{border:1px solid #bbb;padding:.3em .5em;text-align:left;vertical-align:top}
th{background:#eee}
tr.good td.result{background:#c8efc8}
tr.differs td.result{background:#ffe08a}
tr.bad td.result{background:#f6b3b3}
tr.stopped td.result{background:#ddd}
td.detail{font-family:monospace;white-space:pre-wrap}
@media print{body{margin:0}tr{break-inside:avoid}*{-webkit-print-color-adjust:exact;print-color-adjust:exact}}
</style></head><body>
<h1>)" + Escaped(Title) +
                       R"(</h1>
<p>Made )" + Escaped(MadeAt) +
                       R"(. <strong>)" + Escaped(PlantSummaryText(Summary)) + R"(</strong></p>
<table>
<thead><tr><th>name</th><th>location</th><th>port</th><th>result</th><th>module</th><th>Remote ID</th><th>details</th></tr></thead>
<tbody>
)";
    for (const TPlantRow& Row : Rows) {
        std::string Detail = PlantRowDetail(Row);
        // One differing field per line reads better in a table cell.
        for (std::size_t At = Detail.find("; "); At != std::string::npos; At = Detail.find("; ", At + 1))
            Detail.replace(At, 2, "\n");
        Page += std::string("<tr class=\"") + ColourOf(Row.Outcome) + "\"><td>" + Escaped(Row.Module.Name) +
                "</td><td>" + Escaped(Row.Module.Location) + "</td><td>" + Escaped(Row.Module.Port) +
                "</td><td class=\"result\">" + PlantOutcomeText(Row.Outcome) + "</td><td>" +
                Escaped(PlantRowIdentity(Row)) + "</td><td>" + (Row.RemoteId ? HexByteToStr2(*Row.RemoteId) : "") +
                "</td><td class=\"detail\">" + Escaped(Detail) + "</td></tr>\n";
    }
    Page += "</tbody>\n</table>\n</body></html>\n";
    return Page;
}

}  // namespace varnolink
