// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
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

// One field of the configuration, the same value from the protocol to every
// front end: the Remote ID, the baud rate, or a port's direction or
// power-on default byte (Row: the port's place in P0, P1, P2, P4, P5).
struct TConfigField {
    enum class TKind : uint8_t { RemoteId, Baud, Direction, PowerOnDefault };
    TKind Kind = TKind::RemoteId;
    int Row = 0;

    bool operator==(const TConfigField&) const = default;
};

inline constexpr TConfigField RemoteIdField{TConfigField::TKind::RemoteId, 0};
inline constexpr TConfigField BaudField{TConfigField::TKind::Baud, 0};
constexpr TConfigField PortField(TPortGrid Grid, int Row)
{
    return {Grid == TPortGrid::Direction ? TConfigField::TKind::Direction : TConfigField::TKind::PowerOnDefault, Row};
}

// The grid of a port's field (Direction or PowerOnDefault).
constexpr TPortGrid PortGridOf(TConfigField Field)
{
    return Field.Kind == TConfigField::TKind::Direction ? TPortGrid::Direction : TPortGrid::Default;
}

// Every field, in the order files, messages and lists give them: the Remote
// ID, the baud rate, the directions P0 ... P5, the power-on defaults P0 ... P5.
inline constexpr int ModuleConfigFieldCount = 2 + 2 * PortRowCount;
inline constexpr std::array<TConfigField, ModuleConfigFieldCount> ModuleConfigFields = [] {
    std::array<TConfigField, ModuleConfigFieldCount> Fields{RemoteIdField, BaudField};
    for (int Row = 0; Row < PortRowCount; ++Row) {
        Fields[static_cast<std::size_t>(2 + Row)] = PortField(TPortGrid::Direction, Row);
        Fields[static_cast<std::size_t>(2 + PortRowCount + Row)] = PortField(TPortGrid::Default, Row);
    }
    return Fields;
}();

// A field's one text form, as files, messages and the command line spell
// it: "remote_id", "baud", "direction.P0", "power_on_default.P5".
std::string ModuleConfigFieldName(TConfigField Field);
std::vector<std::string> ModuleConfigFieldNames(const std::vector<TConfigField>& Fields);
std::optional<TConfigField> ModuleConfigFieldOf(std::string_view Name);

// A field's value as the configuration holds it: the Remote ID and the
// port bytes as bytes, the baud rate as its index.
int ModuleConfigFieldNumber(const TModuleConfig& Config, TConfigField Field);
// A field's value for messages: "A7", "57600", "0F".
std::string ModuleConfigFieldValue(TConfigField Field, int Value);
std::string ModuleConfigFieldValue(const TModuleConfig& Config, TConfigField Field);

// A field whose value differs, with both values (as ModuleConfigFieldNumber
// gives them); their texts are made where they are shown.
struct TFieldDifference {
    TConfigField Field;
    int Wanted = 0;
    int Held = 0;

    std::string WantedText() const { return ModuleConfigFieldValue(Field, Wanted); }
    std::string HeldText() const { return ModuleConfigFieldValue(Field, Held); }
};
// Every field Held differs from Wanted in, in field order: the one
// comparison behind every front end's list of differences.
std::vector<TFieldDifference> ConfigDifferences(const TModuleConfig& Wanted, const TModuleConfig& Held);
// The same, the fields only.
std::vector<TConfigField> DifferingFields(const TModuleConfig& Wanted, const TModuleConfig& Held);

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

    // The fields that are missing, in field order.
    std::vector<TConfigField> MissingFields() const;
    // The fields it has, taken over the ones of Base.
    TModuleConfig Over(const TModuleConfig& Base) const;
    // Drops one field.
    void Forget(TConfigField Field);

    bool operator==(const TPartialModuleConfig&) const = default;
};

TPartialModuleConfig Complete(const TModuleConfig& Config);

}  // namespace varnolink
