// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace varnolink::sim {

// Number of I/O ports of the module: P0, P1, P2, P4 and P5 (there is no P3).
inline constexpr int kPortCount = 5;

// Command codes the module knows.
inline constexpr int kCodeIdentity = 0;
inline constexpr int kCodeStatus = 1;
inline constexpr int kCodeRemoteId = 2;
inline constexpr int kCodeBaudIndex = 3;
inline constexpr int kCodeFirstDirection = 4;   // P0 direction; 4..8 = P0, P1, P2, P4, P5
inline constexpr int kCodeFirstDefault = 9;     // P0 power-on default; 9..13 = P0, P1, P2, P4, P5
inline constexpr int kCodeLastPort = 13;
inline constexpr int kCodeSaveToDefault = 99;

inline constexpr std::size_t kBiosNameLength = 13;
inline constexpr std::size_t kBiosVersionLength = 5;

// Everything the simulated module remembers. The defaults are the module's
// factory settings plus a ready status and the stock identity texts.
struct ModuleState {
    // Status byte answered to code 01: 0x00 = ready, 0x01 = error; any other
    // value is sent as it is (two hex digits).
    std::uint8_t status = 0x00;
    // Remote ID code (code 02), answered as two upper-case hex digits.
    std::uint8_t remoteId = 0x01;
    // Remote baud-rate index 0..7 (code 03), answered as "0" + the digit.
    int baudIndex = 3;
    // Pin directions of P0, P1, P2, P4, P5 (codes 04..08); bit = 1: input.
    std::array<std::uint8_t, kPortCount> directions{0x00, 0x00, 0xF0, 0xFF, 0xFF};
    // Power-on output levels of P0, P1, P2, P4, P5 (codes 09..13).
    std::array<std::uint8_t, kPortCount> defaults{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    // Identity texts (code 00): exactly 13 and exactly 5 printable characters.
    std::string biosName = "VARNOLINK I/O";
    std::string biosVersion = "1.00a";

    // The state of a module fresh from the factory (the same as ModuleState{}).
    static ModuleState Factory() { return ModuleState{}; }

    // Puts ID, baud index, directions and defaults back to their factory
    // values, as the code 99 write does. Status and identity stay as they are.
    void RestoreFactorySettings();

    // The byte held for a port code 04..13. Throws std::out_of_range otherwise.
    std::uint8_t& PortByte(int code);
    std::uint8_t PortByte(int code) const;

    // Throws std::invalid_argument naming the first field that the module
    // could not hold: a baud index outside 0..7, a name or version of the
    // wrong length, or one with a character that cannot travel in a reply
    // line (control characters, "*", DEL and above).
    void Validate() const;

    bool operator==(const ModuleState&) const = default;
};

}  // namespace varnolink::sim
