// SPDX-License-Identifier: MIT
// The plant's HTML page shows every text from outside (names, locations,
// ports, BIOS strings, reasons, the title) as text: escaped, and never as
// markup of its own.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "main/reports/plant_report.h"

using namespace varnolink;

namespace {

// Each place a text from outside reaches the page.
enum class TPlace { Title, MadeAt, Name, Location, Port, BiosName, BiosVersion, Reason };

struct TPage {
    std::string Title = "plant", MadeAt = "2026-01-02T03:04:05Z";
    TPlantRow Row;
};

TPage PageWith(TPlace Place, const std::string& Text)
{
    TPage Page;
    Page.Row.Module = {"press", "/dev/ttyUSB0", "hall", {}};
    Page.Row.Outcome = TPlantOutcome::FileError;
    Page.Row.Reason = "read-only folder";
    Page.Row.Identity = TModuleIdentity{"VARNOLINK-IO", "1.00a", "Ready"};
    Page.Row.RemoteId = 0x10;
    switch (Place) {
    case TPlace::Title:
        Page.Title = Text;
        break;
    case TPlace::MadeAt:
        Page.MadeAt = Text;
        break;
    case TPlace::Name:
        Page.Row.Module.Name = Text;
        break;
    case TPlace::Location:
        Page.Row.Module.Location = Text;
        break;
    case TPlace::Port:
        Page.Row.Module.Port = Text;
        break;
    case TPlace::BiosName:
        Page.Row.Identity->BiosName = Text;
        break;
    case TPlace::BiosVersion:
        Page.Row.Identity->BiosVersion = Text;
        break;
    case TPlace::Reason:
        Page.Row.Reason = Text;
        break;
    }
    return Page;
}

std::string Html(const TPage& Page)
{
    TPlantSummary Summary;
    Summary.Total = Summary.Done = Summary.Failed = 1;
    return PlantReportHtml(Page.Title, Page.MadeAt, {Page.Row}, Summary);
}

// The page's markup: every tag, in order.
std::vector<std::string> Tags(const std::string& Html)
{
    static const std::regex Tag("<[^>]*>");
    std::vector<std::string> Found;
    for (auto It = std::sregex_iterator(Html.begin(), Html.end(), Tag); It != std::sregex_iterator(); ++It)
        Found.push_back(It->str());
    return Found;
}

struct THostile {
    const char* Text;
    const char* Shown;  // how the page must carry it
};

const THostile Hostile[] = {
    {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
    {"</td></tr></table><img src=x onerror=alert(1)>",
     "&lt;/td&gt;&lt;/tr&gt;&lt;/table&gt;&lt;img src=x onerror=alert(1)&gt;"},
    {"a & b &amp;c", "a &amp; b &amp;amp;c"},
    {"\"double\" 'single'", "&quot;double&quot; &#39;single&#39;"},
    {"<!-- -->", "&lt;!-- --&gt;"},
};

const TPlace Places[] = {TPlace::Title, TPlace::MadeAt,   TPlace::Name,        TPlace::Location,
                         TPlace::Port,  TPlace::BiosName, TPlace::BiosVersion, TPlace::Reason};

TEST(PlantReport, TextsFromOutsideAreEscapedAndAddNoMarkup)
{
    for (const TPlace Place : Places) {
        const std::vector<std::string> Plain = Tags(Html(PageWith(Place, "plain")));
        for (const THostile& Case : Hostile) {
            SCOPED_TRACE("place " + std::to_string(static_cast<int>(Place)) + ": " + Case.Text);
            const std::string Page = Html(PageWith(Place, Case.Text));
            EXPECT_NE(Page.find(Case.Shown), std::string::npos);
            EXPECT_EQ(Page.find(Case.Text), std::string::npos) << "the text itself is on the page";
            EXPECT_EQ(Tags(Page), Plain);
        }
    }
}

}  // namespace
