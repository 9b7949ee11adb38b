// SPDX-License-Identifier: MIT
#include "sim/module_simulator.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <utility>

namespace varnolink::sim {

namespace {

using std::chrono::nanoseconds;

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// Time one character takes on the line at 10 bits per character (start bit,
// 8 data bits, stop bit); zero when no line time is emulated.
nanoseconds CharacterTime(unsigned baud) {
    return baud == 0 ? nanoseconds{0} : nanoseconds{10'000'000'000LL / baud};
}

// steady_clock counts CLOCK_MONOTONIC on Linux, the clock of our timerfd.
timespec ToTimespec(TClock::time_point at) {
    const auto sinceEpoch = std::max(nanoseconds{1}, std::chrono::duration_cast<nanoseconds>(at.time_since_epoch()));
    timespec value{};
    value.tv_sec = static_cast<time_t>(sinceEpoch.count() / 1'000'000'000LL);
    value.tv_nsec = static_cast<long>(sinceEpoch.count() % 1'000'000'000LL);
    return value;
}

TSerialEndpoint OpenEndpoint(const SimulatorOptions& options) {
    if (options.devicePath.empty()) {
        return TSerialEndpoint::CreatePseudoTerminal(options.linkPath);
    }
    return TSerialEndpoint::OpenDevice(options.devicePath, options.deviceBaud);
}

enum EventSource : std::uint64_t { kWakeSource = 1, kTimerSource = 2, kLineSource = 3 };

void AddToEpoll(int epollFd, int fd, std::uint32_t events, EventSource source) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = source;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
        ThrowErrno("epoll_ctl ADD");
    }
}

}  // namespace

TModuleSimulator::TModuleSimulator(SimulatorOptions options)
    : Options_(std::move(options)), Endpoint_(OpenEndpoint(Options_)), State_(Options_.state),
      Faults_(Options_.faults), Series_(Options_.series), NoiseSource_(Options_.faults.noise.seed) {
    State_.Validate();
    DevicePath_ = Endpoint_.Path();
    EpollFd_.Reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!EpollFd_) ThrowErrno("epoll_create1");
    WakeFd_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!WakeFd_) ThrowErrno("eventfd");
    TimerFd_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!TimerFd_) ThrowErrno("timerfd_create");
    AddToEpoll(EpollFd_.Get(), WakeFd_.Get(), EPOLLIN, kWakeSource);
    AddToEpoll(EpollFd_.Get(), TimerFd_.Get(), EPOLLIN, kTimerSource);
    AddToEpoll(EpollFd_.Get(), Endpoint_.Fd(), EPOLLIN, kLineSource);
}

TModuleSimulator::~TModuleSimulator() { Stop(); }

void TModuleSimulator::Start() {
    std::lock_guard lifecycle(Lifecycle_);
    if (Thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(Mutex_);
        StopRequested_ = false;
        Running_ = true;
    }
    Thread_ = std::thread([this] { Run(); });
}

void TModuleSimulator::Stop() {
    std::lock_guard lifecycle(Lifecycle_);
    if (!Thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(Mutex_);
        StopRequested_ = true;
    }
    Wake();
    Thread_.join();
}

bool TModuleSimulator::Running() const {
    std::lock_guard lock(Mutex_);
    return Running_;
}

std::vector<std::string> TModuleSimulator::Requests() const {
    std::lock_guard lock(Mutex_);
    std::vector<std::string> frames;
    frames.reserve(Log_.size());
    for (const auto& record : Log_) {
        frames.push_back(record.frame);
    }
    return frames;
}

std::vector<RequestRecord> TModuleSimulator::RequestLog() const {
    std::lock_guard lock(Mutex_);
    return Log_;
}

bool TModuleSimulator::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(Mutex_);
    return Changed_.wait_for(lock, timeout, [&] { return Log_.size() >= count; });
}

void TModuleSimulator::ClearRequests() {
    std::lock_guard lock(Mutex_);
    Log_.clear();
}

ModuleState TModuleSimulator::State() const {
    std::lock_guard lock(Mutex_);
    return State_;
}

void TModuleSimulator::SetState(const ModuleState& state) {
    state.Validate();
    std::lock_guard lock(Mutex_);
    State_ = state;
}

std::size_t TModuleSimulator::ModuleNumber() const {
    std::lock_guard lock(Mutex_);
    return Series_.ModuleNumber(TClock::now());
}

Faults TModuleSimulator::CurrentFaults() const {
    std::lock_guard lock(Mutex_);
    return Faults_;
}

void TModuleSimulator::SetFaults(const Faults& faults) {
    std::lock_guard lock(Mutex_);
    Faults_ = faults;
    RequestsSinceFaults_ = 0;
    NoiseSource_.seed(faults.noise.seed);
}

void TModuleSimulator::HangUp() {
    std::lock_guard lifecycle(Lifecycle_);
    if (Thread_.joinable()) {
        {
            std::lock_guard lock(Mutex_);
            if (HungUp_) {
                return;
            }
            HangUpRequested_ = true;
        }
        Wake();
        {
            std::unique_lock lock(Mutex_);
            Changed_.wait(lock, [this] { return HungUp_ || !Running_; });
            if (HungUp_) {
                return;
            }
        }
        // The thread ended on an error before it got to the request.
        Thread_.join();
    }
    // No thread uses the line: close it here.
    std::lock_guard lock(Mutex_);
    if (!HungUp_) {
        CloseLine();
        HungUp_ = true;
        Changed_.notify_all();
    }
}

bool TModuleSimulator::HungUp() const {
    std::lock_guard lock(Mutex_);
    return HungUp_;
}

bool TModuleSimulator::WaitForHangUp(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(Mutex_);
    return Changed_.wait_for(lock, timeout, [this] { return HungUp_; });
}

std::string TModuleSimulator::LastError() const {
    std::lock_guard lock(Mutex_);
    return LastError_;
}

void TModuleSimulator::Wake() {
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which EAGAIN reports and which
    // still leaves the eventfd readable.
    [[maybe_unused]] const auto written = ::write(WakeFd_.Get(), &one, sizeof one);
}

void TModuleSimulator::Run() {
    try {
        RunLoop();
    } catch (const std::exception& error) {
        std::lock_guard lock(Mutex_);
        LastError_ = error.what();
    }
    std::lock_guard lock(Mutex_);
    Running_ = false;
    Changed_.notify_all();
}

void TModuleSimulator::RunLoop() {
    std::array<epoll_event, 8> events{};
    for (;;) {
        ArmTimer();
        const int count = ::epoll_wait(EpollFd_.Get(), events.data(), static_cast<int>(events.size()), -1);
        if (count < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("epoll_wait");
        }
        const TClock::time_point now = TClock::now();
        bool lineReadable = false;
        bool lineWritable = false;
        for (int i = 0; i < count; ++i) {
            const auto& event = events[static_cast<std::size_t>(i)];
            switch (event.data.u64) {
                case kWakeSource: {
                    std::uint64_t value = 0;
                    [[maybe_unused]] const auto read = ::read(WakeFd_.Get(), &value, sizeof value);
                    break;
                }
                case kTimerSource: {
                    std::uint64_t expirations = 0;
                    [[maybe_unused]] const auto read = ::read(TimerFd_.Get(), &expirations, sizeof expirations);
                    break;
                }
                case kLineSource:
                    lineReadable = (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
                    lineWritable = (event.events & EPOLLOUT) != 0;
                    break;
                default:
                    break;
            }
        }
        {
            std::lock_guard lock(Mutex_);
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
        if (lineReadable) {
            ReadLine(now);
        }
        if (Assembler_.AwaitingLineFeed() &&
            TClock::now() >= Assembler_.CarriageReturnAt() + Options_.lineEndWait) {
            std::vector<ReceivedFrame> frames;
            Assembler_.FinishWithoutLineFeed(TClock::now(), frames);
            for (const auto& frame : frames) HandleFrame(frame);
        }
        if (lineWritable || !WatchingWritable_) {
            FlushOutput(TClock::now());
        }
    }
}

void TModuleSimulator::ReadLine(TClock::time_point now) {
    std::array<char, 512> buffer{};
    std::vector<ReceivedFrame> frames;
    while (Endpoint_.IsOpen()) {
        const ssize_t got = ::read(Endpoint_.Fd(), buffer.data(), buffer.size());
        if (got > 0) {
            Assembler_.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)), now, frames);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // End of file or EIO: the line is gone (a device unplugged; a
        // pseudo-terminal cannot get here while we hold its slave open).
        LineFailed("read from the line", got == 0 ? EIO : errno);
        break;
    }
    for (const auto& frame : frames) {
        HandleFrame(frame);
    }
}

void TModuleSimulator::HandleFrame(const ReceivedFrame& frame) {
    RequestRecord record;
    std::vector<OutputPiece> pieces;
    TClock::time_point start;
    {
        std::lock_guard lock(Mutex_);
        ModuleAnswer answer{RequestOutcome::kNoModule, -1, {}};
        std::size_t module = 0;
        if (Series_.Attach(frame.completedAt, State_)) {
            module = Series_.ModuleNumber(frame.completedAt);
            answer = AnswerRequest(frame.bytes, State_);
            Series_.Shape(frame.bytes, frame.completedAt, answer, State_);
        } else if (const auto request = ParseRequest(frame.bytes)) {
            answer.code = request->code;
        }
        ++RequestsSinceFaults_;
        const Faults& faults = Faults_;
        if (answer.outcome == RequestOutcome::kAnswered &&
            ((faults.silentFromRequest != 0 && RequestsSinceFaults_ >= faults.silentFromRequest) ||
             faults.silentCodes.contains(answer.code))) {
            answer.outcome = RequestOutcome::kSilenced;
        }
        record = RequestRecord{frame.bytes, answer.outcome, answer.code, module, frame.firstByteAt, frame.completedAt};
        Log_.push_back(record);
        Changed_.notify_all();
        if (answer.outcome == RequestOutcome::kAnswered) {
            pieces = BuildTransmission(answer.line, faults, Options_.lineFeedAfterReply, NoiseSource_);
            const nanoseconds characterTime = CharacterTime(faults.lineBaud);
            const nanoseconds requestLineTime = characterTime * static_cast<nanoseconds::rep>(frame.bytes.size());
            start = std::max(frame.completedAt, frame.firstByteAt + requestLineTime) + faults.replyDelay;
        }
    }
    if (Options_.onRequest) {
        Options_.onRequest(record);
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        Output_.push_back({std::move(pieces[i].bytes), i == 0 ? start : TClock::time_point{}, pieces[i].gapBefore});
    }
}

void TModuleSimulator::FlushOutput(TClock::time_point now) {
    nanoseconds characterTime;
    {
        std::lock_guard lock(Mutex_);
        characterTime = CharacterTime(Faults_.lineBaud);
    }
    while (!Output_.empty() && Endpoint_.IsOpen()) {
        PendingOutput& front = Output_.front();
        const TClock::time_point due = std::max(front.notBefore, LineFreeAt_ + front.gapBefore);
        if (due > now) {
            break;
        }
        // With line time emulated the bytes go out one at a time, a
        // character time apart, as a UART would send them.
        const std::size_t length = characterTime.count() > 0 ? 1 : front.bytes.size();
        const ssize_t written = ::write(Endpoint_.Fd(), front.bytes.data(), length);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                WatchWritable(true);
                return;
            }
            LineFailed("write to the line", errno);
            return;
        }
        now = TClock::now();
        LineFreeAt_ = now + characterTime * written;
        front.bytes.erase(0, static_cast<std::size_t>(written));
        front.notBefore = {};
        front.gapBefore = nanoseconds{0};
        if (front.bytes.empty()) {
            Output_.pop_front();
        }
    }
    WatchWritable(false);
}

void TModuleSimulator::ArmTimer() {
    std::optional<TClock::time_point> deadline;
    if (Endpoint_.IsOpen()) {
        if (!Output_.empty() && !WatchingWritable_) {
            const PendingOutput& front = Output_.front();
            deadline = std::max(front.notBefore, LineFreeAt_ + front.gapBefore);
        }
        if (Assembler_.AwaitingLineFeed()) {
            const auto lineEndDeadline = Assembler_.CarriageReturnAt() + Options_.lineEndWait;
            deadline = deadline ? std::min(*deadline, lineEndDeadline) : lineEndDeadline;
        }
    }
    itimerspec setting{};  // all zero disarms
    if (deadline) {
        setting.it_value = ToTimespec(*deadline);
    }
    if (::timerfd_settime(TimerFd_.Get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0) {
        ThrowErrno("timerfd_settime");
    }
}

void TModuleSimulator::WatchWritable(bool watch) {
    if (watch == WatchingWritable_ || !Endpoint_.IsOpen()) {
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN | (watch ? EPOLLOUT : 0u);
    event.data.u64 = kLineSource;
    if (::epoll_ctl(EpollFd_.Get(), EPOLL_CTL_MOD, Endpoint_.Fd(), &event) != 0) {
        ThrowErrno("epoll_ctl MOD");
    }
    WatchingWritable_ = watch;
}

void TModuleSimulator::CloseLine() {
    if (Endpoint_.IsOpen()) {
        ::epoll_ctl(EpollFd_.Get(), EPOLL_CTL_DEL, Endpoint_.Fd(), nullptr);
    }
    Endpoint_.Close();
    Output_.clear();
    Assembler_ = TRequestAssembler{};
    WatchingWritable_ = false;
}

void TModuleSimulator::LineFailed(const std::string& what, int error) {
    CloseLine();
    std::lock_guard lock(Mutex_);
    LastError_ = what + ": " + std::strerror(error);
    HungUp_ = true;
    Changed_.notify_all();
}

}  // namespace varnolink::sim
