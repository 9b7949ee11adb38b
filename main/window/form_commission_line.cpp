// SPDX-License-Identifier: MIT
#include "main/window/form_commission_line.h"

#include <QEventLoop>
#include <QTimer>

#include <cerrno>
#include <exception>
#include <utility>

#include "main/protocol/chain_run.h"

namespace {

// Reads write nothing, so any values serve them.
const TConfigChainValues NoWrites(FactoryModuleConfig);

}  // namespace

TFormCommissionLine::TFormCommissionLine(cport::TComPort& Port, std::chrono::milliseconds ReplyWait)
    : Port_(Port), WindowRxChar_(std::move(Port.OnRxChar)), WindowError_(Port.OnError), ReplyWait_(ReplyWait),
      Wait_(ReplyWait)
{
    Port_.OnRxChar = [this](cport::TComponent*, int32_t Count) { RxChar(Count); };
    Port_.OnError = [this](cport::TComponent* Sender, cport::TComErrors Errors) {
        if (Errors.Contains(cport::leIOError)) {
            DeviceLost_ = true;
            if (ActiveWait_ != nullptr)
                ActiveWait_->quit();
        }
        if (WindowError_)
            WindowError_(Sender, Errors);
    };
}

TFormCommissionLine::~TFormCommissionLine()
{
    Port_.OnRxChar = std::move(WindowRxChar_);
    Port_.OnError = std::move(WindowError_);
}

std::string TFormCommissionLine::PortName() const
{
    return cport::TComPort::DevicePathOf(Port_.Port());
}

void TFormCommissionLine::RxChar(int Count)
{
    // Called from the port's hand-over in the event loop: nothing may leave.
    try {
        Protocol_.ComPort1RxChar(Count);
    } catch (const std::exception& Error) {
        ReceiveError_ = Error.what();
    }
    if (ActiveWait_ != nullptr && (Protocol_.ReplyReceived() == 1 || !ReceiveError_.empty()))
        ActiveWait_->quit();
}

void TFormCommissionLine::SendStep(const TChainStep& Step)
{
    if (!Port_.Connected())
        throw EModulePort("the port " + PortName() + " is closed", EBADF);
    try {
        BuildChainRequest(Protocol_, Step, *Values_);
    } catch (const cport::EComPort& Error) {
        throw EModulePort("writing " + DescribeStep(Step) + ": " + Error.what(), Error.SystemErrorCode());
    }
}

bool TFormCommissionLine::WaitForReply()
{
    if (Protocol_.ReplyReceived() != 1) {
        QEventLoop Wait;
        QTimer TimeOut;
        TimeOut.setSingleShot(true);
        QObject::connect(&TimeOut, &QTimer::timeout, &Wait, &QEventLoop::quit);
        TimeOut.start(static_cast<int>(Wait_.count()));
        QEventLoop* const Outer = std::exchange(ActiveWait_, &Wait);
        Wait.exec();
        ActiveWait_ = Outer;
    }
    if (DeviceLost_)
        throw EModulePort("the device " + PortName() + " has stopped working (unplugged or switched off?)", EIO);
    if (!ReceiveError_.empty())
        throw EModulePort("reading the reply: " + std::exchange(ReceiveError_, {}), EIO);
    return Protocol_.ReplyReceived() == 1;
}

void TFormCommissionLine::Run(std::span<const TChainStep> Chain, const TChainValues& Values,
                              const std::vector<std::string>& Earlier)
{
    Values_ = &Values;
    RunWholeChain(Chain, *this, Recorder_, Wait_, Earlier);
}

std::optional<TModuleIdentity> TFormCommissionLine::Identify(std::chrono::milliseconds Wait)
{
    Wait_ = Wait;
    try {
        Run(IdentityChain, NoWrites, {});
    } catch (const EModuleNoReply&) {
        Wait_ = ReplyWait_;
        return std::nullopt;
    } catch (...) {
        Wait_ = ReplyWait_;
        throw;
    }
    Wait_ = ReplyWait_;
    return Recorder_.Identity();
}

TModuleReading TFormCommissionLine::ReadInto(const std::vector<std::string>& Written)
{
    Run(ReadChain, NoWrites, Written);
    return RecordedReading(Recorder_);
}

TModuleReading TFormCommissionLine::ReadConfig()
{
    return ReadInto({});
}

TWriteResult TFormCommissionLine::WriteConfig(const TModuleConfig& Config)
{
    const TConfigChainValues Values(Config);
    Run(SaveChain, Values, {});
    TModuleReading ReadBack = ReadInto(WrittenFields(SaveChain, SaveChain.size()));
    std::vector<std::string> Differences = DifferingFields(Config, ReadBack.Config);
    return {std::move(ReadBack), std::move(Differences)};
}
