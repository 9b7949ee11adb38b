// SPDX-License-Identifier: MIT
// Opening a port without waiting: a network port's open in steps driven by
// the caller's loop, completed by the same sequence as Open.
#include "cport/comport.h"
#include "cport/net_opening.h"

namespace cport {

void TCustomComPort::BeginOpen()
{
    if (Connected_ || PendingOpen_)
        return;
    const std::optional<TNetAddress> Address = NetAddressOf(Port_);
    if (!Address) {
        Open();  // a local device opens at once
        return;
    }
    // A host name is looked up aside: the caller's loop never waits for the resolver.
    PendingOpen_ = std::make_unique<TNetOpening>(*Address, TelnetCheckWait_, this, TNetTimeouts::Connect, true);
    if (PendingOpen_->Done())
        FinishPendingOpen();
}

void TCustomComPort::ContinueOpen()
{
    if (PendingOpen_ && PendingOpen_->Step())
        FinishPendingOpen();
}

int32_t TCustomComPort::OpenWaitDescriptor() const
{
    return PendingOpen_ ? PendingOpen_->WaitFd() : -1;
}

uint32_t TCustomComPort::OpenWaitEvents() const
{
    return PendingOpen_ ? static_cast<uint32_t>(PendingOpen_->WaitEvents()) : 0u;
}

std::chrono::steady_clock::time_point TCustomComPort::OpenDeadline() const
{
    return PendingOpen_ ? PendingOpen_->Deadline() : std::chrono::steady_clock::time_point{};
}

// The device obtained becomes the port's through Open's own sequence (its
// OpenDevice adopts it); a device a handler left unused is released.
void TCustomComPort::FinishPendingOpen()
{
    const std::unique_ptr<TNetOpening> Opening = std::move(PendingOpen_);
    std::unique_ptr<TDevice> Device = Opening->TakeDevice();
    if (!Device) {
        const TNetOpenFailure& Failure = Opening->Failure();
        if (Failure.Reason.empty())
            throw EComPort(Failure.Code, Failure.Error);
        throw EComPort(Failure.Code, Failure.Error, Failure.Reason);
    }
    OpenedAhead_ = std::move(Device);
    try {
        Open();
    } catch (...) {
        OpenedAhead_.reset();
        throw;
    }
    OpenedAhead_.reset();
}

}  // namespace cport
