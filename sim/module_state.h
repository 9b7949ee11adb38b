// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace varnolink::sim {

// Number of I/O ports of the module: P0, P1, P2, P4 and P5 (there is no P3).
inline constexpr int PortCount = 5;

// Command codes the module knows.
inline constexpr int CodeIdentity = 0;
inline constexpr int CodeStatus = 1;
inline constexpr int CodeRemoteId = 2;
inline constexpr int CodeBaudIndex = 3;
inline constexpr int CodeFirstDirection = 4;  // P0 direction; 4..8 = P0, P1, P2, P4, P5
inline constexpr int CodeFirstDefault = 9;    // P0 power-on default; 9..13 = P0, P1, P2, P4, P5
inline constexpr int CodeLastPort = 13;
inline constexpr int CodeSaveToDefault = 99;

inline constexpr std::size_t BiosNameLength = 13;
inline constexpr std::size_t BiosVersionLength = 5;

// Everything the simulated module remembers. The defaults are the module's
// factory settings plus a ready status and the stock identity texts.
struct TModuleState {
    // Status byte answered to code 01: 0x00 = ready, 0x01 = error; any other
    // value is sent as it is (two hex digits).
    std::uint8_t Status = 0x00;
    // Remote ID code (code 02), answered as two upper-case hex digits.
    std::uint8_t RemoteId = 0x01;
    // Remote baud-rate index 0..7 (code 03), answered as "0" + the digit.
    int BaudIndex = 3;
    // Pin directions of P0, P1, P2, P4, P5 (codes 04..08); bit = 1: input.
    std::array<std::uint8_t, PortCount> Directions{0x00, 0x00, 0xF0, 0xFF, 0xFF};
    // Power-on output levels of P0, P1, P2, P4, P5 (codes 09..13).
    std::array<std::uint8_t, PortCount> Defaults{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    // Identity texts (code 00): exactly 13 and exactly 5 printable characters.
    std::string BiosName = "VARNOLINK I/O";
    std::string BiosVersion = "1.00a";

    // The state of a module fresh from the factory (the same as TModuleState{}).
    static TModuleState Factory() { return TModuleState{}; }

    // Puts ID, baud index, directions and defaults back to their factory
    // values, as the code 99 write does. Status and identity stay as they are.
    void RestoreFactorySettings();

    // The byte held for a port code 04..13. Throws std::out_of_range otherwise.
    std::uint8_t& PortByte(int Code);
    std::uint8_t PortByte(int Code) const;

    // Throws std::invalid_argument naming the first field that the module
    // could not hold: a baud index outside 0..7, a name or version of the
    // wrong length, or one with a character that cannot travel in a reply
    // line (control characters, "*", DEL and above).
    void Validate() const;

    bool operator==(const TModuleState&) const = default;
};

}  // namespace varnolink::sim
