// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "main/engine/module_connection.h"

namespace varnolink {

// A module whose baud rate was changed answers at that rate only. The search
// asks for the identity at each of the module's eight rates in turn, 9600
// first, then upwards, then downwards, each with a short wait, and stops at
// the first that answers; the line is left at that rate (at the last one
// tried when none answered). Trying is told each rate before it is tried.
struct TSpeedFound {
    int Baud = 0;
    TModuleIdentity Identity;
};

std::optional<TSpeedFound> SearchLineSpeed(TModuleConnection& Connection, std::chrono::milliseconds Wait,
                                           const std::function<void(int Baud)>& Trying = {});

// The rates in the order the search tries them.
std::vector<int> SpeedSearchOrder();

// The search itself, over any way of asking: TryAt sets the line to a rate
// and asks there. The search ends at the first rate that answers, or when
// TryAt says to stop (a stop asked for, the line gone, a fault other than
// silence). Every front end searches through this one.
enum class TSpeedProbe { Answered, Silent, Stop };
std::optional<int> SearchSpeeds(const std::function<TSpeedProbe(int Baud)>& TryAt);

}  // namespace varnolink
