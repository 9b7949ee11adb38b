// SPDX-License-Identifier: MIT
// The line the window talks to its module on, and where it is kept between
// runs.
#pragma once

#include <optional>
#include <string>

#include "cport/comport.h"
#include "main/engine/rs485_choice.h"

namespace varnolink {

// The line speed in baud (one of the module's eight rates) and the kernel's
// RS-485 mode (none: off). The default is the module's own line: 9600 baud,
// RS-485 mode off.
struct TLineChoice {
    int Baud = 9600;
    std::optional<TRs485Choice> Rs485;
    bool operator==(const TLineChoice&) const = default;
};

// True for the module's eight rates, 1200 to 115200.
bool IsModuleLineSpeed(int Baud);

// "9600 8N1", and ", RS-485" when the mode is on.
std::string LineChoiceText(const TLineChoice& Choice);

// The window keeps its line next to its backups:
// $XDG_STATE_HOME/varnolink/line.ini, or ~/.local/state/varnolink/line.ini.
std::string DefaultLineChoiceFile();

// The choice kept in the file at Path. A missing file gives the default
// line; a value that is missing or out of range gives its default.
TLineChoice LoadLineChoice(const std::string& Path);

// Keeps Choice in the file at Path, making its folder when missing. Raises
// cport::EIniFileException or std::filesystem::filesystem_error.
void SaveLineChoice(const std::string& Path, const TLineChoice& Choice);

// The module's line settings (module_line_settings.h) with Choice's RS-485
// mode, then Choice's speed. An open port takes them at once; a device
// without the RS-485 mode refuses it with cport::EComPort.
void ApplyLineChoice(cport::TComPort& Port, const TLineChoice& Choice);

}  // namespace varnolink
