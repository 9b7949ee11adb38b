// SPDX-License-Identifier: MIT
// The event thread: waits for line events, collects each wake's event set
// and hands it to the port by its SyncMethod.
#include "cport/com_thread.h"

#include "cport/device_state.h"
#include "cport/main_thread_queue.h"
#include "cport/modem_watch.h"
#include "cport/net_address.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <latch>
#include <system_error>
#include <utility>

namespace cport {

namespace {

// Marks a handler of the port running on the owning thread, for the scope.
class TInHandler {
public:
    explicit TInHandler(bool& Flag) : Flag_(Flag), Was_(std::exchange(Flag, true)) {}
    ~TInHandler() { Flag_ = Was_; }
    TInHandler(const TInHandler&) = delete;
    TInHandler& operator=(const TInHandler&) = delete;

private:
    bool& Flag_;
    bool Was_;
};

// What woke the thread (epoll data).
enum TWakeSource : uint32_t { wsStop, wsDevice, wsQueue, wsTx, wsDrainTimer, wsModem };

TUniqueFd CheckedFd(int Fd, const char* What)
{
    if (Fd < 0)
        throw std::system_error(errno, std::generic_category(), What);
    return TUniqueFd(Fd);
}

void Watch(int Epoll, int Fd, uint32_t Events, TWakeSource Source)
{
    epoll_event Ev{};
    Ev.events = Events;
    Ev.data.u32 = Source;
    if (::epoll_ctl(Epoll, EPOLL_CTL_ADD, Fd, &Ev) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
}

void DrainEventFd(int Fd)
{
    uint64_t Counter;
    [[maybe_unused]] auto N = ::read(Fd, &Counter, sizeof Counter);
}

// nice value of each priority class; raising needs CAP_SYS_NICE.
int NiceOf(TThreadPriority Priority)
{
    switch (Priority) {
    case TThreadPriority::tpIdle:
        return 19;
    case TThreadPriority::tpLowest:
        return 10;
    case TThreadPriority::tpLower:
        return 5;
    case TThreadPriority::tpNormal:
        return 0;
    case TThreadPriority::tpHigher:
        return -5;
    case TThreadPriority::tpHighest:
        return -10;
    case TThreadPriority::tpTimeCritical:
        return -20;
    }
    return 0;
}

// Time to send one character at the given rate, in nanoseconds (10 bits).
int64_t CharTimeNs(int32_t BitsPerSecond)
{
    if (BitsPerSecond <= 0)
        BitsPerSecond = 9600;
    return 10'000'000'000LL / BitsPerSecond;
}

}  // namespace

struct TComThread::TShared : std::enable_shared_from_this<TComThread::TShared>, main_thread::TInputWatch {
    TCustomComPort* Port = nullptr;
    TComEvents Events;
    TSyncMethod Sync = smThreadSync;
    int Nice = 0;
    size_t Rx80Mark = 0;                              // count at which evRx80Full is raised; 0: never
    int64_t CharTimeNs = 0;                           // for the output drain checks
    TDevice* Device = nullptr;                        // owned by the port's device state
    int TxFd = -1;                                    // likewise: signalled after writes
    TReceiveQueue* Rx = nullptr;                      // likewise
    const std::atomic<uint64_t>* TxWrites = nullptr;  // likewise
    std::atomic<bool>* TxSignalled = nullptr;         // likewise: cleared as a tx check begins
    // Writes covered by the last evTxEmpty processed on the owning thread;
    // a tx wake with no write since then has nothing new to report.
    std::atomic<uint64_t> TxCovered{UINT64_MAX};
    std::atomic<bool> TxRecheck{false};

    TUniqueFd StopFd;
    TUniqueFd EpollFd;
    TUniqueFd DrainTimerFd;
    std::unique_ptr<TModemWatch> Modem;

    std::latch Go{1};  // released once the thread may run
    std::atomic<bool> Stop{false};
    std::atomic<bool> Finished{false};
    main_thread::THandOverGate Gate;

    // Event thread only.
    TErrorCountTrack Counts;

    // Owning thread only: input read there (MainThreadWaitDescriptor).
    uint64_t InputWatch = 0;  // the watch's id; 0: the event thread reads the input
    bool InHandler = false;   // one of the port's handlers runs (hand-over or direct)
    TErrorCountTrack OwnerCounts;

    void Run();
    TComEvents CollectInput(uint32_t EpollEvents, bool& Lost);
    TComEvents CheckDrain();
    void ArmDrainTimer(int64_t Ns);
    TComEvents TakeOverruns();
    template <typename TReport>
    bool Deliver(TReport Report);
    void Dispatch(TComEvents Pending);
    void DispatchDeviceLost();
    void ShowOnOwningThread(std::exception_ptr Error);
    TComEvents CoverTx(TComEvents Pending);
    void WaitForStop();

    void WatchInputOnOwner();
    void UnwatchInputOnOwner();
    bool InputReady(uint32_t EpollEvents) override;
    bool OwnerCountsChanged();
};

// ---------------------------------------------------------------------------
// Creation and stop (owning thread)

TComThread::TComThread(TCustomComPort* ComPort) : Events_(ComPort->Events())
{
    auto S = std::make_shared<TShared>();
    S->Port = ComPort;
    S->Events = Events_;
    S->Sync = ComPort->SyncMethod();
    S->Nice = NiceOf(ComPort->EventPriority());
    const int32_t InputSize = ComPort->Buffer().InputSize();
    S->Rx80Mark = InputSize > 0 ? (static_cast<size_t>(InputSize) * 4 + 4) / 5 : 0;
    const int32_t Rate =
        ComPort->BaudRate() == brCustom ? ComPort->CustomBaudRate() : BaudRateToInt(ComPort->BaudRate());
    S->CharTimeNs = CharTimeNs(Rate);
    TCustomComPort::TDeviceState& Device = *ComPort->Device_;
    S->Device = Device.Device.get();
    S->TxFd = Device.TxFd.get();
    S->Rx = &Device.Rx;
    S->TxWrites = &Device.TxWrites;
    S->TxSignalled = &Device.TxSignalled;

    S->StopFd = CheckedFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
    S->EpollFd = CheckedFd(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
    S->DrainTimerFd = CheckedFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK), "timerfd_create");
    const int Ep = S->EpollFd.get();
    Watch(Ep, S->StopFd.get(), EPOLLIN, wsStop);
    Watch(Ep, S->Device->PollFd(), EPOLLIN | EPOLLRDHUP, wsDevice);
    // Edge-triggered and never read here: readers waiting for received bytes
    // use the same eventfd, and each addition to the queue is one edge.
    Watch(Ep, Device.Rx.NotifyFd(), EPOLLIN | EPOLLET, wsQueue);
    if (Device.TxFd)
        Watch(Ep, Device.TxFd.get(), EPOLLIN, wsTx);
    Watch(Ep, S->DrainTimerFd.get(), EPOLLIN, wsDrainTimer);

    const bool ModemEvents =
        Events_.Contains(evCTS) || Events_.Contains(evDSR) || Events_.Contains(evRLSD) || Events_.Contains(evRing);
    if (ModemEvents) {
        S->Modem = std::make_unique<TModemWatch>(*S->Device);
        if (!S->Modem->HasModemLines())
            S->Modem.reset();  // the device has noted it: never asked again while open
        else
            Watch(Ep, S->Modem->NotifyFd(), EPOLLIN, wsModem);
    }
    if (S->Counts.Start(*S->Device) != 0)
        S->Counts.Stop();
    // On a network port a write drains at once, so a report nobody hears
    // would cost a wake of two threads per frame: such writes are not
    // signalled (TxEmptyHeard). A local line drains at the line's pace and
    // keeps reporting every write.
    Device.TxOwner = NetAddressOf(ComPort->Port()) ? std::this_thread::get_id() : std::thread::id();
    Device.TxWatched = Events_.Contains(evTxEmpty);  // writes signal TxFd from now on

    // Created held back (until Release), so that the receive queue knows its
    // watcher before the thread reads anything: additions by others from
    // now on are announced to it, and its own reads are never counted twice.
    Shared_ = S;
    Thread_ = std::thread([S] {
        S->Go.wait();
        S->Run();
    });
    Device.Rx.SetWatcher(Thread_.get_id());
}

void TComThread::Release()
{
    if (Released_)
        return;
    Released_ = true;
    Shared_->WatchInputOnOwner();
    Shared_->Go.count_down();
}

void TComThread::SignalStop()
{
    Shared_->Stop = true;
    const uint64_t One = 1;
    [[maybe_unused]] auto N = ::write(Shared_->StopFd.get(), &One, sizeof One);
    Shared_->Gate.Close();
}

std::thread::id TComThread::ThreadId() const
{
    return Thread_.get_id();
}

TComThread::~TComThread()
{
    Shared_->UnwatchInputOnOwner();
    SignalStop();
    if (!Released_) {  // a thread still held sees the stop at once
        Released_ = true;
        Shared_->Go.count_down();
    }
    if (Thread_.get_id() == std::this_thread::get_id()) {
        // Closed from one of its own handlers (smNone): the thread cannot wait
        // for itself. It sees the stop as soon as the handler returns and
        // ends without touching the port again; its state lives on with it.
        Thread_.detach();
    } else {
        // The stop has withdrawn a hand-over that had not started and
        // released the thread from one that has; the queue is served all the
        // same while waiting, so the owning thread never sits blocked while
        // work is queued for it.
        main_thread::ServeUntil([S = Shared_.get()] { return S->Finished.load(); }, &Shared_->Gate);
        Thread_.join();
    }
    Shared_->Modem.reset();
    Shared_->Rx->SetWatcher(std::thread::id());
    if (Shared_->Port->Device_)
        Shared_->Port->Device_->TxWatched = false;
}

void TComThread::InjectLineInputForTest(TCustomComPort& ComPort, const void* Bytes, size_t Count, TComErrors Errors)
{
    ComPort.Device_->Rx.InjectForTest(Bytes, Count, Errors);
}

// ---------------------------------------------------------------------------
// The wait loop (event thread)

void TComThread::TShared::Run()
{
    if (Nice != 0) {
        // Best effort: raising the priority is not permitted to everyone.
        [[maybe_unused]] int R = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), Nice);
    }
    epoll_event Ready[8];
    while (!Stop.load()) {
        const int N = ::epoll_wait(EpollFd.get(), Ready, 8, -1);
        if (N < 0) {
            if (errno == EINTR)
                continue;
            break;  // a failed wait ends the loop like a stop request
        }
        TComEvents Found;
        bool Lost = false;
        bool InputRead = false;
        uint32_t InputFlags = 0;
        bool DrainCheck = false;
        for (int I = 0; I < N; ++I) {
            switch (Ready[I].data.u32) {
            case wsDevice:
            case wsQueue:
                InputRead = true;
                InputFlags |= Ready[I].events;
                break;
            case wsTx:
                // Writes from now on signal again; those before are covered
                // by the check below.
                TxSignalled->store(false);
                DrainEventFd(TxFd);
                DrainCheck = true;
                break;
            case wsDrainTimer:
                DrainEventFd(DrainTimerFd.get());
                DrainCheck = true;
                break;
            case wsModem:
                if (Modem)
                    Found = Found | Modem->TakeEvents();
                break;
            default:  // wsStop
                break;
            }
        }
        if (Stop.load())
            break;
        if (InputRead)
            Found = Found | CollectInput(InputFlags, Lost);
        if (DrainCheck)
            Found = Found | CheckDrain();
        if (Found.Contains(evTxEmpty) && TxWrites->load() == TxCovered.load())
            Found.Exclude(evTxEmpty);

        Found = Found & Events;
        if (!Found.Empty())
            Dispatch(Found);
        if (TxRecheck.exchange(false))
            ArmDrainTimer(CharTimeNs);
        if (Lost && !Stop.load()) {
            DispatchDeviceLost();
            WaitForStop();
            break;
        }
    }
    Finished = true;
    main_thread::WakeServers();
}

TComEvents TComThread::TShared::CollectInput(uint32_t EpollEvents, bool& Lost)
{
    const TFillResult Fill = Rx->FillFrom(*Device);
    const size_t After = Fill.Waiting;
    // The fill reports what other threads added since the last one too, so
    // the count before all of it is the count now less everything added.
    const size_t Before = After > Fill.Added ? After - Fill.Added : 0;

    TComEvents Found;
    // Bytes another thread has already taken leave nothing to report.
    if (Fill.Added > 0 && After > 0)
        Found.Include(evRxChar);
    if (Fill.EventChar)
        Found.Include(evRxFlag);
    if (Rx80Mark > 0 && After >= Rx80Mark && Before < Rx80Mark)
        Found.Include(evRx80Full);
    if (Fill.Errors.Contains(leBreak))
        Found.Include(evBreak);
    const TComErrors LineErrors{leFrame, leRxParity, leOverrun, leRxOverflow};
    if (!(Fill.Errors & LineErrors).Empty())
        Found.Include(evError);
    Found = Found | TakeOverruns();

    // The device is gone when a read says so, when a read fails (it would
    // fail again at once), or when the hang-up condition stays with nothing
    // left to read (it would wake the thread again at once).
    const bool HungUp = (EpollEvents & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0;
    if (Fill.HangUp || Fill.Error != 0 || (HungUp && Fill.Added == 0))
        Lost = true;
    return Found;
}

// Overruns are never marked in the byte stream; the driver counts them. When
// the stream carries no marks (the usual raw fast path, or a network port),
// framing and parity errors and breaks come from the counts too.
TComEvents TComThread::TShared::TakeOverruns()
{
    TComErrors Moved;
    if (Counts.Take(*Device, Moved) != 0) {
        Counts.Stop();
        return {};
    }
    TComEvents Found;
    if (Moved.Contains(leOverrun) || Moved.Contains(leRxOverflow))
        Found.Include(evError);
    if (!Rx->Options().Marked) {
        if (Moved.Contains(leFrame) || Moved.Contains(leRxParity))
            Found.Include(evError);
        if (Moved.Contains(leBreak))
            Found.Include(evBreak);
    }
    return Found;
}

// After a write: evTxEmpty once the driver's output queue (and, where the
// driver tells, the transmitter) is empty; until then a timer sized to the
// bytes still queued re-checks.
TComEvents TComThread::TShared::CheckDrain()
{
    int Queued = 0;
    if (Device->OutputQueued(Queued) != 0)
        return {};
    if (Queued > 0) {
        ArmDrainTimer(Queued * CharTimeNs);
        return {};
    }
    bool Sent = true;
    if (Device->TransmitterEmpty(Sent) == 0 && !Sent) {
        ArmDrainTimer(CharTimeNs);
        return {};
    }
    return {evTxEmpty};
}

void TComThread::TShared::ArmDrainTimer(int64_t Ns)
{
    constexpr int64_t MinNs = 100'000, MaxNs = 1'000'000'000;
    Ns = Ns < MinNs ? MinNs : (Ns > MaxNs ? MaxNs : Ns);
    itimerspec When{};
    When.it_value.tv_sec = static_cast<time_t>(Ns / 1'000'000'000);
    When.it_value.tv_nsec = static_cast<long>(Ns % 1'000'000'000);
    ::timerfd_settime(DrainTimerFd.get(), 0, &When, nullptr);
}

// ---------------------------------------------------------------------------
// Hand-over

// Gives an error to the application's display on the owning thread. The
// error is moved on: this thread keeps no reference to it.
void TComThread::TShared::ShowOnOwningThread(std::exception_ptr Error)
{
    main_thread::Post([Error = std::move(Error)] { ShowApplicationError(Error); }, Gate);
}

// Runs Report(port) by the SyncMethod: on the owning thread (smThreadSync:
// waiting for its end; smWindowSync: released once it starts, and only while
// the port is open) or here (smNone); never once a stop has come. An error
// raised goes to the application's display, on the owning thread, and this
// thread goes on serving events. False once the stop has withdrawn it.
template <typename TReport>
bool TComThread::TShared::Deliver(TReport Report)
{
    std::exception_ptr Error;
    main_thread::THandOverResult Result = main_thread::THandOverResult::Completed;
    try {
        switch (Sync) {
        case smThreadSync:
            Result = main_thread::SendAndWait(
                [P = Port, Report, Self = shared_from_this()] {
                    const TInHandler Running(Self->InHandler);
                    if (!Self->Stop.load())
                        Report(*P);
                },
                Gate);
            break;
        case smWindowSync:
            Result = main_thread::SendReleasedOnStart(
                [P = Port, Report] {
                    if (P->Connected())
                        Report(*P);
                },
                Gate);
            break;
        case smNone:
            if (!Stop.load())
                Report(*Port);
            break;
        }
    } catch (...) {
        Error = std::current_exception();
    }
    if (Error)
        ShowOnOwningThread(std::move(Error));
    return Result != main_thread::THandOverResult::Withdrawn;
}

// One event set: processed as a whole in the fixed order, except under
// smWindowSync, where each event's report is sent on its own.
void TComThread::TShared::Dispatch(TComEvents Pending)
{
    if (Sync != smWindowSync) {
        Deliver([Pending, Self = this](TCustomComPort& P) { ProcessEvents(P, Self->CoverTx(Pending), Self->Stop); });
        return;
    }
    for (const TEventEntry& Step : EventTable) {
        if (Pending.Contains(Step.Event) && !Deliver([Report = Step.Report](TCustomComPort& P) { (P.*Report)(); }))
            return;  // stopping
    }
}

// On the owning thread, as the hand-over starts: an evTxEmpty reports the
// output empty now, which covers every write made so far, also those made
// while the hand-over waited (they are not reported again). Output queued
// again by then is left to a later check.
TComEvents TComThread::TShared::CoverTx(TComEvents Pending)
{
    if (!Pending.Contains(evTxEmpty))
        return Pending;
    const uint64_t Writes = TxWrites->load();
    int Queued = 0;
    if (Device->OutputQueued(Queued) == 0 && Queued > 0) {
        TxRecheck = true;
        return Pending.Exclude(evTxEmpty);
    }
    TxCovered = Writes;
    return Pending;
}

// The device has gone away: reported once, by the same way as the events.
void TComThread::TShared::DispatchDeviceLost()
{
    if (Events.Contains(evError))
        Deliver([](TCustomComPort& P) { ReportDeviceLost(P); });
}

// Nothing more will come from the device: sleep until the stop request.
void TComThread::TShared::WaitForStop()
{
    pollfd StopPoll{StopFd.get(), POLLIN, 0};
    while (!Stop.load()) {
        if (::poll(&StopPoll, 1, -1) < 0 && errno != EINTR)
            return;
    }
}

// ---------------------------------------------------------------------------
// Input read on the owning thread (MainThreadWaitDescriptor)

// When the owning thread's loop waits on its wait descriptor, the device's
// input is watched there and the event thread watches the device only for
// its loss; additions the owner hands on still reach it through the receive
// queue's eventfd. Called once the port is fully open.
void TComThread::TShared::WatchInputOnOwner()
{
    if (Sync != smThreadSync || !Events.Contains(evRxChar))
        return;
    InputWatch = main_thread::WatchInput(Gate, Device->PollFd(), weak_from_this());
    if (InputWatch == 0)
        return;
    if (OwnerCounts.Start(*Device) != 0)
        OwnerCounts.Stop();
    epoll_event Ev{};
    Ev.events = EPOLLRDHUP;
    Ev.data.u32 = wsDevice;
    ::epoll_ctl(EpollFd.get(), EPOLL_CTL_MOD, Device->PollFd(), &Ev);
}

// The event thread reads the input again (the owner has stopped watching).
void TComThread::TShared::UnwatchInputOnOwner()
{
    if (InputWatch == 0)
        return;
    main_thread::UnwatchInput(Gate, std::exchange(InputWatch, 0), Device->PollFd());
    epoll_event Ev{};
    Ev.events = EPOLLIN | EPOLLRDHUP;
    Ev.data.u32 = wsDevice;
    ::epoll_ctl(EpollFd.get(), EPOLL_CTL_MOD, Device->PollFd(), &Ev);
}

// True when the driver has counted a line error since the owner last asked.
bool TComThread::TShared::OwnerCountsChanged()
{
    TComErrors Moved;
    if (OwnerCounts.Take(*Device, Moved) != 0) {
        OwnerCounts.Stop();
        return false;
    }
    return !Moved.Empty();
}

// The device is ready: its input is read here, on the owning thread. Plain
// data goes straight to OnRxChar; data with anything else to report (a line
// error, the event character, the 80 % mark) and data that arrives while one
// of the port's handlers runs go to the event thread, which reports the
// whole event set in the fixed order. A device that has gone, or whose read
// fails, is left to the event thread from then on.
bool TComThread::TShared::InputReady(uint32_t EpollEvents)
{
    if (Stop.load() || InputWatch == 0)
        return false;
    if ((EpollEvents & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0) {
        UnwatchInputOnOwner();
        return false;
    }
    const TFillResult Fill = Rx->FillFrom(*Device, TAnnounce::ByCaller);
    const size_t Count = Fill.Waiting;
    if (Fill.HangUp || Fill.Error != 0) {
        Rx->HandToWatcher(Fill);
        UnwatchInputOnOwner();
        return false;
    }
    const size_t Before = Count > Fill.Added ? Count - Fill.Added : 0;
    const bool Plain = !Fill.EventChar && Fill.Errors.Empty() && !Fill.ErrorsWaiting &&
                       !(Rx80Mark > 0 && Count >= Rx80Mark && Before < Rx80Mark);
    const bool Counted = OwnerCountsChanged();
    if (InHandler || !Plain || Counted) {
        Rx->HandToWatcher(Fill, Counted);
        return false;
    }
    if (Count == 0)
        return false;
    std::exception_ptr Error;
    {
        const TInHandler Running(InHandler);
        try {
            ProcessEvents(*Port, TComEvents{evRxChar}, Stop);
        } catch (...) {
            Error = std::current_exception();
        }
    }
    if (Error)
        ShowApplicationError(Error);
    return true;
}

}  // namespace cport
