// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnolink {

// Who holds a serial device: the program's name and its process id.
struct TPortHolder {
    std::string Program;  // "minicom"
    pid_t Process = 0;
};

// Finds the holder of a device, first in the lock table (a file LCK..ttyUSB0
// in one of LockDirectories naming a running process), then in the process
// list (a process with the device among its open files). The calling
// process itself is never reported. Nothing when no holder can be seen
// (another user's processes are not readable).
std::optional<TPortHolder> FindPortHolder(const std::string& DevicePath,
                                          const std::vector<std::string>& LockDirectories = {"/var/lock", "/run/lock"});

// The holder named by the lock table only (cheap enough for every candidate).
std::optional<TPortHolder> FindLockHolder(const std::string& DevicePath,
                                          const std::vector<std::string>& LockDirectories = {"/var/lock", "/run/lock"});

// The process holding a flock on the file, as the kernel's lock table
// (/proc/locks) names it; never the calling process. Nothing when the file
// holds no such lock or the table cannot be read.
std::optional<TPortHolder> FindFileLockHolder(const std::string& Path);

// True when the calling process has the device open itself.
bool OpenInThisProcess(const std::string& DevicePath);

// The process id a lock file's content names: decimal text (the usual
// form, padded with blanks) or a binary int (old programs); nothing if the
// content names no process.
std::optional<pid_t> ParseLockFile(std::string_view Content);

// "in use by minicom, process 1234"; "in use by another program" without a holder.
std::string HolderText(const std::optional<TPortHolder>& Holder);

// The lock file name of a device: "LCK..ttyUSB0"; "LCK..pts_3" for /dev/pts/3.
std::string LockFileName(const std::string& DevicePath);

}  // namespace varnolink
