// SPDX-License-Identifier: MIT
// What the single-module commands of varnolink find out, as values, and
// their one rendering each as text (stdout) or as members of the --json
// object: the commands do their work, then one renderer prints the result.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/json_writer.h"
#include "cli/rendering.h"
#include "main/engine/module_connection.h"
#include "main/engine/speed_search.h"
#include "main/ports/port_listing.h"
#include "main/protocol/module_config.h"

namespace varnolink {

// A field's value as everywhere in the JSON: the baud rate a number, every
// other field two hexadecimal digits.
void WriteFieldValue(TJsonWriter& Json, TConfigField Field, int Value);
// The "differences" member: each field with its expected and actual value.
void WriteDifferences(TJsonWriter& Json, const std::vector<TFieldDifference>& List);

// ports: the list the window offers.
struct TPortsResult {
    std::vector<TPortListing> Ports;
};

// identify: the identity (its JSON member is the connection's "identity").
struct TIdentifyResult {
    TModuleIdentity Identity;
};

// read: the configuration, and its file text when that goes to stdout.
struct TReadResult {
    TModuleConfig Config;
    std::optional<std::string> Printed;
};

// diff: the module's configuration and where it differs from the file.
struct TDiffResult {
    TModuleConfig Module;
    std::vector<TFieldDifference> Differences;
};

// backups: each file of the folder, oldest first, with what it says or why
// it cannot be read.
struct TBackupEntry {
    std::string File;
    std::string ReadAt;
    std::optional<std::string> RemoteId;
    std::string Module;  // "BIOS-name BIOS-version"
    std::optional<std::string> Error;
};
struct TBackupsResult {
    std::string Folder;
    std::vector<TBackupEntry> Backups;
};

// write --dry-run: the module as read and as it would be written.
struct TPlanResult {
    TModuleConfig Before;
    TModuleConfig After;
    std::vector<TFieldDifference> Differences;
    std::string Comment;
};

// write, restore, default: the read-back after a write that went through.
struct TVerifiedResult {
    TModuleConfig ReadBack;
    std::vector<TFieldDifference> Differences;
    std::string Comment;
};

// find --speeds: per port the rate its module answers at, or why none.
struct TSpeedEntry {
    std::string Port;
    std::optional<TSpeedFound> Found;
    std::string Error;
};
struct TSpeedsResult {
    std::vector<TSpeedEntry> Ports;
};

void RenderText(const TPortsResult& Result, std::ostream& Out);
void RenderJson(const TPortsResult& Result, TJsonWriter& Json);
void RenderText(const TIdentifyResult& Result, std::ostream& Out);
void RenderJson(const TIdentifyResult& Result, TJsonWriter& Json);
void RenderText(const TReadResult& Result, std::ostream& Out);
void RenderJson(const TReadResult& Result, TJsonWriter& Json);
void RenderText(const TDiffResult& Result, std::ostream& Out);
void RenderJson(const TDiffResult& Result, TJsonWriter& Json);
void RenderText(const TBackupsResult& Result, std::ostream& Out);
void RenderJson(const TBackupsResult& Result, TJsonWriter& Json);
void RenderText(const TPlanResult& Result, std::ostream& Out);
void RenderJson(const TPlanResult& Result, TJsonWriter& Json);
void RenderText(const TVerifiedResult& Result, std::ostream& Out);
void RenderJson(const TVerifiedResult& Result, TJsonWriter& Json);
// find --speeds prints each port's line as soon as its search ends.
void RenderText(const TSpeedEntry& Entry, std::ostream& Out);
void RenderJson(const TSpeedsResult& Result, TJsonWriter& Json);

// The object of a module's identity, as every command writes it.
void WriteIdentityJson(TJsonWriter& Json, const TModuleIdentity& Identity);

}  // namespace varnolink
