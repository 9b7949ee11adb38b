// SPDX-License-Identifier: MIT
// Parsing the RS-485 choice of a session.
#include "main/engine/rs485_choice.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace varnolink {

namespace {

[[noreturn]] void Refuse(std::string_view Item, const char* Why)
{
    throw std::invalid_argument("RS-485 setting '" + std::string(Item) + "': " + Why);
}

// Decimal digits only: no sign, no blanks, no other base.
int32_t Milliseconds(std::string_view Item, std::string_view Digits)
{
    const auto IsDigit = [](char C) { return C >= '0' && C <= '9'; };
    if (Digits.empty() || !std::all_of(Digits.begin(), Digits.end(), IsDigit))
        Refuse(Item, "not a number of milliseconds");
    int32_t Value = 0;
    if (std::from_chars(Digits.data(), Digits.data() + Digits.size(), Value).ec != std::errc())
        Refuse(Item, "more than 2147483647 ms");
    return Value;
}

// The bits of the two RTS items in the set of items seen (see TakeItem).
constexpr unsigned RtsItems = 1u | 2u;

// The item's bit (its place in the list below) in the set of items seen,
// after its value has gone into Choice.
unsigned TakeItem(std::string_view Item, TRs485Choice& Choice)
{
    const size_t Equals = Item.find('=');
    const std::string_view Name = Item.substr(0, Equals);
    const bool HasValue = Equals != std::string_view::npos;
    const struct {
        std::string_view Name;
        bool* Flag;
        int32_t* Delay;
    } Items[] = {{"rts-on-send", &Choice.RtsOnSend, nullptr},
                 {"rts-after-send", &Choice.RtsAfterSend, nullptr},
                 {"rx-during-tx", &Choice.RxDuringTx, nullptr},
                 {"delay-before", nullptr, &Choice.DelayBeforeSendMs},
                 {"delay-after", nullptr, &Choice.DelayAfterSendMs}};
    for (unsigned Place = 0; Place < std::size(Items); ++Place) {
        const auto& Known = Items[Place];
        if (Known.Name != Name)
            continue;
        if (Known.Flag != nullptr) {
            if (HasValue)
                Refuse(Item, "takes no value");
            *Known.Flag = true;
        } else {
            if (!HasValue)
                Refuse(Item, "needs =MS, a number of milliseconds");
            *Known.Delay = Milliseconds(Item, Item.substr(Equals + 1));
        }
        return 1u << Place;
    }
    if (Item.empty())
        Refuse(Item, "empty item (a comma too many)");
    Refuse(Item, "unknown item (rts-on-send, rts-after-send, delay-before=MS, delay-after=MS, rx-during-tx)");
}

}  // namespace

TRs485Choice ParseRs485Choice(std::string_view Text)
{
    if (Text.empty())
        throw std::invalid_argument("RS-485 setting is empty: give rts-on-send or rts-after-send");
    TRs485Choice Choice;
    Choice.RtsOnSend = false;  // only as named
    unsigned Seen = 0;
    for (;;) {
        const size_t Comma = Text.find(',');
        const std::string_view Item = Text.substr(0, Comma);
        const unsigned Bit = TakeItem(Item, Choice);
        if (Seen & Bit)
            Refuse(Item, "given twice");
        Seen |= Bit;
        if (Comma == std::string_view::npos)
            break;
        Text.remove_prefix(Comma + 1);
    }
    if ((Seen & RtsItems) == 0)
        throw std::invalid_argument("RS-485 setting names no RTS level: give rts-on-send or rts-after-send");
    return Choice;
}

}  // namespace varnolink
