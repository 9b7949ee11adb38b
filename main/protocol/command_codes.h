// SPDX-License-Identifier: MIT
#pragma once

namespace varnolink {

// Command codes of the module's line protocol. Codes 4 to 13 are the port
// settings; port_table.h maps them to grid and row.
inline constexpr int CodeIdentity = 0;         // BIOS name and version (read only)
inline constexpr int CodeStatus = 1;           // module status (read only)
inline constexpr int CodeIDCode = 2;           // Remote ID code
inline constexpr int CodeBaudrate = 3;         // remote baud-rate index
inline constexpr int CodeFirstDirection = 4;   // P0 direction; P1, P2, P4, P5 follow
inline constexpr int CodeFirstDefault = 9;     // P0 power-on default; the others follow
inline constexpr int CodeLastPort = 13;        // P5 power-on default
inline constexpr int CodeSetupToDefault = 99;  // store the setup as default (write only)

}  // namespace varnolink
