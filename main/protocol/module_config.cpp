// SPDX-License-Identifier: MIT
// The configuration value and its partial form: fields by grid and row,
// field names and values, the fields two configurations differ in.
#include "main/protocol/module_config.h"

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

constexpr int FieldRemoteId = 0;
constexpr int FieldBaud = 1;
constexpr int FirstPortField = 2;

struct TPortField {
    TPortGrid Grid;
    int Row;
};

constexpr TPortField PortFieldOf(int Field)
{
    const int Index = Field - FirstPortField;
    return {Index < PortRowCount ? TPortGrid::Direction : TPortGrid::Default, Index % PortRowCount};
}

std::size_t At(int Row)
{
    return static_cast<std::size_t>(Row);
}

// A field's value as a number, for comparing values rather than their texts.
int FieldNumber(const TModuleConfig& Config, int Field)
{
    if (Field == FieldRemoteId)
        return Config.RemoteId;
    if (Field == FieldBaud)
        return Config.BaudIndex;
    const TPortField Port = PortFieldOf(Field);
    return Config.PortByte(Port.Grid, Port.Row);
}

}  // namespace

uint8_t& TModuleConfig::PortByte(TPortGrid Grid, int Row)
{
    return (Grid == TPortGrid::Direction ? Direction : PowerOnDefault).at(At(Row));
}

uint8_t TModuleConfig::PortByte(TPortGrid Grid, int Row) const
{
    return (Grid == TPortGrid::Direction ? Direction : PowerOnDefault).at(At(Row));
}

std::optional<uint8_t>& TPartialModuleConfig::PortByte(TPortGrid Grid, int Row)
{
    return (Grid == TPortGrid::Direction ? Direction : PowerOnDefault).at(At(Row));
}

const std::optional<uint8_t>& TPartialModuleConfig::PortByte(TPortGrid Grid, int Row) const
{
    return (Grid == TPortGrid::Direction ? Direction : PowerOnDefault).at(At(Row));
}

std::string_view PortGridName(TPortGrid Grid)
{
    return Grid == TPortGrid::Direction ? "direction" : "power_on_default";
}

std::string PortRowName(int Row)
{
    return "P" + std::to_string(PortDigits.at(At(Row)));
}

std::string ModuleConfigFieldName(int Field)
{
    if (Field == FieldRemoteId)
        return "remote_id";
    if (Field == FieldBaud)
        return "baud";
    const TPortField Port = PortFieldOf(Field);
    return std::string(PortGridName(Port.Grid)) + "." + PortRowName(Port.Row);
}

std::optional<int> ModuleConfigFieldOf(std::string_view Name)
{
    for (int Field = 0; Field < ModuleConfigFieldCount; ++Field)
        if (ModuleConfigFieldName(Field) == Name)
            return Field;
    return std::nullopt;
}

std::string ModuleConfigFieldValue(const TModuleConfig& Config, int Field)
{
    if (Field == FieldRemoteId)
        return HexByteToStr2(Config.RemoteId);
    if (Field == FieldBaud) {
        if (Config.BaudIndex >= 0 && Config.BaudIndex < BaudRateEntryCount)
            return std::string(BaudRateEntries[At(Config.BaudIndex)]);
        return "index " + std::to_string(Config.BaudIndex);
    }
    const TPortField Port = PortFieldOf(Field);
    return HexByteToStr2(Config.PortByte(Port.Grid, Port.Row));
}

std::vector<std::string> DifferingFields(const TModuleConfig& Expected, const TModuleConfig& Actual)
{
    std::vector<std::string> Names;
    for (int Field = 0; Field < ModuleConfigFieldCount; ++Field)
        if (FieldNumber(Expected, Field) != FieldNumber(Actual, Field))
            Names.push_back(ModuleConfigFieldName(Field));
    return Names;
}

std::vector<TFieldDifference> ConfigDifferences(const TModuleConfig& Wanted, const TModuleConfig& Held)
{
    std::vector<TFieldDifference> List;
    for (int Field = 0; Field < ModuleConfigFieldCount; ++Field)
        if (FieldNumber(Wanted, Field) != FieldNumber(Held, Field))
            List.push_back({ModuleConfigFieldName(Field), ModuleConfigFieldValue(Wanted, Field),
                            ModuleConfigFieldValue(Held, Field)});
    return List;
}

std::vector<std::string> TPartialModuleConfig::MissingFields() const
{
    std::vector<std::string> Names;
    for (int Field = 0; Field < ModuleConfigFieldCount; ++Field) {
        bool Present = false;
        if (Field == FieldRemoteId)
            Present = RemoteId.has_value();
        else if (Field == FieldBaud)
            Present = BaudIndex.has_value();
        else
            Present = PortByte(PortFieldOf(Field).Grid, PortFieldOf(Field).Row).has_value();
        if (!Present)
            Names.push_back(ModuleConfigFieldName(Field));
    }
    return Names;
}

TModuleConfig TPartialModuleConfig::Over(const TModuleConfig& Base) const
{
    TModuleConfig Result = Base;
    Result.RemoteId = RemoteId.value_or(Base.RemoteId);
    Result.BaudIndex = BaudIndex.value_or(Base.BaudIndex);
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row)
            Result.PortByte(Grid, Row) = PortByte(Grid, Row).value_or(Base.PortByte(Grid, Row));
    return Result;
}

void TPartialModuleConfig::Forget(int Field)
{
    if (Field == FieldRemoteId)
        RemoteId.reset();
    else if (Field == FieldBaud)
        BaudIndex.reset();
    else
        PortByte(PortFieldOf(Field).Grid, PortFieldOf(Field).Row).reset();
}

TPartialModuleConfig Complete(const TModuleConfig& Config)
{
    TPartialModuleConfig Partial;
    Partial.RemoteId = Config.RemoteId;
    Partial.BaudIndex = Config.BaudIndex;
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default})
        for (int Row = 0; Row < PortRowCount; ++Row)
            Partial.PortByte(Grid, Row) = Config.PortByte(Grid, Row);
    return Partial;
}

}  // namespace varnolink
