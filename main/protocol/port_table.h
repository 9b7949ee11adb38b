// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "main/protocol/command_codes.h"

namespace varnolink {

// The module's five I/O ports are always taken in the order P0, P1, P2, P4,
// P5 (there is no P3); "row" is the position in that order. Every port has a
// direction byte (bit 1 = input) and a power-on default byte, shown on two
// grids of the window.
enum class TPortGrid : uint8_t { Direction, Default };

inline constexpr int PortRowCount = 5;
inline constexpr int PortBitCount = 8;

// Row -> port digit used in names and labels (P0, P1, P2, P4, P5).
inline constexpr std::array<int, PortRowCount> PortDigits{0, 1, 2, 4, 5};

constexpr bool IsPortRow(int Row)
{
    return Row >= 0 && Row < PortRowCount;
}

// Row -> command code that reads or writes that port byte: 4..8 for the
// directions, 9..13 for the power-on defaults.
constexpr int PortCommandCode(TPortGrid Grid, int Row)
{
    return (Grid == TPortGrid::Direction ? CodeFirstDirection : CodeFirstDefault) + Row;
}

struct TPortSlot {
    TPortGrid Grid;
    int Row;
};

// Command code -> port byte it names; empty for codes that are no port setting.
constexpr std::optional<TPortSlot> PortSlotOfCode(int Code)
{
    if (Code >= CodeFirstDirection && Code < CodeFirstDefault)
        return TPortSlot{TPortGrid::Direction, Code - CodeFirstDirection};
    if (Code >= CodeFirstDefault && Code <= CodeLastPort)
        return TPortSlot{TPortGrid::Default, Code - CodeFirstDefault};
    return std::nullopt;
}

}  // namespace varnolink
