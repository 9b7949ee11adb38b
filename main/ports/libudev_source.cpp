// SPDX-License-Identifier: MIT
// TUdevSource on libudev. Descriptions come from sysfs through libudev, so
// they work without a udev daemon; the by-id links need its database. The
// monitor listens to the daemon's events when the daemon runs and to the
// kernel's own otherwise (containers, minimal systems).

#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include "main/ports/udev_source.h"

namespace varnolink {

namespace {

struct TUdevUnref {
    void operator()(udev* Handle) const { udev_unref(Handle); }
    void operator()(udev_device* Device) const { udev_device_unref(Device); }
    void operator()(udev_monitor* Monitor) const { udev_monitor_unref(Monitor); }
};
using TUdevPtr = std::unique_ptr<udev, TUdevUnref>;
using TDevicePtr = std::unique_ptr<udev_device, TUdevUnref>;
using TMonitorPtr = std::unique_ptr<udev_monitor, TUdevUnref>;

std::string Text(const char* Value)
{
    return Value != nullptr ? std::string(Value) : std::string();
}

// The tty device's own node and links, the driver and bus of the hardware
// behind it, and the USB device's identity when there is one. Borrowed
// parents need no unref: they live as long as Device.
TUdevDevice Read(udev_device* Device)
{
    TUdevDevice Result;
    Result.DevNode = Text(udev_device_get_devnode(Device));
    for (udev_list_entry* Link = udev_device_get_devlinks_list_entry(Device); Link != nullptr;
         Link = udev_list_entry_get_next(Link)) {
        const std::string Path = Text(udev_list_entry_get_name(Link));
        if (Path.rfind("/dev/serial/by-id/", 0) == 0)
            Result.ByIdLinks.push_back(Path);
    }
    if (udev_device* Hardware = udev_device_get_parent(Device)) {
        Result.Bus = Text(udev_device_get_subsystem(Hardware));
        Result.Driver = Text(udev_device_get_driver(Hardware));
        // A USB serial port hangs off a USB interface; its tty may sit one level further down.
        if (Result.Bus == "usb-serial") {
            Result.Bus = "usb";
            if (Result.Driver.empty())
                if (udev_device* Port = udev_device_get_parent(Hardware))
                    Result.Driver = Text(udev_device_get_driver(Port));
        }
    }
    if (udev_device* Usb = udev_device_get_parent_with_subsystem_devtype(Device, "usb", "usb_device")) {
        Result.Bus = "usb";
        Result.VendorId = Text(udev_device_get_sysattr_value(Usb, "idVendor"));
        Result.ProductId = Text(udev_device_get_sysattr_value(Usb, "idProduct"));
        Result.Manufacturer = Text(udev_device_get_sysattr_value(Usb, "manufacturer"));
        Result.Product = Text(udev_device_get_sysattr_value(Usb, "product"));
        Result.Serial = Text(udev_device_get_sysattr_value(Usb, "serial"));
        if (Result.Driver.empty())
            if (udev_device* Interface = udev_device_get_parent_with_subsystem_devtype(Device, "usb", "usb_interface"))
                Result.Driver = Text(udev_device_get_driver(Interface));
    }
    return Result;
}

class TLibudevSource final : public TUdevSource {
public:
    TLibudevSource() : Udev_(udev_new())
    {
        if (!Udev_)
            return;
        // The daemon's events carry its database; without a daemon only
        // the kernel's are there.
        const bool DaemonRuns = ::access("/run/udev/control", F_OK) == 0;
        Monitor_.reset(udev_monitor_new_from_netlink(Udev_.get(), DaemonRuns ? "udev" : "kernel"));
        if (Monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(Monitor_.get(), "tty", nullptr) < 0 ||
                         udev_monitor_enable_receiving(Monitor_.get()) < 0))
            Monitor_.reset();
    }

    std::optional<TUdevDevice> Describe(const std::string& DevicePath) override
    {
        struct stat Node {};
        if (!Udev_ || ::stat(DevicePath.c_str(), &Node) != 0 || !S_ISCHR(Node.st_mode))
            return std::nullopt;
        const TDevicePtr Device(udev_device_new_from_devnum(Udev_.get(), 'c', Node.st_rdev));
        if (!Device)
            return std::nullopt;
        return Read(Device.get());
    }

    int MonitorFd() const override { return Monitor_ ? udev_monitor_get_fd(Monitor_.get()) : -1; }

    std::vector<TUdevEvent> TakeEvents() override
    {
        std::vector<TUdevEvent> Events;
        if (!Monitor_)
            return Events;
        // The monitor's socket is non-blocking: this reads what is there.
        while (const TDevicePtr Device{udev_monitor_receive_device(Monitor_.get())}) {
            const std::string Action = Text(udev_device_get_action(Device.get()));
            TUdevEvent Event;
            Event.Action = Action == "add"      ? TUdevAction::Added
                           : Action == "remove" ? TUdevAction::Removed
                                                : TUdevAction::Changed;
            Event.Device = Read(Device.get());
            if (Event.Device.DevNode.empty())
                if (const char* Name = udev_device_get_sysname(Device.get()))
                    Event.Device.DevNode = std::string("/dev/") + Name;
            Events.push_back(std::move(Event));
        }
        return Events;
    }

private:
    TUdevPtr Udev_;
    TMonitorPtr Monitor_;
};

}  // namespace

std::unique_ptr<TUdevSource> MakeLibudevSource()
{
    return std::make_unique<TLibudevSource>();
}

}  // namespace varnolink
