// SPDX-License-Identifier: MIT
// Internal: whole-file reading and replacing for the file-backed stores.
#pragma once

#include <optional>
#include <string>
#include <system_error>

namespace cport {

// The file's contents, or no value when it does not exist. Any other failure
// throws std::system_error.
std::optional<std::string> ReadWholeFile(const std::string& Path);

// ReadWholeFile for a store that opens its file: a failure becomes the
// store's own exception, its message Context followed by the system's reason.
template <typename TStoreError>
std::optional<std::string> ReadStoreFile(const std::string& Path, const char* Context)
{
    try {
        return ReadWholeFile(Path);
    } catch (const std::system_error& Error) {
        throw TStoreError(std::string(Context) + Error.what());
    }
}

// Replaces the file's contents with Text: writes a temporary file in the same
// directory, flushes it and renames it over Path, so readers see either the
// old or the new file and a failure leaves the old one. Throws
// std::system_error.
void ReplaceFile(const std::string& Path, const std::string& Text);

}  // namespace cport
