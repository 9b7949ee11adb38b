// SPDX-License-Identifier: MIT
// What a writing command leaves in the module, in the words every such
// command uses.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/json_writer.h"
#include "main/engine/chain_session.h"

namespace varnolink {

// What a command that writes leaves in the module, in the words and JSON
// keys every such command uses (write, default, commission, and any later
// command that writes): the fields the module acknowledged, the one sent but
// not confirmed, and those never sent.
struct TModuleHeld {
    std::vector<std::string> Written;
    std::optional<std::string> Unconfirmed;
    std::vector<std::string> NotSent;

    static TModuleHeld Of(const TChainResult& Result);
    // Every field written and acknowledged.
    static TModuleHeld Everything();
};

// "varnolink: written before it ended: ...", "varnolink: sent, not confirmed:
// ...", "varnolink: not sent: ..." (the last two only when there is one).
void PrintModuleHeld(const TModuleHeld& Held, std::ostream& Err);
// The members "written", "unconfirmed" (a field or null) and "not_sent".
void WriteModuleHeld(TJsonWriter& Json, const TModuleHeld& Held);

// "a, b, c"; "nothing" for none.
std::string ListedFields(const std::vector<std::string>& Names);

}  // namespace varnolink
