// SPDX-License-Identifier: MIT
// Finding the line speed a module answers at.
#include "main/engine/speed_search.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "main/protocol/baud_table.h"

namespace varnolink {

std::vector<int> SpeedSearchOrder()
{
    // 9600 is the module's own default; a changed module is more often
    // faster than slower.
    std::vector<int> Rates;
    for (const std::string_view Rate : BaudRateEntries)
        Rates.push_back(std::stoi(std::string(Rate)));
    const auto Default = std::find(Rates.begin(), Rates.end(), 9600);
    std::vector<int> Order(Default, Rates.end());
    Order.insert(Order.end(), std::make_reverse_iterator(Default), Rates.rend());
    return Order;
}

std::optional<int> SearchSpeeds(const std::function<TSpeedProbe(int Baud)>& TryAt)
{
    for (const int Baud : SpeedSearchOrder()) {
        const TSpeedProbe Outcome = TryAt(Baud);
        if (Outcome == TSpeedProbe::Answered)
            return Baud;
        if (Outcome == TSpeedProbe::Stop)
            break;
    }
    return std::nullopt;
}

std::optional<TSpeedFound> SearchLineSpeed(TModuleConnection& Connection, std::chrono::milliseconds Wait,
                                           const std::function<void(int Baud)>& Trying)
{
    std::optional<TSpeedFound> Found;
    SearchSpeeds([&](int Baud) {
        if (Trying)
            Trying(Baud);
        Connection.SetLineSpeed(Baud);
        if (const std::optional<TModuleIdentity> Identity = Connection.Probe(Wait)) {
            Found = TSpeedFound{Baud, *Identity};
            return TSpeedProbe::Answered;
        }
        return Connection.StopRequested() ? TSpeedProbe::Stop : TSpeedProbe::Silent;
    });
    return Found;
}

}  // namespace varnolink
