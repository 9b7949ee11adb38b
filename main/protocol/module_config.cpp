// SPDX-License-Identifier: MIT
// The configuration value and its partial form: fields by grid and row,
// field names and values, the fields two configurations differ in.
#include "main/protocol/module_config.h"

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

using TKind = TConfigField::TKind;

std::size_t At(int Row)
{
    return static_cast<std::size_t>(Row);
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

std::string ModuleConfigFieldName(TConfigField Field)
{
    switch (Field.Kind) {
    case TKind::RemoteId:
        return "remote_id";
    case TKind::Baud:
        return "baud";
    case TKind::Direction:
    case TKind::PowerOnDefault:
        break;
    }
    return std::string(PortGridName(PortGridOf(Field))) + "." + PortRowName(Field.Row);
}

std::vector<std::string> ModuleConfigFieldNames(const std::vector<TConfigField>& Fields)
{
    std::vector<std::string> Names;
    Names.reserve(Fields.size());
    for (const TConfigField Field : Fields)
        Names.push_back(ModuleConfigFieldName(Field));
    return Names;
}

std::optional<TConfigField> ModuleConfigFieldOf(std::string_view Name)
{
    for (const TConfigField Field : ModuleConfigFields)
        if (ModuleConfigFieldName(Field) == Name)
            return Field;
    return std::nullopt;
}

int ModuleConfigFieldNumber(const TModuleConfig& Config, TConfigField Field)
{
    switch (Field.Kind) {
    case TKind::RemoteId:
        return Config.RemoteId;
    case TKind::Baud:
        return Config.BaudIndex;
    case TKind::Direction:
    case TKind::PowerOnDefault:
        break;
    }
    return Config.PortByte(PortGridOf(Field), Field.Row);
}

std::string ModuleConfigFieldValue(TConfigField Field, int Value)
{
    if (Field.Kind == TKind::Baud) {
        if (const std::optional<int> Rate = BaudRateOfIndex(Value))
            return std::to_string(*Rate);
        return "index " + std::to_string(Value);
    }
    return HexByteToStr2(static_cast<uint8_t>(Value));
}

std::string ModuleConfigFieldValue(const TModuleConfig& Config, TConfigField Field)
{
    return ModuleConfigFieldValue(Field, ModuleConfigFieldNumber(Config, Field));
}

std::vector<TFieldDifference> ConfigDifferences(const TModuleConfig& Wanted, const TModuleConfig& Held)
{
    std::vector<TFieldDifference> List;
    for (const TConfigField Field : ModuleConfigFields) {
        const int WantedValue = ModuleConfigFieldNumber(Wanted, Field);
        const int HeldValue = ModuleConfigFieldNumber(Held, Field);
        if (WantedValue != HeldValue)
            List.push_back({Field, WantedValue, HeldValue});
    }
    return List;
}

std::vector<TConfigField> DifferingFields(const TModuleConfig& Wanted, const TModuleConfig& Held)
{
    std::vector<TConfigField> Fields;
    for (const TFieldDifference& Difference : ConfigDifferences(Wanted, Held))
        Fields.push_back(Difference.Field);
    return Fields;
}

std::vector<TConfigField> TPartialModuleConfig::MissingFields() const
{
    std::vector<TConfigField> Missing;
    for (const TConfigField Field : ModuleConfigFields) {
        bool Present = false;
        if (Field.Kind == TKind::RemoteId)
            Present = RemoteId.has_value();
        else if (Field.Kind == TKind::Baud)
            Present = BaudIndex.has_value();
        else
            Present = PortByte(PortGridOf(Field), Field.Row).has_value();
        if (!Present)
            Missing.push_back(Field);
    }
    return Missing;
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

void TPartialModuleConfig::Forget(TConfigField Field)
{
    if (Field.Kind == TKind::RemoteId)
        RemoteId.reset();
    else if (Field.Kind == TKind::Baud)
        BaudIndex.reset();
    else
        PortByte(PortGridOf(Field), Field.Row).reset();
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
