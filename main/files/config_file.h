// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "main/protocol/module_config.h"

namespace varnolink {

// The configuration file: one module per file, INI text a person can read,
// edit and keep under version control.
//
//   # VARNOLINK I/O module configuration
//   [module]
//   format = 1
//   remote_id = A7
//   baud = 57600
//   ; 1 = input, 0 = output ...
//   [direction]
//   P0 = 5A
//   ...
//   [power_on_default]
//   P0 = FE
//   ...
//   ; informational: written by read, ignored by write
//   [identity]
//   bios_name = ...
//
// A byte is two hexadecimal digits or "0b" and eight binary digits, bit 7
// first; the baud rate is one of the eight rates. Names of sections and keys
// are matched without regard to case. A field may be missing (the file is
// then partial, see TPartialModuleConfig); anything unknown, out of range or
// given twice is an error naming the file, the line and the key.

inline constexpr int ConfigFileFormat = 1;

struct TConfigFile {
    TPartialModuleConfig Config;
    TModuleIdentity Identity;  // empty texts when the file has none
    std::string ReadAt;        // when the module was read, ISO 8601 UTC
};

class EConfigFile : public std::runtime_error {
public:
    // Line 0: the error concerns the whole file (a missing key). Key may be
    // empty (a line that is no entry).
    EConfigFile(std::string File, std::size_t Line, std::string Key, const std::string& Reason);
    const std::string& File() const { return File_; }
    std::size_t Line() const { return Line_; }
    const std::string& Key() const { return Key_; }

private:
    std::string File_;
    std::size_t Line_;
    std::string Key_;
};

// Parses the text of a file; FileName only names it in errors.
TConfigFile ParseConfigText(std::string_view Text, const std::string& FileName);
// The largest configuration file read (a complete one is well under 1 KiB).
inline constexpr std::size_t ConfigFileLimit = std::size_t{1} << 20;

// Reads and parses a file; a file that can't be read, is no regular file or
// is larger than ConfigFileLimit is an EConfigFile too.
TConfigFile LoadConfigFile(const std::string& Path);

// Every field present, or an EConfigFile naming the first missing key.
TModuleConfig RequireComplete(const TConfigFile& File, const std::string& FileName);

// The text of a file for the configuration (with the identity section when
// Identity is given). The same values always give the same bytes.
std::string ConfigFileText(const TModuleConfig& Config, const TModuleIdentity* Identity = nullptr,
                           std::string_view ReadAt = {});
// Writes Text to Path through a temporary file in the same folder, so a
// failed write leaves no half file behind; errors as EConfigFile.
void SaveConfigFile(const std::string& Path, const std::string& Text);

// A byte in the file's notation ("5A", "0b01011010"); empty if it is none.
std::optional<uint8_t> ParseConfigByte(std::string_view Text);
// A baud rate as text ("57600") to its index; empty if it is not one of the eight.
std::optional<int> ParseBaudRate(std::string_view Text);

}  // namespace varnolink
