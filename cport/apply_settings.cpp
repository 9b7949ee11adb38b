// SPDX-License-Identifier: MIT
// Handing the settings groups to an open device.
#include "cport/device_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

namespace cport {

// The whole line record at once; a record the device refuses, or a rate it
// does not take, leaves the previous configuration in place (code 7).
void TCustomComPort::ApplyLineSettings() {
    if (!connected_ || Loading() || !device_) return;
    TDeviceState& device = *device_;
    TReceiveOptions receive;
    if (int error = device.device->ApplyLine(*this, receive)) throw EComPort(CError_SetStateFailed, error);
    device.rx.SetOptions(receive);
}

// The transfer layer applies the time-outs with poll(); here they are only
// checked and handed over. The one combination the classic driver refuses
// (all three read values all ones) is refused the same way.
void TCustomComPort::ApplyTimeoutSettings() {
    if (!connected_ || Loading() || !device_) return;
    const auto ri = static_cast<uint32_t>(timeouts_.ReadInterval());
    const auto rm = static_cast<uint32_t>(timeouts_.ReadTotalMultiplier());
    const auto rc = static_cast<uint32_t>(timeouts_.ReadTotalConstant());
    if (ri == UINT32_MAX && rm == UINT32_MAX && rc == UINT32_MAX)
        throw EComPort(CError_TimeoutsFailed, EINVAL);
    TTransferTimeouts& t = device_->timeouts;
    t.read_interval = ri;
    t.read_multiplier = rm;
    t.read_constant = rc;
    t.write_multiplier = static_cast<uint32_t>(timeouts_.WriteTotalMultiplier());
    t.write_constant = static_cast<uint32_t>(timeouts_.WriteTotalConstant());
}

// The kernel's queues have fixed sizes. InputSize bounds the port's own
// receive queue (never below its minimum) and sets the 80 % mark that the
// event thread reads when it starts; a negative size is refused.
void TCustomComPort::ApplyBufferSizes() {
    if (!connected_ || Loading() || !device_) return;
    if (buffer_.InputSize() < 0 || buffer_.OutputSize() < 0)
        throw EComPort(CError_SetupComFailed, EINVAL);
    const auto input = static_cast<size_t>(buffer_.InputSize());
    try {
        device_->rx.SetLimit(std::max(input, TReceiveQueue::kMinimumLimit));
    } catch (const std::bad_alloc&) {
        throw EComPort(CError_SetupComFailed, ENOMEM);
    }
}

}  // namespace cport
