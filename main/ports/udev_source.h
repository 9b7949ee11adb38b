// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace varnolink {

// What the device manager knows about a serial device. Everything here but
// DevNode may be empty: without a udev daemon only the sysfs attributes are
// there, and a pseudo-terminal has none at all.
struct TUdevDevice {
    std::string DevNode;                 // "/dev/ttyUSB0"
    std::string Bus;                     // subsystem of the hardware behind it: "usb", "platform", "pnp", "pci"
    std::string Driver;                  // "ftdi_sio", "cp210x", "serial8250", ...
    std::string VendorId;                // USB idVendor, "0403"
    std::string ProductId;               // USB idProduct, "6001"
    std::string Manufacturer;            // "FTDI"
    std::string Product;                 // "FT232R USB UART"
    std::string Serial;                  // "A10K3Z4P"
    std::vector<std::string> ByIdLinks;  // /dev/serial/by-id/... (udev database only)
};

enum class TUdevAction { Added, Removed, Changed };

struct TUdevEvent {
    TUdevAction Action = TUdevAction::Changed;
    TUdevDevice Device;
};

// The device manager as the port list needs it: a description of a device
// node, and a stream of serial devices coming and going. MonitorFd becomes
// readable when TakeEvents has something; -1 when there is no monitor.
class TUdevSource {
public:
    virtual ~TUdevSource() = default;
    virtual std::optional<TUdevDevice> Describe(const std::string& DevicePath) = 0;
    virtual int MonitorFd() const = 0;
    virtual std::vector<TUdevEvent> TakeEvents() = 0;
};

// The real one, on libudev. Never null: when libudev cannot be set up the
// source describes nothing and has no monitor.
std::unique_ptr<TUdevSource> MakeLibudevSource();

}  // namespace varnolink
