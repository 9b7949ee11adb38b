// SPDX-License-Identifier: MIT
// Advice in plain words for a port that failed.
#pragma once

#include <string>

namespace varnolink {

class TModuleConnection;
struct TCliArguments;

// What is wrong with a port that failed, in plain words with what to do
// about it, to lead the serial component's own message: the group of a
// device that refused us and whether the user is in it, the program that
// holds a busy port, a device that is not there, and for a network port an
// unknown host, a refused connection or a time-out. Empty when there is
// nothing better to say than the component's message.
std::string PortAdvice(const std::string& PortName, int SystemError, const std::string& ComponentMessage);

// Why this user cannot open Device, and what to do: the device's group, and
// whether the user is in it in the account only (log out and in again) or
// not at all. Empty when the device is not there.
std::string PermissionAdvice(const std::string& Device);

// EModulePort for the system console, which no command opens: no module is
// there, and settings made to it would disturb the console.
void RefuseSystemConsole(const std::string& PortName);

// Opens Arguments.Port for a command on one module, with the RS-485 mode and
// the line speed the command line asks for; the system console is refused.
void OpenModulePort(TModuleConnection& Connection, const TCliArguments& Arguments);

}  // namespace varnolink
