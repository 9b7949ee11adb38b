// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/protocol/port_table.h"

namespace varnolink {

// Everything the module stores, as one value: the Remote ID, the index of
// its own baud rate (0..7, see baud_table.h) and, for each port in the order
// P0, P1, P2, P4, P5, its direction byte (bit 1 = input) and the level its
// outputs take at power-on.
struct TModuleConfig {
    using TPortBytes = std::array<uint8_t, PortRowCount>;

    uint8_t RemoteId = 0;
    int BaudIndex = 0;
    TPortBytes Direction{};
    TPortBytes PowerOnDefault{};

    uint8_t& PortByte(TPortGrid Grid, int Row);
    uint8_t PortByte(TPortGrid Grid, int Row) const;

    bool operator==(const TModuleConfig&) const = default;
};

// What the module says about itself; informational only.
struct TModuleIdentity {
    std::string BiosName;
    std::string BiosVersion;
    std::string StatusText;  // "Ready", "Error", or empty when the status data meant neither

    bool operator==(const TModuleIdentity&) const = default;
};

// The values the module is set back to: Remote ID 01, 9600 baud, P0 and P1
// outputs, P2 bits 4 to 7 inputs, P4 and P5 inputs, every output high at
// power-on.
inline constexpr TModuleConfig FactoryModuleConfig{
    0x01, 3, {0x00, 0x00, 0xF0, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};

// The names of the configuration's fields as files, messages and the command
// line spell them: "remote_id", "baud", "direction.P0" ... "direction.P5",
// "power_on_default.P0" ... "power_on_default.P5", in that order.
inline constexpr int ModuleConfigFieldCount = 2 + 2 * PortRowCount;
std::string ModuleConfigFieldName(int Field);
std::optional<int> ModuleConfigFieldOf(std::string_view Name);

// Field names and values for messages: "A7", "57600", "0F".
std::string ModuleConfigFieldValue(const TModuleConfig& Config, int Field);

// The fields whose values differ, by name, in field order.
std::vector<std::string> DifferingFields(const TModuleConfig& Expected, const TModuleConfig& Actual);

// A field whose value differs, with both values as messages show them.
struct TFieldDifference {
    std::string Field;  // as in the configuration file: "remote_id", "direction.P0"
    std::string Wanted;
    std::string Held;
};
// Every field Held differs from Wanted in, in field order: the one
// comparison behind every front end's list of differences.
std::vector<TFieldDifference> ConfigDifferences(const TModuleConfig& Wanted, const TModuleConfig& Held);

// Section and key names of the port grids ("direction", "power_on_default")
// and of a port row ("P0" ... "P5").
std::string_view PortGridName(TPortGrid Grid);
std::string PortRowName(int Row);

// A configuration whose fields may be missing (a file that names only some).
struct TPartialModuleConfig {
    std::optional<uint8_t> RemoteId;
    std::optional<int> BaudIndex;
    std::array<std::optional<uint8_t>, PortRowCount> Direction{};
    std::array<std::optional<uint8_t>, PortRowCount> PowerOnDefault{};

    std::optional<uint8_t>& PortByte(TPortGrid Grid, int Row);
    const std::optional<uint8_t>& PortByte(TPortGrid Grid, int Row) const;

    // Field names (as above) of the fields that are missing.
    std::vector<std::string> MissingFields() const;
    // The fields it has, taken over the ones of Base.
    TModuleConfig Over(const TModuleConfig& Base) const;
    // Drops one field (by its number, see ModuleConfigFieldName).
    void Forget(int Field);

    bool operator==(const TPartialModuleConfig&) const = default;
};

TPartialModuleConfig Complete(const TModuleConfig& Config);

}  // namespace varnolink
