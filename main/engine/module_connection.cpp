// SPDX-License-Identifier: MIT
// TModuleConnection: one session port and a loop of its own; each call
// runs one chain and turns a short ending into the errors of module_errors.h.
#include "main/engine/module_connection.h"

#include "cport/comport.h"
#include "main/engine/epoll_loop.h"
#include "main/engine/listen_before_writes.h"
#include "main/engine/session_port.h"

namespace varnolink {

class TModuleConnection::TImpl {
public:
    TImpl()
    {
        Port_.OnEvent = [this](const TSessionEvent& Event) {
            if (Listener_)
                Listener_(Event, Port_.Session());
            if (const auto* Ended = std::get_if<TChainEnded>(&Event))
                Result_ = Ended->Result;
        };
        Loop_.Add(Port_);
    }
    ~TImpl()
    {
        Port_.OnEvent = nullptr;  // closing the port reports to nobody that is gone
        Loop_.Remove(Port_);
    }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;

    // Runs one chain to its end; the error of a chain that ended short.
    TChainResult Run(TChainPlan Plan)
    {
        Result_.reset();
        if (Loop_.StopRequested())
            Port_.Session().Decline(std::move(Plan), TChainEnd::Stopped);
        else
            Port_.Start(std::move(Plan), TSessionClock::now());
        Loop_.RunUntil([this] { return Result_.has_value(); });
        RaiseChainEnd(*Result_, Port_.DevicePath());
        return *Result_;
    }

    TWriteResult Write(TChainPlan Plan)
    {
        // A second module's late answer to the request before shows within
        // one line time; it ends the write before its first frame.
        ListenBeforeWrites(Plan, Port_.LineSpeed());
        const TChainResult Result = Run(std::move(Plan));
        return {Port_.Session().Record().Reading(), Result.Differences};
    }

private:
    friend class TModuleConnection;

    TSessionPort Port_;
    TEpollLoop Loop_;
    std::optional<TChainResult> Result_;
    TEventListener Listener_;
};

TModuleConnection::TModuleConnection() : Impl_(std::make_unique<TImpl>()) {}
TModuleConnection::~TModuleConnection() = default;

void TModuleConnection::SetWireObserver(TWireObserver* Observer)
{
    Impl_->Port_.WireLog().SetObserver(Observer);
}

void TModuleConnection::SetReplyWait(std::chrono::milliseconds Wait)
{
    Impl_->Port_.Session().SetReplyWait(Wait);
}

void TModuleConnection::SetLineSpeed(int Baud)
{
    Impl_->Port_.SetLineSpeed(Baud);
}

void TModuleConnection::SetRs485(const std::optional<TRs485Choice>& Choice)
{
    Impl_->Port_.SetRs485(Choice);
}

bool TModuleConnection::EchoSeen() const
{
    return Impl_->Port_.Session().EchoSeen();
}

void TModuleConnection::SetStopDescriptor(int Fd, TStopWhen When)
{
    Impl_->Loop_.WatchStop(Fd, When);
}

void TModuleConnection::RequestStop(TStopWhen When)
{
    Impl_->Loop_.RequestStop(When);
}

void TModuleConnection::SetEventListener(TEventListener Listener)
{
    Impl_->Listener_ = std::move(Listener);
}

void TModuleConnection::SetTimer(TTickWhen When, std::function<void(const TChainSession&)> Tick)
{
    TImpl& Impl = *Impl_;
    if (!Tick || !When) {
        Impl.Loop_.SetTimer({}, {});
        return;
    }
    Impl.Loop_.SetTimer([&Impl, When = std::move(When)] { return When(Impl.Port_.Session()); },
                        [&Impl, Tick = std::move(Tick)] { Tick(Impl.Port_.Session()); });
}

bool TModuleConnection::StopRequested() const
{
    return Impl_->Loop_.StopRequested();
}

// A network port's open runs in the loop, so a stop (the user's interrupt)
// ends it at once instead of after the connect or negotiation time-out.
void TModuleConnection::Open(const std::string& PortName)
{
    TSessionPort& Port = Impl_->Port_;
    std::optional<EModulePort> Failure;
    bool Ended = false;
    Port.OnOpenEnded = [&](const EModulePort* Error) {
        if (Error != nullptr)
            Failure = *Error;
        Ended = true;
    };
    struct TForget {
        TSessionPort& Port;
        ~TForget() { Port.OnOpenEnded = nullptr; }
    } Forget{Port};
    Port.BeginOpen(PortName);
    if (Port.Opening())
        Impl_->Loop_.RunUntil([&] { return Ended; });
    if (Failure && Impl_->Loop_.StopRequested()) {
        TChainResult Stopped;
        Stopped.End = TChainEnd::Stopped;
        Stopped.Reason = "while opening";
        throw EModuleStopped(std::move(Stopped));
    }
    if (Failure)
        throw *Failure;
}

void TModuleConnection::Close()
{
    Impl_->Port_.Close();
}

bool TModuleConnection::IsOpen() const
{
    return Impl_->Port_.IsOpen();
}

std::string TModuleConnection::DevicePathOf(const std::string& PortName)
{
    return cport::TComPort::DevicePathOf(PortName);
}

TModuleIdentity TModuleConnection::Identify()
{
    Impl_->Run(TChainPlan::Identify());
    return Impl_->Port_.Session().Record().Identity();
}

std::optional<TModuleIdentity> TModuleConnection::Probe(std::chrono::milliseconds Wait,
                                                        std::chrono::milliseconds ListenFirst)
{
    try {
        TChainPlan Plan = TChainPlan::Probe(Wait);
        Plan.ListenFirst = ListenFirst;
        Impl_->Run(std::move(Plan));
    } catch (const EModuleNoReply&) {
        return std::nullopt;
    }
    return Impl_->Port_.Session().Record().Identity();
}

TModuleReading TModuleConnection::ReadConfig()
{
    Impl_->Run(TChainPlan::Read());
    return ReadingOf(Impl_->Port_.Session().Record());
}

TWriteResult TModuleConnection::WriteConfig(const TModuleConfig& Config)
{
    return Impl_->Write(TChainPlan::Write(Config));
}

TWriteResult TModuleConnection::WriteFactory()
{
    return Impl_->Write(TChainPlan::Factory());
}

}  // namespace varnolink
