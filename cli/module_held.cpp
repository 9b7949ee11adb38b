// SPDX-License-Identifier: MIT
// What a writing command leaves in the module, as text and as JSON.
#include "cli/module_held.h"

#include <ostream>

#include "main/protocol/module_config.h"

namespace varnolink {

TModuleHeld TModuleHeld::Of(const TChainResult& Result)
{
    return {Result.WrittenFields(), Result.UnconfirmedField(), Result.UnsentFields()};
}

TModuleHeld TModuleHeld::Everything()
{
    TModuleHeld Held;
    for (int Field = 0; Field < ModuleConfigFieldCount; ++Field)
        Held.Written.push_back(ModuleConfigFieldName(Field));
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
