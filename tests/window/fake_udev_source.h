// SPDX-License-Identifier: MIT
#pragma once

// A device manager the tests feed: descriptions by device path, and add and
// remove events that wake the window through a real descriptor.

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <utility>

#include "main/ports/udev_source.h"
#include "tests/ports/usb_adapter.h"

using namespace varnolink;

namespace window_test {

class TFakeUdevSource final : public TUdevSource {
public:
    TFakeUdevSource() : Fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~TFakeUdevSource() override { ::close(Fd_); }
    TFakeUdevSource(const TFakeUdevSource&) = delete;
    TFakeUdevSource& operator=(const TFakeUdevSource&) = delete;

    std::map<std::string, TUdevDevice> Devices;

    void Emit(TUdevAction Action, const std::string& DevicePath)
    {
        TUdevDevice Device = Devices.count(DevicePath) != 0 ? Devices[DevicePath] : TUdevDevice{};
        Device.DevNode = DevicePath;
        Pending_.push_back({Action, std::move(Device)});
        const uint64_t One = 1;
        (void)!::write(Fd_, &One, sizeof One);
    }

    std::optional<TUdevDevice> Describe(const std::string& DevicePath) override
    {
        const auto Found = Devices.find(DevicePath);
        if (Found == Devices.end())
            return std::nullopt;
        return Found->second;
    }
    int MonitorFd() const override { return Fd_; }
    std::vector<TUdevEvent> TakeEvents() override
    {
        uint64_t Count = 0;
        (void)!::read(Fd_, &Count, sizeof Count);
        return std::exchange(Pending_, {});
    }

private:
    int Fd_;
    std::vector<TUdevEvent> Pending_;
};

using ports_test::UsbAdapter;

}  // namespace window_test
