// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "main/protocol/module_config.h"

namespace varnolink {

// Where a module's configuration is kept just before it is written:
// $XDG_STATE_HOME/varnolink/backups, or ~/.local/state/varnolink/backups.
std::string DefaultBackupFolder();

// Makes Folder and the folders above it that are missing (mode 0700).
// Errors as EConfigFile.
void MakeFolders(const std::string& Folder);

// What a backup records besides the configuration.
struct TBackupOrigin {
    std::string ReadAt;      // ISO 8601 UTC: "2026-12-09T22:15:00Z"
    std::string Port;        // the port name as given
    std::string ModuleName;  // the inventory's name; may be empty
    TModuleIdentity Identity;
};

// "20261209T221500Z_press-1_ttyUSB0_id-A7.ini": time, module name (when
// there is one), port and Remote ID, with anything but letters, digits,
// '-' and '.' turned into '-', so a port such as socket://host:4001 makes a
// plain file name.
std::string BackupFileName(const TBackupOrigin& Origin, const TModuleConfig& Config);

// Writes the backup into Folder (created when missing) and returns its path.
// The file is a configuration file that names its origin in comments, so it
// can be written back as it stands. Errors as EConfigFile.
std::string SaveBackup(const std::string& Folder, const TBackupOrigin& Origin, const TModuleConfig& Config);

}  // namespace varnolink
