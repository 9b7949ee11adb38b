// SPDX-License-Identifier: MIT
#include "main/ports/port_listing.h"

#include <algorithm>

#include "main/ports/port_candidates.h"
#include "main/ports/port_holder.h"

namespace varnolink {

namespace {

void Append(std::string& Text, const std::string& Part, const char* Separator = " ")
{
    if (Part.empty())
        return;
    if (!Text.empty())
        Text += Separator;
    Text += Part;
}

bool IsBuiltIn(const TUdevDevice& Device)
{
    return Device.Bus == "platform" || Device.Bus == "pnp" || Device.Bus == "serial-base" ||
           Device.Driver == "serial8250" || Device.Driver == "serial";
}

std::string UsbDescription(const TUdevDevice& Device)
{
    std::string Text;
    // Makers often repeat their name at the start of the product string.
    if (Device.Product.rfind(Device.Manufacturer, 0) != 0)
        Append(Text, Device.Manufacturer);
    Append(Text, Device.Product);
    if (Text.empty()) {
        Text = "USB serial adapter";
        if (!Device.VendorId.empty())
            Append(Text, Device.VendorId + ":" + Device.ProductId);
        Append(Text, Device.Driver, ", driver ");
    }
    if (!Device.Serial.empty())
        Text += " (" + Device.Serial + ")";
    return Text;
}

}  // namespace

std::string PortDescription(const std::string& DevicePath, const TUdevDevice* Device, const std::string& Label)
{
    if (!Label.empty())
        return Label;
    if (Device != nullptr) {
        if (Device->Bus == "usb")
            return UsbDescription(*Device);
        if (IsBuiltIn(*Device))
            return "built-in serial port";
        if (!Device->Driver.empty())
            return "serial port, driver " + Device->Driver;
    }
    if (IsNetworkPortName(DevicePath))
        return DevicePath[0] == 's' || DevicePath[0] == 'S' ? "network port, raw TCP" : "network port, RFC 2217";
    if (DevicePath.rfind("/dev/pts/", 0) == 0)
        return "pseudo-terminal";
    return {};
}

std::string AdapterIdentity(const TUdevDevice& Device)
{
    if (!Device.Serial.empty())
        return "usb:" + Device.VendorId + ":" + Device.ProductId + ":" + Device.Serial;
    if (!Device.ByIdLinks.empty())
        return Device.ByIdLinks.front();
    return {};
}

std::vector<TPortListing> ListPorts(const std::vector<std::string>& Candidates, TUdevSource* Udev,
                                    const std::map<std::string, std::string>& Labels)
{
    std::vector<TPortListing> Listed;
    const std::vector<std::string> Consoles = SystemConsoleDevices();
    for (const std::string& Path : Candidates) {
        TPortListing Port;
        Port.Console = std::find(Consoles.begin(), Consoles.end(), Path) != Consoles.end();
        const TProbeResult Probe = Port.Console ? TProbeResult{TProbeOutcome::Free, 0} : ProbePortDetailed(Path);
        if (Port.Console) {
            Port.Busy = true;
            Port.Holder = "system console";
        } else if (Probe.Outcome == TProbeOutcome::Busy) {
            const std::optional<TPortHolder> Holder = FindPortHolder(Path);
            // Our own open port is not offered at all, as before.
            if (!Holder && OpenInThisProcess(Path))
                continue;
            Port.Busy = true;
            Port.Holder = HolderText(Holder);
        } else if (Probe.Outcome != TProbeOutcome::Free) {
            continue;
        } else if (IsNetworkPortName(Path)) {
            // No lock table or udev entry stands for a network port.
        } else if (const std::optional<TPortHolder> Locker = FindLockHolder(Path)) {
            // Free to open, but another program has claimed it in the lock table.
            Port.Busy = true;
            Port.Holder = HolderText(Locker);
        }
        Port.DevicePath = Path;
        Port.Name = PortDisplayName(Path);
        const std::optional<TUdevDevice> Device =
            Udev != nullptr && !IsNetworkPortName(Path) ? Udev->Describe(Path) : std::nullopt;
        const auto Label = Labels.find(Path);
        Port.Description =
            PortDescription(Path, Device ? &*Device : nullptr, Label != Labels.end() ? Label->second : "");
        if (Device)
            Port.AdapterId = AdapterIdentity(*Device);
        Listed.push_back(std::move(Port));
    }
    return Listed;
}

}  // namespace varnolink
