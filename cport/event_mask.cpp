// SPDX-License-Identifier: MIT
#include "cport/comport.h"

#include <array>

namespace cport {

namespace {

// Flag of each event in the classic serial event mask, by event ordinal.
constexpr std::array<uint32_t, 10> EventFlags = {
    0x0001,  // evRxChar
    0x0004,  // evTxEmpty
    0x0002,  // evRxFlag
    0x0100,  // evRing
    0x0040,  // evBreak
    0x0008,  // evCTS
    0x0010,  // evDSR
    0x0080,  // evError
    0x0020,  // evRLSD
    0x0400,  // evRx80Full
};

}  // namespace

uint32_t EventsToMask(TComEvents Events)
{
    uint32_t Mask = 0;
    for (size_t I = 0; I < EventFlags.size(); ++I)
        if (Events.Contains(static_cast<TComEvent>(I)))
            Mask |= EventFlags[I];
    return Mask;
}

TComEvents MaskToEvents(uint32_t Mask)
{
    TComEvents Events;
    for (size_t I = 0; I < EventFlags.size(); ++I)
        if ((Mask & EventFlags[I]) != 0)
            Events.Include(static_cast<TComEvent>(I));
    return Events;
}

}  // namespace cport
