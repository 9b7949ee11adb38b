// SPDX-License-Identifier: MIT
#include "main/ports/failure_reason.h"

#include <cerrno>
#include <cstring>

#include "main/ports/port_holder.h"

namespace varnolink {

bool MeansDeviceGone(int SystemError)
{
    return SystemError == EIO || SystemError == ENXIO || SystemError == ENODEV || SystemError == ENOENT;
}

std::string FailureReason(int SystemError, const std::string& DevicePath)
{
    if (SystemError <= 0)
        return {};
    if (MeansDeviceGone(SystemError))
        return "The device is gone (unplugged?).";
    if (SystemError == EBUSY || SystemError == EWOULDBLOCK) {
        std::string Text = "The port is " + HolderText(DevicePath.empty() ? std::nullopt : FindPortHolder(DevicePath));
        return Text + ".";
    }
    std::string Text = std::strerror(SystemError);
    return "The system says: " + Text + ".";
}

}  // namespace varnolink
