// SPDX-License-Identifier: MIT
// Construction, Open and Close of a port: the device obtained from the port's
// name, the event thread started and stopped around it.
#include "cport/com_thread.h"
#include "cport/comport.h"
#include "cport/device_state.h"
#include "cport/net_device.h"
#include "cport/net_opening.h"
#include "cport/termios_device.h"

#include <sys/eventfd.h>
#include <cctype>
#include <cerrno>
#include <exception>
#include <memory>
#include <new>
#include <system_error>

namespace cport {

// ---------------------------------------------------------------------------
// Construction, destruction, Open and Close of a port.

// The settings objects are members, created in the order Parity,
// FlowControl, Timeouts, Buffer, Rs485, each with this port as owner.
TCustomComPort::TCustomComPort(TComponent* Owner) : TComponent(Owner) {}

// An open port is closed with all its events. A destructor must not throw:
// an error of Close goes to the application's error display, and the device
// and the event thread are released all the same.
TCustomComPort::~TCustomComPort()
{
    try {
        Close();
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
    if (Connected_) {
        try {
            if (ThreadStarted_)
                StopEventThread();
        } catch (...) {
            ShowApplicationError(std::current_exception());
        }
        ThreadStarted_ = false;
        CloseDevice();
        Connected_ = false;
    }
    *Alive_ = false;
}

namespace {

// Clears a sequence flag on every way out, unless the port is gone.
class TSequenceFlag {
public:
    TSequenceFlag(bool& Flag, const std::shared_ptr<bool>& Alive) : Flag_(Flag), Alive_(Alive) { Flag_ = true; }
    ~TSequenceFlag()
    {
        if (*Alive_)
            Flag_ = false;
    }
    TSequenceFlag(const TSequenceFlag&) = delete;
    TSequenceFlag& operator=(const TSequenceFlag&) = delete;

private:
    bool& Flag_;
    std::shared_ptr<bool> Alive_;
};

}  // namespace

// Opens the device, applies every setting and starts the event thread. A
// settings failure closes the device again (no close events); the handlers
// then learn the state of the three input signals. A handler that closes,
// opens or deletes the port ends the sequence there. The event thread is
// held until the sequence has ended, so no event runs a handler before.
void TCustomComPort::Open()
{
    if (Connected_)
        return;
    const std::shared_ptr<bool> Alive = Alive_;
    if (!Opening_) {
        TSequenceFlag Opening(Opening_, Alive);
        NotifyBeforeOpen();
        if (!*Alive || Connected_)
            return;
    }
    OpenDevice();
    Connected_ = true;
    try {
        ApplyAllSettings();
        if (Events_.Empty())
            ThreadStarted_ = false;
        else
            StartEventThread();
    } catch (...) {
        CloseDevice();
        Connected_ = false;
        throw;
    }
    // Lets the event thread run on every way out, unless a handler has
    // closed or deleted the port (which has stopped the thread then).
    struct TRelease {
        TCustomComPort& Port;
        const std::shared_ptr<bool>& Alive;
        ~TRelease()
        {
            if (*Alive && Port.EventThread_)
                Port.EventThread_->Release();
        }
    } Release{*this, Alive};
    auto Ended = [&] { return !*Alive || !Connected_; };
    NotifyAfterOpen();
    if (Ended())
        return;
    ReportCTS();
    if (Ended())
        return;
    ReportDSR();
    if (Ended())
        return;
    ReportRLSD();
}

// Signals off, pending transfers ended, event thread stopped (serving its
// hand-overs while it ends), device closed. A failed abort (code 5) leaves
// the port open and working. A Close from a handler of the notifications
// below goes straight on to the device; a handler that deletes the port
// ends the sequence there.
void TCustomComPort::Close()
{
    PendingOpen_.reset();
    if (!Connected_)
        return;
    const std::shared_ptr<bool> Alive = Alive_;
    auto Ended = [&] { return !*Alive || !Connected_; };
    if (!Closing_) {
        TSequenceFlag Closing(Closing_, Alive);
        NotifyCTSChange(false);
        if (Ended())
            return;
        NotifyDSRChange(false);
        if (Ended())
            return;
        NotifyRLSDChange(false);
        if (Ended())
            return;
        NotifyBeforeClose();
        if (Ended())
            return;
    }
    AbortPendingIO();
    if (ThreadStarted_) {
        StopEventThread();
        ThreadStarted_ = false;
        if (Ended())
            return;  // a handler served during the stop has closed the port
    }
    CloseDevice();
    Connected_ = false;
    NotifyAfterClose();
}

void TCustomComPort::Loaded()
{
    TComponent::Loaded();
    if (!Connected_)
        return;
    Connected_ = false;
    try {
        Open();
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
}

void TCustomComPort::ApplyAllSettings()
{
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
    ApplyRs485Settings();
}

// ---------------------------------------------------------------------------
// Port names to device nodes.

namespace {

// "COMn" (any case of the letters, n a decimal number from 1 without
// leading zeros): the number of the on-board port, else 0.
unsigned long ComNumberOf(const std::string& Port)
{
    if (Port.size() < 4 || Port.size() > 12)
        return 0;
    if (std::toupper(static_cast<unsigned char>(Port[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(Port[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(Port[2])) != 'M' || Port[3] == '0')
        return 0;
    unsigned long N = 0;
    for (size_t I = 3; I < Port.size(); ++I) {
        if (!std::isdigit(static_cast<unsigned char>(Port[I])))
            return 0;
        N = N * 10 + static_cast<unsigned long>(Port[I] - '0');
    }
    return N;
}

}  // namespace

// An absolute path or a network port name is used as it is; "COMn" names the n-th on-board port,
// /dev/ttyS(n-1), so that the default "COM1" and stored settings keep a
// meaning; any other name is looked up under /dev ("ttyUSB0", "pts/3").
std::string TCustomComPort::DevicePathOf(const std::string& Port)
{
    if (!Port.empty() && Port[0] == '/')
        return Port;
    if (PortNameKind(Port) != TPortNameKind::pnDevice)
        return Port;  // a network port
    if (const unsigned long N = ComNumberOf(Port))
        return "/dev/ttyS" + std::to_string(N - 1);
    return "/dev/" + Port;
}

// ---------------------------------------------------------------------------
// Obtaining and releasing the device, and the device state around it.

int TCustomComPort::TDeviceState::Init(std::unique_ptr<TDevice> Opened)
{
    Device = std::move(Opened);
    // The eventfds of the event thread and of waiting transfers are made
    // when they are first needed (StartEventThread, the first wait): a port
    // read only by its owner's loop keeps its device's descriptor alone.
    if (int Error = AbortFd.Init())
        return Error;
    if (int Error = Rx.Init())
        return Error;
    // The driver's error counts from here on are this port's (a driver
    // without counts is noted by the device).
    Counts.Start(*Device);
    return 0;
}

// Exclusive read-write access to an existing serial device (see
// termios_device.h); input queued before the open is dropped.
void TCustomComPort::OpenDevice()
{
    if (Device_)
        return;
    std::unique_ptr<TDevice> Opened;
    if (OpenedAhead_) {
        Opened = std::move(OpenedAhead_);  // obtained by the open in steps
    } else if (const auto Address = NetAddressOf(Port_)) {
        // A network port: the reason of a failure goes below the message.
        TNetOpenFailure Failure;
        Opened = OpenNetDevice(*Address, Failure, TelnetCheckWait_);
        if (!Opened)
            throw EComPort(CError_OpenFailed, Failure.Error, Failure.Reason);
    } else {
        int Error = 0;
        Opened = TTermiosDevice::Open(DevicePathOf(Port_), Error);
        if (!Opened)
            throw EComPort(CError_OpenFailed, Error);
    }
    AdoptDevice(std::move(Opened));
}

// The device state around an opened device. A failure releases the device
// with the state (its Close puts back what the open found).
void TCustomComPort::AdoptDevice(std::unique_ptr<TDevice> Opened)
{
    if (Device_)
        return;
    std::unique_ptr<TDeviceState> State(new (std::nothrow) TDeviceState);
    if (!State)
        throw EComPort(CError_OpenFailed, ENOMEM);
    TDevice& Device = *Opened;
    if (int Error = State->Init(std::move(Opened)))
        throw EComPort(CError_OpenFailed, Error);
    AttachNetQueue(Device, State->Rx);
    Device_ = std::move(State);
    LiveDevice_.store(Device_.get());
}

// Every transfer or query still running on another thread ends first; then the
// device puts back what it had before the open and is released. Failures
// are not reported: the device goes in any case.
void TCustomComPort::CloseDevice()
{
    if (!Device_)
        return;
    TDeviceState& Device = *Device_;
    // No new call gets the state; the waits of those under way end, and
    // they leave. (A call takes its lease before it looks at LiveDevice_,
    // and this looks at the users after withdrawing it: one of the two sees
    // the other.)
    LiveDevice_.store(nullptr);
    Device.AbortFd.Shutdown();
    for (int Users = DeviceUsers_.load(); Users != 0; Users = DeviceUsers_.load())
        DeviceUsers_.wait(Users);
    Device.Rx.SetWatcher({});
    Device.Device->Close();
    Device_.reset();
}

// ---------------------------------------------------------------------------
// The start and stop of the event thread within Open and Close.

void TCustomComPort::StartEventThread()
{
    if (Events_.Empty()) {
        ThreadStarted_ = false;
        return;
    }
    if (Device_) {
        if (!Device_->TxFd)
            Device_->TxFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!Device_->TxFd)
            throw EComPort(CError_OpenFailed, errno);
        if (const int Error = Device_->Rx.PrepareNotify())
            throw EComPort(CError_OpenFailed, Error);
    }
    try {
        EventThread_ = std::make_unique<TComThread>(this);
    } catch (const std::system_error& E) {
        // The thread, its eventfds, epoll or timer could not be had: opening failed.
        throw EComPort(CError_OpenFailed, E.code().value());
    } catch (const std::bad_alloc&) {
        throw EComPort(CError_OpenFailed, ENOMEM);
    }
    ThreadStarted_ = true;
}

// Waits for the thread's end while serving its hand-overs.
void TCustomComPort::StopEventThread()
{
    EventThread_.reset();
    ThreadStarted_ = false;
}

}  // namespace cport
