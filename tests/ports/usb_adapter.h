// SPDX-License-Identifier: MIT
#pragma once

// A USB-RS485 adapter as udev describes it, for the suites that feed the
// port list device descriptions.

#include <string>

#include "main/ports/udev_source.h"

using namespace varnolink;

namespace ports_test {

inline TUdevDevice UsbAdapter(const std::string& Serial, const std::string& DevNode = {})
{
    TUdevDevice Device;
    Device.DevNode = DevNode;
    Device.Bus = "usb";
    Device.Driver = "ftdi_sio";
    Device.VendorId = "0403";
    Device.ProductId = "6001";
    Device.Manufacturer = "FTDI";
    Device.Product = "FT232R USB UART";
    Device.Serial = Serial;
    return Device;
}

}  // namespace ports_test
