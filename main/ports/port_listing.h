// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <string>
#include <vector>

#include "main/ports/udev_source.h"

namespace varnolink {

// One candidate of the port list as the operator sees it.
struct TPortListing {
    std::string DevicePath;   // "/dev/ttyUSB0"
    std::string Name;         // "ttyUSB0", the list's text
    std::string Description;  // "FTDI FT232R USB UART (A10K3Z4P)"
    bool Busy = false;        // held by another program: shown, not selectable
    std::string Holder;       // "in use by minicom, process 1234" when Busy
    std::string AdapterId;    // stays the same when the adapter comes back; empty if unknown
    bool Console = false;     // the system console: shown as busy, held by "system console", never opened
};

// What the list says about a device: the label given for it, else what the
// device manager knows (USB adapters by maker, product and serial number,
// built-in UARTs as "built-in serial port"), else "pseudo-terminal" for a
// /dev/pts device; empty when nothing is known.
std::string PortDescription(const std::string& DevicePath, const TUdevDevice* Device, const std::string& Label);

// The identity of an adapter across unplugging: its USB serial number (with
// vendor and product), else its first by-id link; empty when it has neither.
std::string AdapterIdentity(const TUdevDevice& Device);

// Probes the candidates in their order and describes each: the ones that can
// be opened, and the ones another program holds (Busy, with their holder).
// Absent devices, devices that refuse us and devices this process holds
// itself are left out. A system console is listed without being opened, as
// busy with the holder "system console".
std::vector<TPortListing> ListPorts(const std::vector<std::string>& Candidates, TUdevSource* Udev,
                                    const std::map<std::string, std::string>& Labels);

}  // namespace varnolink
