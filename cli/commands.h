// SPDX-License-Identifier: MIT
// Running one varnolink command: its exit codes and the entry points that
// main.cpp and the tests call.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/arguments.h"

namespace varnolink {

// Exit codes of varnolink (documented in --help and the manual page).
inline constexpr int ExitDone = 0;
inline constexpr int ExitUsageOrFile = 1;
inline constexpr int ExitPort = 2;
inline constexpr int ExitNoReply = 3;
inline constexpr int ExitDiffers = 4;
inline constexpr int ExitLocked = 5;  // another run holds the inventory
inline constexpr int ExitStopped = 130;

// Runs one parsed command and returns its exit code. Results go to Out
// (text or one JSON object), messages and the wire log (-v) to Err. StopFd,
// when not -1, becomes readable when the user asks to stop (a signalfd).
int RunCliCommand(const TCliArguments& Arguments, int StopFd, std::ostream& Out, std::ostream& Err);

// A command line that makes no sense: the message on Err, and with --json
// anywhere in Arguments the one JSON object on Out. Returns ExitUsageOrFile.
int ReportUsageError(const std::vector<std::string>& Arguments, const std::string& Message, std::ostream& Out,
                     std::ostream& Err);

}  // namespace varnolink
