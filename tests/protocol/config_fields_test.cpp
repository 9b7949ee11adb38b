// SPDX-License-Identifier: MIT
// The configuration's fields as values: their one name each, the field each
// request code stands for, differences that carry numbers and show them as
// messages do, and the baud rates as numbers beside their texts.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "main/protocol/baud_table.h"
#include "main/protocol/module_config.h"
#include "main/protocol/transaction_chains.h"

using namespace varnolink;

namespace {

using Names = std::vector<std::string>;

TEST(ConfigFields, EachHasOneNameThatLeadsBackToIt)
{
    const Names All = ModuleConfigFieldNames({ModuleConfigFields.begin(), ModuleConfigFields.end()});
    EXPECT_EQ(All, (Names{"remote_id", "baud", "direction.P0", "direction.P1", "direction.P2", "direction.P4",
                          "direction.P5", "power_on_default.P0", "power_on_default.P1", "power_on_default.P2",
                          "power_on_default.P4", "power_on_default.P5"}));
    for (const TConfigField Field : ModuleConfigFields)
        EXPECT_EQ(ModuleConfigFieldOf(ModuleConfigFieldName(Field)), Field) << ModuleConfigFieldName(Field);
    EXPECT_FALSE(ModuleConfigFieldOf("direction.P3"));
    EXPECT_FALSE(ModuleConfigFieldOf("direction"));
}

TEST(ConfigFields, RequestCodesNameTheFieldTheyCarry)
{
    const struct {
        int Code;
        std::optional<std::string> Field;
    } Cases[] = {{CodeIdentity, std::nullopt}, {CodeStatus, std::nullopt},  {CodeIDCode, "remote_id"},
                 {CodeBaudrate, "baud"},       {4, "direction.P0"},         {8, "direction.P5"},
                 {9, "power_on_default.P0"},   {13, "power_on_default.P5"}, {CodeSetupToDefault, std::nullopt}};
    for (const auto& Case : Cases) {
        const std::optional<TConfigField> Field = ConfigFieldOfCode(Case.Code);
        EXPECT_EQ(Field ? std::optional(ModuleConfigFieldName(*Field)) : std::nullopt, Case.Field) << Case.Code;
    }
}

TEST(ConfigFields, DifferencesCarryNumbersAndShowThemAsMessagesDo)
{
    TModuleConfig Wanted = FactoryModuleConfig;
    Wanted.BaudIndex = 6;
    Wanted.Direction[3] = 0x0F;
    TModuleConfig Held = FactoryModuleConfig;
    Held.BaudIndex = 9;  // an index the module's rates do not have
    const std::vector<TFieldDifference> List = ConfigDifferences(Wanted, Held);
    ASSERT_EQ(List.size(), 2u);
    EXPECT_EQ(List[0].Field, BaudField);
    EXPECT_EQ(List[0].Wanted, 6);
    EXPECT_EQ(List[0].Held, 9);
    EXPECT_EQ(List[0].WantedText(), "57600");
    EXPECT_EQ(List[0].HeldText(), "index 9");
    EXPECT_EQ(ModuleConfigFieldName(List[1].Field), "direction.P4");
    EXPECT_EQ(List[1].WantedText(), "0F");
    EXPECT_EQ(List[1].HeldText(), "FF");
    EXPECT_EQ(DifferingFields(Wanted, Held), (std::vector<TConfigField>{List[0].Field, List[1].Field}));
    EXPECT_TRUE(ConfigDifferences(Held, Held).empty());
}

TEST(BaudRates, NumbersAndIndicesAgreeWithTheTexts)
{
    for (int Index = 0; Index < BaudRateEntryCount; ++Index) {
        const std::optional<int> Rate = BaudRateOfIndex(Index);
        ASSERT_TRUE(Rate) << Index;
        EXPECT_EQ(std::to_string(*Rate), BaudRateEntries[static_cast<std::size_t>(Index)]);
        EXPECT_EQ(BaudIndexOfRate(*Rate), Index);
    }
    EXPECT_FALSE(BaudRateOfIndex(-1));
    EXPECT_FALSE(BaudRateOfIndex(BaudRateEntryCount));
    EXPECT_FALSE(BaudIndexOfRate(9601));
}

}  // namespace
