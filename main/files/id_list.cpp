// SPDX-License-Identifier: MIT
// Parses the operator's list of Remote IDs and ranges.
#include "main/files/id_list.h"

#include <array>
#include <string>

#include "main/protocol/hex.h"

namespace varnolink {

namespace {

std::string_view Trimmed(std::string_view Text)
{
    const auto First = Text.find_first_not_of(" \t");
    if (First == std::string_view::npos)
        return {};
    const auto Last = Text.find_last_not_of(" \t");
    return Text.substr(First, Last - First + 1);
}

bool IsHexDigit(char C)
{
    return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F') || (C >= 'a' && C <= 'f');
}

uint8_t ParseID(std::string_view Text, std::string_view Item)
{
    const std::string_view ID = Trimmed(Text);
    if (ID.empty() || ID.size() > 2 || !IsHexDigit(ID.front()) || !IsHexDigit(ID.back()))
        throw EIDList("\"" + std::string(Item) + "\" is not an ID of two hexadecimal digits or a range of them");
    // One digit stands for 0 and that digit: "F" is 0F.
    return ID.size() == 1 ? HexStr2ToByte(std::string("0") + ID.front()) : HexStr2ToByte(ID);
}

}  // namespace

std::vector<uint8_t> ParseIDList(std::string_view Text)
{
    std::vector<uint8_t> IDs;
    std::array<bool, 256> Given{};
    if (Trimmed(Text).empty())
        throw EIDList("the list of IDs is empty");
    while (true) {
        const auto Comma = Text.find(',');
        const std::string_view Item = Trimmed(Text.substr(0, Comma));
        if (Item.empty())
            throw EIDList("an item of the list of IDs is empty");
        const auto Dash = Item.find('-');
        const uint8_t First = ParseID(Item.substr(0, Dash), Item);
        const uint8_t Last = Dash == std::string_view::npos ? First : ParseID(Item.substr(Dash + 1), Item);
        if (Last < First)
            throw EIDList("the range \"" + std::string(Item) + "\" runs backwards");
        for (int ID = First; ID <= Last; ++ID) {
            if (Given[static_cast<std::size_t>(ID)])
                throw EIDList("ID " + HexByteToStr2(static_cast<uint8_t>(ID)) + " is in the list twice");
            Given[static_cast<std::size_t>(ID)] = true;
            IDs.push_back(static_cast<uint8_t>(ID));
        }
        if (Comma == std::string_view::npos)
            return IDs;
        Text.remove_prefix(Comma + 1);
    }
}

}  // namespace varnolink
