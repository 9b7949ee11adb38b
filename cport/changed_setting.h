// SPDX-License-Identifier: MIT
// Internal: the setter shape of the port's settings. A changed value is
// stored and handed to the port's apply operation for its group; an
// unchanged value does nothing at all.
#pragma once

namespace cport {

class TCustomComPort;

// Port is the port the setting belongs to (none: stored only); Apply is the
// port's apply operation for the setting's group.
template <typename T, typename TApply>
void StoreChanged(T& Field, const T& Value, TCustomComPort* Port, TApply Apply)
{
    if (Field == Value)
        return;
    Field = Value;
    if (Port != nullptr)
        (Port->*Apply)();
}

}  // namespace cport
