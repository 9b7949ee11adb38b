// SPDX-License-Identifier: MIT
#include "sim/module_simulator.h"
#include "sim/event_wait.h"
#include "sim/thread_end.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace varnolink::sim {

namespace {

using std::chrono::nanoseconds;

// Time one character takes on the line at 10 bits per character (start bit,
// 8 data bits, stop bit); zero when no line time is emulated.
nanoseconds CharacterTime(unsigned Baud)
{
    return Baud == 0 ? nanoseconds{0} : nanoseconds{10'000'000'000LL / Baud};
}

TSerialEndpoint OpenEndpoint(const TSimulatorOptions& Options)
{
    if (Options.DevicePath.empty()) {
        return TSerialEndpoint::CreatePseudoTerminal(Options.LinkPath);
    }
    return TSerialEndpoint::OpenDevice(Options.DevicePath, Options.DeviceBaud);
}

enum TEventSource : std::uint64_t { WakeSource = 1, TimerSource = 2, LineSource = 3 };

}  // namespace

TModuleSimulator::TModuleSimulator(TSimulatorOptions Options)
    : Options_(std::move(Options)),
      Endpoint_(OpenEndpoint(Options_)),
      Loop_(WakeSource, TimerSource),
      State_(Options_.State),
      Faults_(Options_.Faults),
      Series_(Options_.Series),
      NoiseSource_(Options_.Faults.Noise.Seed)
{
    State_.Validate();
    if (Options_.LineSpeed != 0 && !IsStandardBaudRate(Options_.LineSpeed)) {
        throw std::invalid_argument("not a standard line speed: " + std::to_string(Options_.LineSpeed));
    }
    DevicePath_ = Endpoint_.Path();
    Loop_.Add(Endpoint_.Fd(), EPOLLIN, LineSource);
}

TModuleSimulator::~TModuleSimulator()
{
    Stop();
}

void TModuleSimulator::Start()
{
    std::lock_guard Lifecycle(Lifecycle_);
    if (Thread_.joinable()) {
        return;
    }
    {
        std::lock_guard Lock(Mutex_);
        StopRequested_ = false;
        Running_ = true;
    }
    Thread_ = std::thread([this] { Run(); });
}

void TModuleSimulator::Stop()
{
    std::lock_guard Lifecycle(Lifecycle_);
    if (!Thread_.joinable()) {
        return;
    }
    {
        std::lock_guard Lock(Mutex_);
        StopRequested_ = true;
    }
    Wake();
    Thread_.join();
}

bool TModuleSimulator::Running() const
{
    std::lock_guard Lock(Mutex_);
    return Running_;
}

std::vector<std::string> TModuleSimulator::Requests() const
{
    std::lock_guard Lock(Mutex_);
    std::vector<std::string> Frames;
    Frames.reserve(Log_.size());
    for (const auto& Record : Log_) {
        Frames.push_back(Record.Frame);
    }
    return Frames;
}

std::vector<TRequestRecord> TModuleSimulator::RequestLog() const
{
    std::lock_guard Lock(Mutex_);
    return Log_;
}

bool TModuleSimulator::WaitForRequests(std::size_t Count, std::chrono::milliseconds Timeout) const
{
    std::unique_lock Lock(Mutex_);
    return Changed_.wait_for(Lock, Timeout, [&] { return Log_.size() >= Count; });
}

void TModuleSimulator::ClearRequests()
{
    std::lock_guard Lock(Mutex_);
    Log_.clear();
}

TModuleState TModuleSimulator::State() const
{
    std::lock_guard Lock(Mutex_);
    return State_;
}

void TModuleSimulator::SetState(const TModuleState& State)
{
    State.Validate();
    std::lock_guard Lock(Mutex_);
    State_ = State;
}

std::size_t TModuleSimulator::ModuleNumber() const
{
    std::lock_guard Lock(Mutex_);
    return Series_.ModuleNumber(TClock::now());
}

TFaults TModuleSimulator::CurrentFaults() const
{
    std::lock_guard Lock(Mutex_);
    return Faults_;
}

void TModuleSimulator::SetFaults(const TFaults& Faults)
{
    std::lock_guard Lock(Mutex_);
    Faults_ = Faults;
    RequestsSinceFaults_ = 0;
    NoiseSource_.seed(Faults.Noise.Seed);
}

void TModuleSimulator::HangUp()
{
    std::lock_guard Lifecycle(Lifecycle_);
    if (Thread_.joinable()) {
        {
            std::lock_guard Lock(Mutex_);
            if (HungUp_) {
                return;
            }
            HangUpRequested_ = true;
        }
        Wake();
        {
            std::unique_lock Lock(Mutex_);
            Changed_.wait(Lock, [this] { return HungUp_ || !Running_; });
            if (HungUp_) {
                return;
            }
        }
        // The thread ended on an error before it got to the request.
        Thread_.join();
    }
    // No thread uses the line: close it here.
    std::lock_guard Lock(Mutex_);
    if (!HungUp_) {
        CloseLine();
        HungUp_ = true;
        Changed_.notify_all();
    }
}

bool TModuleSimulator::HungUp() const
{
    std::lock_guard Lock(Mutex_);
    return HungUp_;
}

bool TModuleSimulator::WaitForHangUp(std::chrono::milliseconds Timeout) const
{
    std::unique_lock Lock(Mutex_);
    return Changed_.wait_for(Lock, Timeout, [this] { return HungUp_; });
}

std::string TModuleSimulator::LastError() const
{
    std::lock_guard Lock(Mutex_);
    return LastError_;
}

void TModuleSimulator::Wake()
{
    Loop_.Wake();
}

void TModuleSimulator::Run()
{
    RunKeepingError([this] { RunLoop(); }, Mutex_, Changed_, Running_, LastError_);
}

void TModuleSimulator::RunLoop()
{
    std::array<epoll_event, 8> Events{};
    for (;;) {
        ArmTimer();
        const int Count = Loop_.Wait(Events);
        const TClock::time_point Now = TClock::now();
        bool LineReadable = false;
        bool LineWritable = false;
        for (int I = 0; I < Count; ++I) {
            const auto& Event = Events[static_cast<std::size_t>(I)];
            switch (Event.data.u64) {
            case WakeSource:
                Loop_.TakeWake();
                break;
            case TimerSource:
                Loop_.TakeTimer();
                break;
            case LineSource:
                LineReadable = (Event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
                LineWritable = (Event.events & EPOLLOUT) != 0;
                break;
            default:
                break;
            }
        }
        {
            std::lock_guard Lock(Mutex_);
            if (StopRequested_) {
                return;
            }
            if (HangUpRequested_ && !HungUp_) {
                CloseLine();
                HungUp_ = true;
                Changed_.notify_all();
            }
        }
        if (!Endpoint_.IsOpen()) {
            continue;
        }
        if (LineReadable) {
            ReadLine(Now);
        }
        if (Assembler_.AwaitingLineFeed() && TClock::now() >= Assembler_.CarriageReturnAt() + Options_.LineEndWait) {
            std::vector<TReceivedFrame> Frames;
            Assembler_.FinishWithoutLineFeed(TClock::now(), Frames);
            for (const auto& Frame : Frames)
                HandleFrame(Frame);
        }
        if (LineWritable || !WatchingWritable_) {
            FlushOutput(TClock::now());
        }
    }
}

void TModuleSimulator::ReadLine(TClock::time_point Now)
{
    std::array<char, 512> Buffer{};
    std::vector<TReceivedFrame> Frames;
    bool Echo = false;
    {
        std::lock_guard Lock(Mutex_);
        Echo = Faults_.Echo;
    }
    while (Endpoint_.IsOpen()) {
        const ssize_t Got = ::read(Endpoint_.Fd(), Buffer.data(), Buffer.size());
        if (Got > 0) {
            const std::string_view Bytes(Buffer.data(), static_cast<std::size_t>(Got));
            if (Echo) {
                EchoPending_ += Bytes;
            }
            Assembler_.Feed(Bytes, Now, Frames);
            continue;
        }
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // End of file or EIO: the line is gone (a device unplugged; a
        // pseudo-terminal cannot get here while we hold its slave open).
        LineFailed("read from the line", Got == 0 ? EIO : errno);
        break;
    }
    for (const auto& Frame : Frames) {
        HandleFrame(Frame);
    }
}

void TModuleSimulator::HandleFrame(const TReceivedFrame& Frame)
{
    TRequestRecord Record;
    std::vector<TOutputPiece> Pieces;
    TClock::time_point Start;
    // The host's speed as it is now that the frame is complete.
    const bool RightSpeed = Options_.LineSpeed == 0 || Endpoint_.LineSpeed() == Options_.LineSpeed;
    {
        std::lock_guard Lock(Mutex_);
        TModuleAnswer Answer{TRequestOutcome::NoModule, -1, {}};
        std::string TwinLine;
        std::size_t Module = 0;
        const auto Unanswered = [&](TRequestOutcome Outcome) {
            Answer.Outcome = Outcome;
            if (const auto Request = ParseRequest(Frame.Bytes)) {
                Answer.Code = Request->Code;
            }
        };
        if (!Series_.Attach(Frame.CompletedAt, State_)) {
            Unanswered(TRequestOutcome::NoModule);
        } else if (!RightSpeed) {
            Module = Series_.ModuleNumber(Frame.CompletedAt);
            Unanswered(TRequestOutcome::WrongSpeed);
        } else {
            Module = Series_.ModuleNumber(Frame.CompletedAt);
            // The twin takes the request in the state the module had before it.
            TModuleState TwinState = State_;
            TwinState.RemoteId = static_cast<std::uint8_t>(State_.RemoteId + 1);
            // A write the module does not keep is answered on a copy.
            const auto Request = ParseRequest(Frame.Bytes);
            TModuleState Unkept = State_;
            const bool Keeps = !Request || !Request->Write || !Faults_.UnstoredCodes.contains(Request->Code);
            Answer = AnswerRequest(Frame.Bytes, Keeps ? State_ : Unkept);
            Series_.Shape(Frame.Bytes, Frame.CompletedAt, Answer, State_);
            if (Faults_.Twin) {
                TwinLine = AnswerRequest(Frame.Bytes, TwinState).Line;
            }
        }
        ++RequestsSinceFaults_;
        const TFaults& Faults = Faults_;
        if (Answer.Outcome == TRequestOutcome::Answered &&
            ((Faults.SilentFromRequest != 0 && RequestsSinceFaults_ >= Faults.SilentFromRequest) ||
             Faults.SilentCodes.contains(Answer.Code))) {
            Answer.Outcome = TRequestOutcome::Silenced;
        }
        Record = TRequestRecord{Frame.Bytes, Answer.Outcome, Answer.Code, Module, Frame.FirstByteAt, Frame.CompletedAt};
        Log_.push_back(Record);
        Changed_.notify_all();
        if (Answer.Outcome == TRequestOutcome::Answered) {
            Pieces = BuildTransmission(Answer.Line, Faults, Options_.LineFeedAfterReply, NoiseSource_, TwinLine);
            const nanoseconds OneCharacter = CharacterTime(Faults.LineBaud);
            const nanoseconds RequestLineTime = OneCharacter * static_cast<nanoseconds::rep>(Frame.Bytes.size());
            Start = std::max(Frame.CompletedAt, Frame.FirstByteAt + RequestLineTime) + Faults.ReplyDelay;
        }
    }
    if (Options_.OnRequest) {
        Options_.OnRequest(Record);
    }
    for (std::size_t I = 0; I < Pieces.size(); ++I) {
        Output_.push_back({std::move(Pieces[I].Bytes), I == 0 ? Start : TClock::time_point{}, Pieces[I].GapBefore});
    }
}

// Sends the pending echo; false while the line has no room for all of it
// (writable is then watched) or once the line failed.
bool TModuleSimulator::FlushEcho()
{
    while (!EchoPending_.empty() && Endpoint_.IsOpen()) {
        const ssize_t Written = ::write(Endpoint_.Fd(), EchoPending_.data(), EchoPending_.size());
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                WatchWritable(true);
                return false;
            }
            LineFailed("write to the line", errno);
            return false;
        }
        EchoPending_.erase(0, static_cast<std::size_t>(Written));
    }
    return Endpoint_.IsOpen();
}

void TModuleSimulator::FlushOutput(TClock::time_point Now)
{
    // The echo is the line's, not the module's: it goes out at once, ahead
    // of replies still waiting for their time, and takes no line time.
    if (!FlushEcho()) {
        return;
    }
    nanoseconds OneCharacter;
    {
        std::lock_guard Lock(Mutex_);
        OneCharacter = CharacterTime(Faults_.LineBaud);
    }
    while (!Output_.empty() && Endpoint_.IsOpen()) {
        TPendingOutput& Front = Output_.front();
        const TClock::time_point Due = std::max(Front.NotBefore, LineFreeAt_ + Front.GapBefore);
        if (Due > Now) {
            break;
        }
        // With line time emulated the bytes go out one at a time, a
        // character time apart, as a UART would send them.
        const std::size_t Length = OneCharacter.count() > 0 ? 1 : Front.Bytes.size();
        const ssize_t Written = ::write(Endpoint_.Fd(), Front.Bytes.data(), Length);
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                WatchWritable(true);
                return;
            }
            LineFailed("write to the line", errno);
            return;
        }
        Now = TClock::now();
        LineFreeAt_ = Now + OneCharacter * Written;
        Front.Bytes.erase(0, static_cast<std::size_t>(Written));
        Front.NotBefore = {};
        Front.GapBefore = nanoseconds{0};
        if (Front.Bytes.empty()) {
            Output_.pop_front();
        }
    }
    WatchWritable(false);
}

void TModuleSimulator::ArmTimer()
{
    std::optional<TClock::time_point> Deadline;
    if (Endpoint_.IsOpen()) {
        if (!Output_.empty() && !WatchingWritable_) {
            const TPendingOutput& Front = Output_.front();
            Deadline = std::max(Front.NotBefore, LineFreeAt_ + Front.GapBefore);
        }
        if (Assembler_.AwaitingLineFeed()) {
            const auto LineEndDeadline = Assembler_.CarriageReturnAt() + Options_.LineEndWait;
            Deadline = Deadline ? std::min(*Deadline, LineEndDeadline) : LineEndDeadline;
        }
    }
    Loop_.ArmAt(Deadline);
}

void TModuleSimulator::WatchWritable(bool Watch)
{
    if (Watch == WatchingWritable_ || !Endpoint_.IsOpen()) {
        return;
    }
    Loop_.Modify(Endpoint_.Fd(), EPOLLIN | (Watch ? EPOLLOUT : 0u), LineSource);
    WatchingWritable_ = Watch;
}

void TModuleSimulator::CloseLine()
{
    if (Endpoint_.IsOpen()) {
        ::epoll_ctl(Loop_.Fd(), EPOLL_CTL_DEL, Endpoint_.Fd(), nullptr);
    }
    Endpoint_.Close();
    Output_.clear();
    EchoPending_.clear();
    Assembler_ = TRequestAssembler{};
    WatchingWritable_ = false;
}

void TModuleSimulator::LineFailed(const std::string& What, int Error)
{
    CloseLine();
    std::lock_guard Lock(Mutex_);
    LastError_ = What + ": " + std::strerror(Error);
    HungUp_ = true;
    Changed_.notify_all();
}

}  // namespace varnolink::sim
