// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace varnolink {

// A reason a person understands for a failed call on a serial device, from
// the system error number: "The device is gone (unplugged?).", who holds a
// busy port, or the system's own text for the number. Empty for no number.
std::string FailureReason(int SystemError, const std::string& DevicePath);

// True for the errors with which a device that has gone away answers.
bool MeansDeviceGone(int SystemError);

}  // namespace varnolink
