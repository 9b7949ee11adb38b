// SPDX-License-Identifier: MIT
// Replacing a file so that a reader sees the old text or the new one, never
// part of either.
#pragma once

#include <string>
#include <string_view>

namespace varnolink {

// Writes Text to a temporary file in Path's folder, flushes it to the disk,
// gives it mode 0644 and renames it over Path (then flushes the folder, so
// the rename survives a power cut). A hidden temporary name without Path's
// ending keeps collectors that read *.prom from picking it up. Throws
// EConfigFile naming Path when any step fails; the temporary file is
// removed then.
void ReplaceFileAtomically(const std::string& Path, std::string_view Text);

}  // namespace varnolink
