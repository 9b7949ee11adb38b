// SPDX-License-Identifier: MIT
// How every command prints its result: once, as text or as members of the
// --json object; and the two forms of a list read from one place.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/json_writer.h"

namespace varnolink {

// A command's result, printed once: as text on Out, or as members of the
// JSON object (its RenderText and RenderJson are found by its type).
template <class TResult>
void RenderResult(const TResult& Result, bool AsJson, std::ostream& Out, TJsonWriter& Json)
{
    if (AsJson)
        RenderJson(Result, Json);
    else
        RenderText(Result, Out);
}

// A list read from one place (a folder, a file) as text: a line for each
// item, Line printing it without the line's end, or "no NOUN in PLACE".
template <class TItem, class TLine>
void RenderListText(const std::vector<TItem>& Items, std::string_view Noun, const std::string& Place, std::ostream& Out,
                    TLine&& Line)
{
    for (const TItem& Item : Items) {
        Line(Item);
        Out << "\n";
    }
    if (Items.empty())
        Out << "no " << Noun << " in " << Place << "\n";
}

// The same list as members: the place, then the items in an array, Write
// writing each.
template <class TItem, class TWrite>
TJsonWriter& RenderListJson(TJsonWriter& Json, std::string_view PlaceKey, const std::string& Place,
                            std::string_view ListKey, const std::vector<TItem>& Items, TWrite&& Write)
{
    Json.Member(PlaceKey, Place).Key(ListKey).BeginArray();
    for (const TItem& Item : Items)
        Write(Item);
    return Json.EndArray();
}

}  // namespace varnolink
