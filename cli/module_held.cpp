// SPDX-License-Identifier: MIT
// What a writing command leaves in the module, as text and as JSON.
#include "cli/module_held.h"

#include <ostream>

#include "main/protocol/module_config.h"

namespace varnolink {

TModuleHeld TModuleHeld::Of(const TChainResult& Result)
{
    const std::optional<TConfigField> Unconfirmed = Result.UnconfirmedField();
    return {ModuleConfigFieldNames(Result.WrittenFields()),
            Unconfirmed ? std::optional(ModuleConfigFieldName(*Unconfirmed)) : std::nullopt,
            ModuleConfigFieldNames(Result.UnsentFields())};
}

TModuleHeld TModuleHeld::Everything()
{
    TModuleHeld Held;
    Held.Written = ModuleConfigFieldNames({ModuleConfigFields.begin(), ModuleConfigFields.end()});
    return Held;
}

std::string ListedFields(const std::vector<std::string>& Names)
{
    std::string Text;
    for (const std::string& Name : Names)
        Text += (Text.empty() ? "" : ", ") + Name;
    return Text.empty() ? "nothing" : Text;
}

void PrintModuleHeld(const TModuleHeld& Held, std::ostream& Err)
{
    Err << "varnolink: written before it ended: " << ListedFields(Held.Written) << std::endl;
    if (Held.Unconfirmed)
        Err << "varnolink: sent, not confirmed: " << *Held.Unconfirmed << std::endl;
    if (!Held.NotSent.empty())
        Err << "varnolink: not sent: " << ListedFields(Held.NotSent) << std::endl;
}

void WriteModuleHeld(TJsonWriter& Json, const TModuleHeld& Held)
{
    Json.Member("written", Held.Written);
    Json.Key("unconfirmed");
    if (Held.Unconfirmed)
        Json.String(*Held.Unconfirmed);
    else
        Json.Null();
    Json.Member("not_sent", Held.NotSent);
}

}  // namespace varnolink
