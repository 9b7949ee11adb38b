// SPDX-License-Identifier: MIT
// A port opened without line events and read by its loop, feeding its
// session and writing the session's requests.
#include "main/engine/session_port.h"

#include <sys/epoll.h>

#include <array>
#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "main/engine/epoll_loop.h"
#include "main/engine/module_errors.h"
#include "main/engine/module_line_settings.h"

namespace varnolink {

namespace {

bool IsRawNetworkPort(const std::string& Name)
{
    constexpr std::string_view Scheme = "socket://";
    return Name.size() > Scheme.size() && std::equal(Scheme.begin(), Scheme.end(), Name.begin(), [](char A, char B) {
               return A == std::tolower(static_cast<unsigned char>(B));
           });
}

// A telnet server's first bytes: IAC and a negotiation command.
bool TelnetGreeting(std::string_view Bytes)
{
    return Bytes.size() >= 2 && static_cast<unsigned char>(Bytes[0]) == 0xFF &&
           static_cast<unsigned char>(Bytes[1]) >= 0xFA;
}

std::string SystemReason(int SystemError)
{
    return SystemError > 0 ? std::strerror(SystemError) : "no system error";
}

}  // namespace

TSessionPort::TSessionPort()
{
    Port_.SetName("ComPort1");
    ApplyModuleLineSettings(Port_);
    // Only received characters are handled, and the loop reads them itself.
    Port_.SetEvents({});
}

TSessionPort::~TSessionPort()
{
    if (Loop_ != nullptr)
        Loop_->Remove(*this);
    try {
        Close();
    } catch (const std::exception&) {
        // Closing a device that has gone away may fail; the descriptor is released all the same.
    }
}

void TSessionPort::Open(const std::string& PortName)
{
    DevicePath_ = cport::TComPort::DevicePathOf(PortName);
    Port_.SetPort(PortName);
    FirstBytesPending_ = TelnetAtFirstBytes_ && IsRawNetworkPort(PortName);
    // The first bytes are looked at here: the open need not look for them.
    Port_.SetTelnetCheckWait(FirstBytesPending_ ? std::chrono::milliseconds(-1) : std::chrono::milliseconds(150));
    try {
        Port_.Open();
    } catch (const cport::EComPort& Error) {
        throw OpenFailure(Error);
    }
    Opened();
}

void TSessionPort::BeginOpen(const std::string& PortName)
{
    DevicePath_ = cport::TComPort::DevicePathOf(PortName);
    Port_.SetPort(PortName);
    FirstBytesPending_ = TelnetAtFirstBytes_ && IsRawNetworkPort(PortName);
    // The first bytes are looked at here: the open need not look for them.
    Port_.SetTelnetCheckWait(FirstBytesPending_ ? std::chrono::milliseconds(-1) : std::chrono::milliseconds(150));
    try {
        Port_.BeginOpen();
    } catch (const cport::EComPort& Error) {
        throw OpenFailure(Error);
    }
    if (Port_.OpenPending()) {
        Opening_ = true;
        Touch();
    } else {
        Opened();
    }
}

EModulePort TSessionPort::OpenFailure(const cport::EComPort& Error) const
{
    return EModulePort("cannot open " + DevicePath_ + ": " + Error.what() + ": " +
                           SystemReason(Error.SystemErrorCode()),
                       Error.SystemErrorCode());
}

void TSessionPort::Opened()
{
    Descriptor_ = Port_.InputWaitDescriptor();
    Lost_ = false;
    Session_.ForgetLine();
    WireLog_.Restart();
    WireLog_.Report(TWireEventKind::Note, "opened " + DevicePath_ + " at " + std::to_string(LineSpeed_) + " 8N1");
    Touch();
}

void TSessionPort::StepOpen()
{
    try {
        Port_.ContinueOpen();
    } catch (const cport::EComPort& Error) {
        const EModulePort Failure = OpenFailure(Error);
        EndOpen(&Failure);
        return;
    }
    if (Port_.OpenPending())
        return;
    Opened();
    EndOpen(nullptr);
}

void TSessionPort::EndOpen(const EModulePort* Failure)
{
    Opening_ = false;
    Touch();
    if (OnOpenEnded)
        OnOpenEnded(Failure);
}

int TSessionPort::Descriptor() const
{
    if (Opening_)
        return Port_.OpenWaitDescriptor();
    return Lost_ ? -1 : Descriptor_;
}

uint32_t TSessionPort::WatchEvents() const
{
    return Opening_ ? Port_.OpenWaitEvents() : static_cast<uint32_t>(EPOLLIN | EPOLLRDHUP);
}

std::optional<TSessionTime> TSessionPort::NextDeadline()
{
    if (Opening_)
        return Port_.OpenDeadline();
    return Session_.NextDeadline();
}

void TSessionPort::SetRs485(const std::optional<TRs485Choice>& Choice)
{
    Rs485_ = Choice;
    ApplyModuleLineSettings(Port_, Rs485_);
    SetLineSpeed(LineSpeed_);  // the module's settings put the rate back to 9600
}

void TSessionPort::SetLineSpeed(int Baud)
{
    Port_.SetBaudRate(ModuleLineRate(Baud));
    LineSpeed_ = Baud;
    if (Port_.Connected())
        WireLog_.Report(TWireEventKind::Note, "line set to " + std::to_string(Baud) + " 8N1");
}

void TSessionPort::Close()
{
    if (Opening_) {
        Port_.Close();
        Opening_ = false;
        Touch();
    }
    if (!Port_.Connected())
        return;
    Descriptor_ = -1;
    Session_.DeviceLost("the port was closed");
    Port_.Close();
    WireLog_.Report(TWireEventKind::Note, "closed");
    Settle();
}

void TSessionPort::Start(TChainPlan Plan, TSessionTime Now)
{
    if (!Port_.Connected())
        Session_.Decline(std::move(Plan), TChainEnd::PortError, "the port is not open");
    else if (Lost_)
        Session_.Decline(std::move(Plan), TChainEnd::DeviceLost, "the device has gone away");
    else
        Session_.Start(std::move(Plan), Now);
    Settle();
}

void TSessionPort::Readable(uint32_t EpollEvents, TSessionTime Now)
{
    const bool WasOpening = Opening_;
    ReadInput(EpollEvents, Now);
    if (!WasOpening)
        Settle();
}

void TSessionPort::ReadInput(uint32_t EpollEvents, TSessionTime Now)
{
    if (Opening_) {
        StepOpen();
        return;
    }
    std::array<char, 512> Buffer{};
    int32_t Got = 0;
    try {
        // Immediate time-outs: each read returns what has arrived, 0 when
        // nothing is left.
        do {
            Got = Port_.ReadBytes(Buffer.data(), static_cast<int32_t>(Buffer.size()));
            const std::string_view Bytes(Buffer.data(), static_cast<std::size_t>(Got));
            if (FirstBytesPending_ && Got > 0) {
                FirstBytesPending_ = false;
                if (TelnetGreeting(Bytes)) {
                    const std::string Endpoint = DevicePath_.substr(DevicePath_.find("//") + 2);
                    Lose(Endpoint + " speaks telnet: open it as rfc2217://" + Endpoint);
                    break;
                }
            }
            Session_.BytesReceived(Bytes, Now);
        } while (Got == static_cast<int32_t>(Buffer.size()));
    } catch (const cport::EComPort& Error) {
        Lose(Error.what());
    }
    if (!Lost_ && Got == 0 && (EpollEvents & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0)
        Lose("the line has hung up");
}

void TSessionPort::TimePassed(TSessionTime Now)
{
    if (Opening_) {
        if (Now >= Port_.OpenDeadline())
            StepOpen();
        return;
    }
    Session_.TimePassed(Now);
    Settle();
}

// An open under way is abandoned at any stop: nothing has been sent yet.
void TSessionPort::AbandonOpen()
{
    Port_.Close();
    const EModulePort Failure("cannot open " + DevicePath_ + ": stopped while opening", ECANCELED);
    EndOpen(&Failure);
}

void TSessionPort::RequestStop()
{
    if (Opening_)
        AbandonOpen();
    Session_.RequestStop();
    Settle();
}

void TSessionPort::StopNow()
{
    if (Opening_)
        AbandonOpen();
    Session_.StopNow();
    Settle();
}

TChainSession& TSessionPort::Session()
{
    Touch();
    return Session_;
}

void TSessionPort::Touch()
{
    if (Loop_ != nullptr)
        Loop_->PortChanged(LoopSlot_);
}

void TSessionPort::Lose(const std::string& Reason)
{
    Lost_ = true;
    Touch();
    WireLog_.Report(TWireEventKind::DeviceLost, "the device has gone away");
    Session_.DeviceLost(Reason);
}

void TSessionPort::Settle()
{
    const std::string Output = Session_.TakeOutput();
    if (!Output.empty()) {
        try {
            Port_.WriteBytes(Output.data(), static_cast<int32_t>(Output.size()));
        } catch (const cport::EComPort& Error) {
            const std::string Reason =
                std::string("writing the request: ") + Error.what() + ": " + SystemReason(Error.SystemErrorCode());
            WireLog_.Report(TWireEventKind::Error, Reason);
            Session_.WriteFailed(Reason);
        }
    }
    // Before the events: their handlers may take the port out of its loop.
    Touch();
    for (const TSessionEvent& Event : Session_.TakeEvents()) {
        WireLog_.Show(Event);
        if (OnEvent)
            OnEvent(Event);
    }
}

}  // namespace varnolink
