// SPDX-License-Identifier: MIT
#include "main/engine/module_connection.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "cport/comport.h"
#include "main/protocol/chain_run.h"
#include "main/protocol/comport_protocol_port.h"
#include "main/protocol/config_recorder.h"
#include "main/protocol/device_protocol.h"
#include "main/engine/module_line_settings.h"
#include "main/engine/owned_fd.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr const char* WaitWhat = "creating the connection's wait";

void Signal(int EventFd)
{
    const uint64_t One = 1;
    // A full counter already wakes the wait; nothing else can fail here.
    [[maybe_unused]] const ssize_t Written = ::write(EventFd, &One, sizeof One);
}

void Drain(int EventFd)
{
    uint64_t Count = 0;
    [[maybe_unused]] const ssize_t Read = ::read(EventFd, &Count, sizeof Count);
}

std::string SystemReason(int SystemError)
{
    return SystemError > 0 ? std::strerror(SystemError) : "no system error";
}

EModulePort PortFailure(const std::string& What, const cport::EComPort& Error)
{
    return EModulePort(What + ": " + Error.what() + ": " + SystemReason(Error.SystemErrorCode()),
                       Error.SystemErrorCode());
}

class TNoValues final : public TChainValues {
public:
    std::string RemoteIDText() const override { return {}; }
    int BaudIndex() const override { return -1; }
    uint8_t PortByte(TPortGrid, int) const override { return 0; }
};

}  // namespace

EModuleNoReply::EModuleNoReply(const TChainStep& Step, std::chrono::milliseconds Wait, TWrittenFields Written)
    : EModuleConnection("no reply to " + DescribeStep(Step) + " within " + std::to_string(Wait.count()) + " ms"),
      Step_(Step), Written_(std::move(Written))
{
}

EModuleStopped::EModuleStopped(TWrittenFields Written)
    : EModuleConnection("stopped on request"), Written_(std::move(Written))
{
}

class TModuleConnection::TImpl final : private TChainDriver {
public:
    TImpl()
    {
        Epoll_.emplace(::epoll_create1(EPOLL_CLOEXEC), WaitWhat);
        Watch(Wake_.Get());
        Watch(Stop_.Get());
        const int WakeFd = Wake_.Get();
        cport::SetMainThreadWakeHook([WakeFd] { Signal(WakeFd); });

        Port_.SetName("ComPort1");
        ApplyModuleLineSettings(Port_);
        Port_.OnRxChar = [this](cport::TComponent*, int32_t Count) { Protocol_.ComPort1RxChar(Count); };
        Port_.OnError = [this](cport::TComponent*, cport::TComErrors Errors) {
            if (Errors.Contains(cport::leIOError))
                DeviceLost_ = true;
        };
    }

    ~TImpl() override
    {
        try {
            Close();
        } catch (const std::exception&) {
            // Closing a device that has gone away may fail; the descriptor is released all the same.
        }
        Port_.OnRxChar = nullptr;
        Port_.OnError = nullptr;
        cport::SetMainThreadWakeHook(nullptr);
    }

    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;

    void SetObserver(TWireObserver* Observer) { Tap_.SetObserver(Observer); }
    void SetReplyWait(std::chrono::milliseconds Wait) { ReplyWait_ = Wait; }

    void SetStopDescriptor(int Fd)
    {
        StopFd_ = Fd;
        Watch(Fd);
    }

    void RequestStop() { Signal(Stop_.Get()); }
    bool StopRequested() const { return Stopped_; }

    void Open(const std::string& PortName)
    {
        Port_.SetPort(PortName);
        Port_.SetBaudRate(cport::br9600);
        try {
            Port_.Open();
        } catch (const cport::EComPort& Error) {
            throw PortFailure("cannot open " + cport::TComPort::DevicePathOf(PortName), Error);
        }
        DeviceLost_ = false;
        Tap_.Restart();
        Tap_.Report(TWireEventKind::Note, "opened " + cport::TComPort::DevicePathOf(PortName) + " at 9600 8N1");
    }

    void Close()
    {
        if (!Port_.Connected())
            return;
        Port_.Close();
        Tap_.Report(TWireEventKind::Note, "closed");
    }

    bool IsOpen() const { return Port_.Connected(); }

    TModuleIdentity Identify()
    {
        Run(IdentityChain, NoValues_, {});
        return Recorder_.Identity();
    }

    TModuleReading ReadConfig(const TWrittenFields& Written = {})
    {
        Run(ReadChain, NoValues_, Written);
        return RecordedReading(Recorder_);
    }

    TWriteResult Write(std::span<const TChainStep> Chain, const TModuleConfig& Config)
    {
        const TConfigChainValues Values(Config);
        Run(Chain, Values, {});
        TModuleReading ReadBack = ReadConfig(WrittenFields(Chain, Chain.size()));
        std::vector<std::string> Differences = DifferingFields(Config, ReadBack.Config);
        return {std::move(ReadBack), std::move(Differences)};
    }

private:
    void Watch(int Fd)
    {
        epoll_event Event{};
        Event.events = EPOLLIN;
        Event.data.fd = Fd;
        if (::epoll_ctl(Epoll_->Get(), EPOLL_CTL_ADD, Fd, &Event) != 0)
            throw std::system_error(errno, std::generic_category(), "watching a descriptor");
    }

    // Runs one chain; every way it can end short becomes an error that says
    // what had been written by then (Earlier: the writes of a chain before).
    void Run(std::span<const TChainStep> Chain, const TChainValues& Values, const TWrittenFields& Earlier)
    {
        if (!Port_.Connected())
            throw EModuleConnection("the port is not open");
        Values_ = &Values;
        try {
            RunWholeChain(Chain, *this, Recorder_, ReplyWait_, Earlier);
        } catch (const EModuleStopped&) {
            Tap_.Report(TWireEventKind::Note, "stopped on request");
            throw;
        }
    }

    bool MayGoOn() override
    {
        ServeReady(0);
        return !Stopped_;
    }

    // One pass over whatever is ready, waiting at most TimeoutMs.
    void ServeReady(int TimeoutMs)
    {
        std::array<epoll_event, 4> Events{};
        const int Ready = ::epoll_wait(Epoll_->Get(), Events.data(), static_cast<int>(Events.size()), TimeoutMs);
        if (Ready < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waiting for the reply");
        for (int Index = 0; Index < Ready; ++Index)
            Serve(Events[static_cast<std::size_t>(Index)].data.fd);
    }

    void SendStep(const TChainStep& Step) override
    {
        CurrentStep_ = Step;
        try {
            BuildChainRequest(Protocol_, Step, *Values_);
        } catch (const cport::EComPort& Error) {
            EModulePort Failure = PortFailure("writing " + DescribeStep(Step), Error);
            Tap_.Report(TWireEventKind::Error, Failure.what());
            throw Failure;
        }
    }

    bool WaitForReply() override
    {
        const TClock::time_point Deadline = TClock::now() + ReplyWait_;
        // Hand-overs queued before the wait (a reply that was quicker than the
        // last byte of its request) are served first.
        cport::CheckSynchronize();
        while (Protocol_.ReplyReceived() != 1) {
            if (DeviceLost_) {
                Tap_.Report(TWireEventKind::DeviceLost, "the device has gone away");
                throw EModulePort("the device " + Port_.DevicePathOf(Port_.Port()) +
                                      " has stopped working (unplugged or switched off?)",
                                  EIO);
            }
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now());
            if (Left.count() <= 0) {
                Tap_.Report(TWireEventKind::TimeOut, "no reply to " + DescribeStep(CurrentStep_) + " within " +
                                                         std::to_string(ReplyWait_.count()) + " ms");
                return false;
            }
            ServeReady(static_cast<int>(Left.count()));
        }
        return true;
    }

    void Serve(int Fd)
    {
        if (Fd == Wake_.Get()) {
            Drain(Fd);
            cport::CheckSynchronize();
        } else if (Fd == Stop_.Get()) {
            Drain(Fd);
            Stopped_ = true;
        } else if (Fd == StopFd_) {
            // Not ours to read: stop watching it, the request is taken.
            ::epoll_ctl(Epoll_->Get(), EPOLL_CTL_DEL, Fd, nullptr);
            StopFd_ = -1;
            Stopped_ = true;
        }
    }

    std::optional<TOwnedFd> Epoll_;
    TOwnedFd Wake_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), WaitWhat};
    TOwnedFd Stop_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), WaitWhat};
    int StopFd_ = -1;
    std::atomic<bool> Stopped_{false};
    bool DeviceLost_ = false;
    std::chrono::milliseconds ReplyWait_ = DefaultReplyWait;

    cport::TComPort Port_;
    TComPortProtocolPort Adapter_{Port_};
    TWireTap Tap_{Adapter_};
    TConfigRecorder Recorder_;
    TDeviceProtocol Protocol_{Recorder_, Tap_};
    TNoValues NoValues_;
    const TChainValues* Values_ = &NoValues_;
    TChainStep CurrentStep_{CodeIdentity, TRequestMode::Read};
};

TModuleConnection::TModuleConnection() : Impl_(std::make_unique<TImpl>()) {}
TModuleConnection::~TModuleConnection() = default;

void TModuleConnection::SetWireObserver(TWireObserver* Observer)
{
    Impl_->SetObserver(Observer);
}

void TModuleConnection::SetReplyWait(std::chrono::milliseconds Wait)
{
    Impl_->SetReplyWait(Wait);
}

void TModuleConnection::SetStopDescriptor(int Fd)
{
    Impl_->SetStopDescriptor(Fd);
}

void TModuleConnection::RequestStop()
{
    Impl_->RequestStop();
}

bool TModuleConnection::StopRequested() const
{
    return Impl_->StopRequested();
}

void TModuleConnection::Open(const std::string& PortName)
{
    Impl_->Open(PortName);
}

void TModuleConnection::Close()
{
    Impl_->Close();
}

bool TModuleConnection::IsOpen() const
{
    return Impl_->IsOpen();
}

std::string TModuleConnection::DevicePathOf(const std::string& PortName)
{
    return cport::TComPort::DevicePathOf(PortName);
}

TModuleIdentity TModuleConnection::Identify()
{
    return Impl_->Identify();
}

TModuleReading TModuleConnection::ReadConfig()
{
    return Impl_->ReadConfig();
}

TWriteResult TModuleConnection::WriteConfig(const TModuleConfig& Config)
{
    return Impl_->Write(SaveChain, Config);
}

TWriteResult TModuleConnection::WriteFactory()
{
    return Impl_->Write(FactoryChain, FactoryModuleConfig);
}
