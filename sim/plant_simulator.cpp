// SPDX-License-Identifier: MIT
#include "sim/plant_simulator.h"
#include "sim/event_wait.h"
#include "sim/thread_end.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "sim/module_behaviour.h"
#include "sim/request_assembler.h"

namespace varnolink::sim {

namespace {

using std::chrono::nanoseconds;

// One character on the plant's lines: 10 bits (start, 8 data, stop) at 9600 baud.
constexpr nanoseconds PlantCharacterTime{10'000'000'000LL / 9600};
// The baud index of 9600 baud, the rate of every line of the plant.
constexpr int PlantBaudIndex = 3;
// How long a frame that ended with CR waits for its LF before it is taken
// without one (the same wait as TSimulatorOptions::LineEndWait's default).
constexpr std::chrono::milliseconds LineEndWait{100};
// The range a picked run of ports lies in, and how many places are tried.
constexpr unsigned PickLowest = 20000;
constexpr unsigned PickHighest = 60000;
constexpr int PickAttempts = 64;
// Descriptors the plant needs besides a listener and a connection per module.
constexpr std::size_t OwnDescriptors = 64;

constexpr std::array<const char*, 8> BaudRates{"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};
constexpr std::array<const char*, 4> BiosVersions{"1.00a", "1.00b", "1.01a", "1.02c"};
constexpr std::array<int, PortCount> PortDigits{0, 1, 2, 4, 5};

enum TEventKind : std::uint64_t { WakeEvent = 0, TimerEvent = 1, ListenerEvent = 2, ConnectionEvent = 3 };

std::uint64_t EventTag(TEventKind Kind, std::size_t Index)
{
    return (static_cast<std::uint64_t>(Kind) << 32) | Index;
}

// A byte spread from a module number and a salt, so that neighbouring
// modules get unrelated port bytes.
std::uint8_t MixedByte(std::size_t Number, std::uint32_t Salt)
{
    std::uint32_t Value = static_cast<std::uint32_t>(Number) * 0x9E3779B1u + Salt * 0x85EBCA77u;
    Value ^= Value >> 15;
    Value *= 0x2C1B3C6Du;
    Value ^= Value >> 12;
    return static_cast<std::uint8_t>(Value >> 24);
}

in_addr ResolveHost(const std::string& Host)
{
    in_addr Address{};
    if (::inet_pton(AF_INET, Host.c_str(), &Address) == 1) {
        return Address;
    }
    addrinfo Hints{};
    Hints.ai_family = AF_INET;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* Found = nullptr;
    const int Error = ::getaddrinfo(Host.c_str(), nullptr, &Hints, &Found);
    if (Error != 0 || Found == nullptr) {
        throw std::invalid_argument("cannot resolve host \"" + Host +
                                    "\" to an IPv4 address: " + (Error != 0 ? ::gai_strerror(Error) : "no address"));
    }
    Address = reinterpret_cast<const sockaddr_in*>(Found->ai_addr)->sin_addr;
    ::freeaddrinfo(Found);
    return Address;
}

// A listening socket on Address:Port, or the errno of the step that failed.
int TryListen(in_addr Address, std::uint16_t Port, TUniqueFd& Listener)
{
    TUniqueFd Socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!Socket) {
        return errno;
    }
    const int On = 1;
    if (::setsockopt(Socket.Get(), SOL_SOCKET, SO_REUSEADDR, &On, sizeof On) != 0) {
        return errno;
    }
    sockaddr_in Local{};
    Local.sin_family = AF_INET;
    Local.sin_addr = Address;
    Local.sin_port = htons(Port);
    if (::bind(Socket.Get(), reinterpret_cast<const sockaddr*>(&Local), sizeof Local) != 0 ||
        ::listen(Socket.Get(), SOMAXCONN) != 0) {
        return errno;
    }
    Listener = std::move(Socket);
    return 0;
}

void CheckModuleNumbers(const std::set<std::size_t>& Numbers, std::size_t Count, const char* What)
{
    if (!Numbers.empty() && (*Numbers.begin() == 0 || *Numbers.rbegin() > Count)) {
        throw std::invalid_argument(std::string(What) + " names a module outside 1.." + std::to_string(Count));
    }
}

// "module-007": the number with at least three digits, so that the name
// depends on the number alone.
std::string ModuleName(std::size_t Number)
{
    const std::string Digits = std::to_string(Number);
    return "module-" + std::string(3 - std::min<std::size_t>(3, Digits.size()), '0') + Digits;
}

void WriteTextFile(const std::filesystem::path& Path, const std::string& Text)
{
    std::ofstream File(Path, std::ios::binary | std::ios::trunc);
    File << Text;
    File.close();
    if (!File) {
        throw std::runtime_error("cannot write " + Path.string() + ": " + std::strerror(errno));
    }
}

// A reply waiting for its moment on the line.
struct TPendingReply {
    TClock::time_point At;
    std::string Bytes;
};

}  // namespace

struct TPlantSimulator::TModule {
    // Fixed once the plant is constructed.
    std::uint16_t Port = 0;
    bool Drop = false;
    TUniqueFd Listener;

    // Owned by the plant's thread.
    TUniqueFd Connection;
    std::uint64_t Serial = 0;  // changes whenever the connection closes; stamps deadlines
    TRequestAssembler Assembler;
    std::size_t RequestsOnConnection = 0;
    TClock::time_point LineFreeAt{};
    std::deque<TPendingReply> Replies;
    std::string Unsent;  // bytes the socket did not take yet
    bool WatchingWritable = false;

    // Shared, under the plant's mutex.
    TModuleState State;
    std::vector<std::string> Requests;
    std::size_t Connections = 0;
    bool Silent = false;
    bool DropRequested = false;
};

struct TPlantSimulator::TDeadline {
    TClock::time_point At;
    std::size_t Index;
    std::uint64_t Serial;

    bool operator>(const TDeadline& Other) const { return At > Other.At; }
};

TModuleState PlantModuleState(std::size_t Number)
{
    if (Number == 0) {
        throw std::out_of_range("plant modules count from 1");
    }
    TModuleState State;
    State.Status = 0x00;
    State.RemoteId = static_cast<std::uint8_t>(1 + (Number - 1) % 255);
    State.BaudIndex = PlantBaudIndex;
    State.BiosVersion = BiosVersions[(Number - 1) % BiosVersions.size()];
    // P0 and P1 direction hold the number itself, so no two modules of up
    // to 65535 hold the same configuration.
    State.Directions[0] = static_cast<std::uint8_t>(Number & 0xFF);
    State.Directions[1] = static_cast<std::uint8_t>(((Number >> 8) & 0xFF) ^ 0x3C);
    for (std::size_t Port = 2; Port < PortCount; ++Port) {
        State.Directions[Port] = MixedByte(Number, static_cast<std::uint32_t>(Port));
    }
    for (std::size_t Port = 0; Port < PortCount; ++Port) {
        State.Defaults[Port] = MixedByte(Number, static_cast<std::uint32_t>(PortCount + Port));
    }
    return State;
}

TModuleState PlantDifferingState(std::size_t Number)
{
    TModuleState State = PlantModuleState(Number);
    State.Directions[0] = static_cast<std::uint8_t>(~State.Directions[0]);
    return State;
}

std::size_t RaiseDescriptorLimit(std::size_t Needed)
{
    rlimit Limit{};
    if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0) {
        ThrowErrno("getrlimit RLIMIT_NOFILE");
    }
    if (Limit.rlim_cur != RLIM_INFINITY && Limit.rlim_cur < Needed && Limit.rlim_cur < Limit.rlim_max) {
        Limit.rlim_cur = Limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &Limit) != 0) {
            ThrowErrno("setrlimit RLIMIT_NOFILE");
        }
    }
    return Limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(Limit.rlim_cur);
}

TPlantSimulator::TPlantSimulator(TPlantOptions Options)
    : Options_(std::move(Options)), Loop_(EventTag(WakeEvent, 0), EventTag(TimerEvent, 0))
{
    const std::size_t Count = Options_.Count;
    if (Count == 0) {
        throw std::invalid_argument("a plant needs at least one module");
    }
    if (Options_.FirstPort != 0 && Options_.FirstPort + Count - 1 > 65535) {
        throw std::invalid_argument("ports " + std::to_string(Options_.FirstPort) + ".." +
                                    std::to_string(Options_.FirstPort + Count - 1) + " run past 65535");
    }
    if (Options_.FirstPort == 0 && Count > PickHighest - PickLowest) {
        throw std::invalid_argument("cannot pick " + std::to_string(Count) + " ports between " +
                                    std::to_string(PickLowest) + " and " + std::to_string(PickHighest));
    }
    CheckModuleNumbers(Options_.Differ, Count, "the differing list");
    CheckModuleNumbers(Options_.Silent, Count, "the silent list");
    CheckModuleNumbers(Options_.Drop, Count, "the drop list");
    if (!Options_.Drop.empty() && Options_.DropAfterRequests == 0) {
        throw std::invalid_argument("modules that drop their connection need a request count from 1");
    }
    RaiseDescriptorLimit(2 * Count + OwnDescriptors);

    Modules_.reserve(Count);
    for (std::size_t Number = 1; Number <= Count; ++Number) {
        auto Module = std::make_unique<TModule>();
        Module->State = Options_.Differ.contains(Number) ? PlantDifferingState(Number) : PlantModuleState(Number);
        Module->Silent = Options_.Silent.contains(Number);
        Module->Drop = Options_.Drop.contains(Number);
        Modules_.push_back(std::move(Module));
    }

    const in_addr Address = ResolveHost(Options_.Host);
    const auto ListenAll = [&](unsigned First) {
        for (std::size_t Index = 0; Index < Count; ++Index) {
            const auto Port = static_cast<std::uint16_t>(First + Index);
            if (const int Error = TryListen(Address, Port, Modules_[Index]->Listener)) {
                for (std::size_t Bound = 0; Bound < Index; ++Bound) {
                    Modules_[Bound]->Listener.Reset();
                }
                return std::make_pair(Error, Port);
            }
            Modules_[Index]->Port = Port;
        }
        return std::make_pair(0, std::uint16_t{0});
    };
    const auto ThrowBindError = [&](int Error, std::uint16_t Port) {
        throw std::system_error(Error, std::generic_category(),
                                "cannot listen on " + Options_.Host + ":" + std::to_string(Port));
    };
    if (Options_.FirstPort != 0) {
        if (const auto [Error, Port] = ListenAll(Options_.FirstPort); Error != 0) {
            ThrowBindError(Error, Port);
        }
    } else {
        std::mt19937 Random(std::random_device{}());
        std::uniform_int_distribution<unsigned> Base(PickLowest, PickHighest - static_cast<unsigned>(Count));
        for (int Attempt = 1;; ++Attempt) {
            const auto [Error, Port] = ListenAll(Base(Random));
            if (Error == 0) {
                break;
            }
            if (Error != EADDRINUSE || Attempt == PickAttempts) {
                ThrowBindError(Error, Port);
            }
        }
    }

    SpareFd_.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (std::size_t Index = 0; Index < Count; ++Index) {
        Loop_.Add(Modules_[Index]->Listener.Get(), EPOLLIN, EventTag(ListenerEvent, Index));
    }

    Running_ = true;
    Thread_ = std::thread([this] { Run(); });
}

TPlantSimulator::~TPlantSimulator()
{
    {
        std::lock_guard Lock(Mutex_);
        StopRequested_ = true;
    }
    Loop_.Wake();
    Thread_.join();
}

TPlantSimulator::TModule& TPlantSimulator::Module(std::size_t Number) const
{
    if (Number == 0 || Number > Modules_.size()) {
        throw std::out_of_range("no plant module " + std::to_string(Number) + " (the plant has 1.." +
                                std::to_string(Modules_.size()) + ")");
    }
    return *Modules_[Number - 1];
}

std::uint16_t TPlantSimulator::Port(std::size_t Number) const
{
    return Module(Number).Port;
}

std::string TPlantSimulator::PortName(std::size_t Number) const
{
    return "socket://" + Options_.Host + ":" + std::to_string(Port(Number));
}

TModuleState TPlantSimulator::State(std::size_t Number) const
{
    const TModule& Found = Module(Number);
    std::lock_guard Lock(Mutex_);
    return Found.State;
}

void TPlantSimulator::SetState(std::size_t Number, const TModuleState& State)
{
    TModule& Found = Module(Number);
    State.Validate();
    std::lock_guard Lock(Mutex_);
    Found.State = State;
}

std::vector<std::string> TPlantSimulator::Requests(std::size_t Number) const
{
    const TModule& Found = Module(Number);
    std::lock_guard Lock(Mutex_);
    return Found.Requests;
}

bool TPlantSimulator::WaitForRequests(std::size_t Number, std::size_t Count, std::chrono::milliseconds Timeout) const
{
    const TModule& Found = Module(Number);
    std::unique_lock Lock(Mutex_);
    return Changed_.wait_for(Lock, Timeout, [&] { return Found.Requests.size() >= Count; });
}

std::size_t TPlantSimulator::Connections(std::size_t Number) const
{
    const TModule& Found = Module(Number);
    std::lock_guard Lock(Mutex_);
    return Found.Connections;
}

void TPlantSimulator::SetSilent(std::size_t Number, bool Silent)
{
    TModule& Found = Module(Number);
    std::lock_guard Lock(Mutex_);
    Found.Silent = Silent;
}

void TPlantSimulator::DropNow(std::size_t Number)
{
    TModule& Found = Module(Number);
    std::unique_lock Lock(Mutex_);
    Found.DropRequested = true;
    const std::uint64_t Ticket = ++DropsRequested_;
    Loop_.Wake();
    Changed_.wait(Lock, [&] { return DropsDone_ >= Ticket || !Running_; });
}

std::string TPlantSimulator::LastError() const
{
    std::lock_guard Lock(Mutex_);
    return LastError_;
}

void TPlantSimulator::Run()
{
    RunKeepingError([this] { RunLoop(); }, Mutex_, Changed_, Running_, LastError_);
}

void TPlantSimulator::RunLoop()
{
    std::array<epoll_event, 256> Events{};
    for (;;) {
        ArmTimer();
        const int Count = Loop_.Wait(Events);
        for (int I = 0; I < Count; ++I) {
            const epoll_event& Event = Events[static_cast<std::size_t>(I)];
            const auto Kind = static_cast<TEventKind>(Event.data.u64 >> 32);
            const auto Index = static_cast<std::size_t>(Event.data.u64 & 0xFFFFFFFFu);
            switch (Kind) {
            case WakeEvent:
                Loop_.TakeWake();
                break;
            case TimerEvent:
                Loop_.TakeTimer();
                break;
            case ListenerEvent:
                Accept(Index);
                break;
            case ConnectionEvent:
                // An event may concern a connection that an accept earlier in
                // this batch replaced; the new one is then merely polled.
                if ((Event.events & EPOLLOUT) != 0) {
                    WriteOut(Index);
                }
                if ((Event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                    ReadConnection(Index);
                }
                break;
            }
        }
        {
            std::lock_guard Lock(Mutex_);
            if (StopRequested_) {
                return;
            }
        }
        TakeDropRequests();
        RunTimers(TClock::now());
    }
}

void TPlantSimulator::Accept(std::size_t Index)
{
    TModule& Line = *Modules_[Index];
    for (;;) {
        TUniqueFd Accepted(::accept4(Line.Listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!Accepted) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
                continue;
            }
            if ((errno == EMFILE || errno == ENFILE) && SpareFd_) {
                // Out of descriptors: take the connection with the spare one
                // and close it, so the client learns at once and the listener
                // does not stay readable.
                SpareFd_.Reset();
                TUniqueFd Refused(::accept4(Line.Listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                Refused.Reset();
                SpareFd_.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                continue;
            }
            ThrowErrno("accept on port " + std::to_string(Line.Port));
        }
        CloseConnection(Index);
        const int On = 1;
        // Each reply goes out whole in one send; it must not wait for the
        // acknowledgement of the one before.
        ::setsockopt(Accepted.Get(), IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
        Loop_.Add(Accepted.Get(), EPOLLIN, EventTag(ConnectionEvent, Index));
        Line.Connection = std::move(Accepted);
        std::lock_guard Lock(Mutex_);
        ++Line.Connections;
        Changed_.notify_all();
        // One connection at a time is served: another one waiting keeps the
        // listener readable, and the wait reports it again.
        return;
    }
}

void TPlantSimulator::ReadConnection(std::size_t Index)
{
    TModule& Line = *Modules_[Index];
    std::vector<TReceivedFrame> Frames;
    std::array<char, 512> Buffer{};
    bool Closed = false;
    while (Line.Connection && !Closed) {
        const ssize_t Got = ::read(Line.Connection.Get(), Buffer.data(), Buffer.size());
        if (Got > 0) {
            Line.Assembler.Feed(std::string_view(Buffer.data(), static_cast<std::size_t>(Got)), TClock::now(), Frames);
            // A short read took all there was: the wait (level-triggered)
            // reports what comes later, so no read is spent on EAGAIN.
            if (static_cast<std::size_t>(Got) < Buffer.size())
                break;
        } else if (Got < 0 && errno == EINTR) {
            continue;
        } else if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            // End of stream or a reset: the user has left the line.
            Closed = true;
        }
    }
    // Frames that were complete before the close still reached the module.
    const std::uint64_t Serial = Line.Serial;
    for (const TReceivedFrame& Frame : Frames) {
        if (Line.Serial != Serial) {
            break;  // a drop closed the connection; the rest went with it
        }
        HandleFrame(Index, Frame.Bytes, Frame.CompletedAt);
    }
    if (Line.Serial != Serial) {
        return;
    }
    if (Closed) {
        CloseConnection(Index);
    } else if (Line.Assembler.AwaitingLineFeed()) {
        Schedule(Index, Line.Assembler.CarriageReturnAt() + LineEndWait);
    }
}

void TPlantSimulator::HandleFrame(std::size_t Index, const std::string& Frame, TClock::time_point CompletedAt)
{
    TModule& Line = *Modules_[Index];
    ++Line.RequestsOnConnection;
    const bool DropHere = Line.Drop && Line.RequestsOnConnection == Options_.DropAfterRequests;
    std::string Reply;
    {
        std::lock_guard Lock(Mutex_);
        Line.Requests.push_back(Frame);
        Changed_.notify_all();
        if (!DropHere && !Line.Silent) {
            const TModuleAnswer Answer = AnswerRequest(Frame, Line.State);
            if (Answer.Outcome == TRequestOutcome::Answered) {
                Reply = Answer.Line + "\r";
            }
        }
    }
    if (DropHere) {
        CloseConnection(Index);
        return;
    }
    TClock::time_point At = CompletedAt;
    if (Options_.LineTiming) {
        // The request and its reply occupy the line one after the other.
        const auto Characters = static_cast<nanoseconds::rep>(Frame.size() + Reply.size());
        At = std::max(CompletedAt, Line.LineFreeAt) + PlantCharacterTime * Characters;
        Line.LineFreeAt = At;
    }
    if (Reply.empty()) {
        return;
    }
    Line.Replies.push_back({At, std::move(Reply)});
    if (At <= TClock::now()) {
        SendDue(Index, TClock::now());
    } else {
        Schedule(Index, At);
    }
}

void TPlantSimulator::SendDue(std::size_t Index, TClock::time_point Now)
{
    TModule& Line = *Modules_[Index];
    bool Any = false;
    while (!Line.Replies.empty() && Line.Replies.front().At <= Now) {
        Line.Unsent += Line.Replies.front().Bytes;
        Line.Replies.pop_front();
        Any = true;
    }
    if (Any && !Line.WatchingWritable) {
        WriteOut(Index);
    }
}

void TPlantSimulator::WriteOut(std::size_t Index)
{
    TModule& Line = *Modules_[Index];
    while (Line.Connection && !Line.Unsent.empty()) {
        const ssize_t Sent = ::send(Line.Connection.Get(), Line.Unsent.data(), Line.Unsent.size(), MSG_NOSIGNAL);
        if (Sent >= 0) {
            Line.Unsent.erase(0, static_cast<std::size_t>(Sent));
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            CloseConnection(Index);  // the user is gone
            return;
        }
        break;
    }
    const bool Watch = !Line.Unsent.empty();
    if (Line.Connection && Watch != Line.WatchingWritable) {
        Loop_.Modify(Line.Connection.Get(), EPOLLIN | (Watch ? EPOLLOUT : 0u), EventTag(ConnectionEvent, Index));
        Line.WatchingWritable = Watch;
    }
}

void TPlantSimulator::CloseConnection(std::size_t Index)
{
    TModule& Line = *Modules_[Index];
    // Closing the only descriptor of the socket also takes it out of epoll.
    Line.Connection.Reset();
    ++Line.Serial;
    Line.Assembler = TRequestAssembler{};
    Line.RequestsOnConnection = 0;
    Line.Replies.clear();
    Line.Unsent.clear();
    Line.WatchingWritable = false;
}

void TPlantSimulator::TakeDropRequests()
{
    std::lock_guard Lock(Mutex_);
    if (DropsDone_ == DropsRequested_) {
        return;
    }
    for (std::size_t Index = 0; Index < Modules_.size(); ++Index) {
        if (std::exchange(Modules_[Index]->DropRequested, false)) {
            CloseConnection(Index);
        }
    }
    DropsDone_ = DropsRequested_;
    Changed_.notify_all();
}

void TPlantSimulator::Schedule(std::size_t Index, TClock::time_point At)
{
    Deadlines_.push_back({At, Index, Modules_[Index]->Serial});
    std::push_heap(Deadlines_.begin(), Deadlines_.end(), std::greater<>{});
}

void TPlantSimulator::RunTimers(TClock::time_point Now)
{
    while (!Deadlines_.empty() && Deadlines_.front().At <= Now) {
        std::pop_heap(Deadlines_.begin(), Deadlines_.end(), std::greater<>{});
        const TDeadline Due = Deadlines_.back();
        Deadlines_.pop_back();
        TModule& Line = *Modules_[Due.Index];
        if (Due.Serial != Line.Serial) {
            continue;  // its connection is closed
        }
        if (Line.Assembler.AwaitingLineFeed() && Now >= Line.Assembler.CarriageReturnAt() + LineEndWait) {
            std::vector<TReceivedFrame> Frames;
            Line.Assembler.FinishWithoutLineFeed(Now, Frames);
            for (const TReceivedFrame& Frame : Frames) {
                HandleFrame(Due.Index, Frame.Bytes, Frame.CompletedAt);
            }
        }
        SendDue(Due.Index, Now);
    }
}

void TPlantSimulator::ArmTimer()
{
    while (!Deadlines_.empty() && Deadlines_.front().Serial != Modules_[Deadlines_.front().Index]->Serial) {
        std::pop_heap(Deadlines_.begin(), Deadlines_.end(), std::greater<>{});
        Deadlines_.pop_back();
    }
    Loop_.ArmAt(Deadlines_.empty() ? std::nullopt : std::optional(Deadlines_.front().At));
}

std::string PlantConfigText(const TModuleState& State)
{
    std::string Text = "# VARNOLINK I/O module configuration\n[module]\nformat = 1\n";
    Text += "remote_id = " + HexByte(State.RemoteId) + "\n";
    Text += std::string("baud = ") + BaudRates.at(static_cast<std::size_t>(State.BaudIndex)) + "\n";
    Text += "\n; one bit per pin, 1 = input, 0 = output (two hex digits, or 0b and eight bits, bit 7 first)\n"
            "[direction]\n";
    for (std::size_t Port = 0; Port < PortCount; ++Port) {
        Text += "P" + std::to_string(PortDigits[Port]) + " = " + HexByte(State.Directions[Port]) + "\n";
    }
    Text += "\n; the level of each output pin at power-on (two hex digits, or 0b and eight bits)\n"
            "[power_on_default]\n";
    for (std::size_t Port = 0; Port < PortCount; ++Port) {
        Text += "P" + std::to_string(PortDigits[Port]) + " = " + HexByte(State.Defaults[Port]) + "\n";
    }
    return Text;
}

void WritePlantInventory(const TPlantSimulator& Plant, const std::string& Directory)
{
    const std::filesystem::path Folder(Directory);
    std::error_code Error;
    std::filesystem::create_directories(Folder, Error);
    if (Error) {
        throw std::runtime_error("cannot create " + Directory + ": " + Error.message());
    }
    std::string Csv = "name,port,config,location\n";
    for (std::size_t Number = 1; Number <= Plant.Count(); ++Number) {
        const std::string Name = ModuleName(Number);
        Csv += Name + "," + Plant.PortName(Number) + "," + Name + ".ini,cabinet " +
               std::to_string((Number - 1) / 8 + 1) + "\n";
        WriteTextFile(Folder / (Name + ".ini"), PlantConfigText(PlantModuleState(Number)));
    }
    WriteTextFile(Folder / "plant.csv", Csv);
}

}  // namespace varnolink::sim
