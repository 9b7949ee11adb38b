// SPDX-License-Identifier: MIT
// The event thread: waits for line events, collects each wake's event set
// and hands it to the port by its SyncMethod.
#include "cport/com_thread.h"

#include "cport/device_state.h"
#include "cport/event_receiver.h"
#include "cport/main_thread_queue.h"
#include "cport/modem_watch.h"

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

// What woke the thread (epoll data).
enum TWakeSource : uint32_t { wsStop, wsDevice, wsQueue, wsTx, wsDrainTimer, wsModem };

UniqueFd CheckedFd(int Fd, const char* What) {
    if (Fd < 0) throw std::system_error(errno, std::generic_category(), What);
    return UniqueFd(Fd);
}

void Watch(int Epoll, int Fd, uint32_t Events, TWakeSource Source) {
    epoll_event ev{};
    ev.events = Events;
    ev.data.u32 = Source;
    if (::epoll_ctl(Epoll, EPOLL_CTL_ADD, Fd, &ev) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
}

void DrainEventFd(int Fd) {
    uint64_t counter;
    [[maybe_unused]] auto n = ::read(Fd, &counter, sizeof counter);
}

// nice value of each priority class; raising needs CAP_SYS_NICE.
int NiceOf(TThreadPriority Priority) {
    switch (Priority) {
    case TThreadPriority::tpIdle: return 19;
    case TThreadPriority::tpLowest: return 10;
    case TThreadPriority::tpLower: return 5;
    case TThreadPriority::tpNormal: return 0;
    case TThreadPriority::tpHigher: return -5;
    case TThreadPriority::tpHighest: return -10;
    case TThreadPriority::tpTimeCritical: return -20;
    }
    return 0;
}

// Time to send one character at the given rate, in nanoseconds (10 bits).
int64_t CharTimeNs(int32_t BitsPerSecond) {
    if (BitsPerSecond <= 0) BitsPerSecond = 9600;
    return 10'000'000'000LL / BitsPerSecond;
}

}  // namespace

struct TComThread::TShared : std::enable_shared_from_this<TComThread::TShared> {
    TCustomComPort* port = nullptr;
    TComEvents events;
    TSyncMethod sync = smThreadSync;
    int nice = 0;
    size_t rx80_mark = 0;            // count at which evRx80Full is raised; 0: never
    int64_t char_time_ns = 0;        // for the output drain checks
    TDevice* device = nullptr;       // owned by the port's device state
    int tx_fd = -1;                  // likewise: signalled after each write
    TReceiveQueue* rx = nullptr;     // likewise
    const std::atomic<uint64_t>* tx_writes = nullptr;   // likewise
    // Writes covered by the last evTxEmpty processed on the owning thread;
    // a tx wake with no write since then has nothing new to report.
    std::atomic<uint64_t> tx_covered{UINT64_MAX};
    std::atomic<bool> tx_recheck{false};
    std::shared_ptr<TEventReceiver::TAnchor> receiver;   // smWindowSync only

    UniqueFd stop_fd;
    UniqueFd epoll_fd;
    UniqueFd drain_timer_fd;
    std::unique_ptr<TModemWatch> modem;

    std::latch go{1};                // released once the thread may run
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    main_thread::THandOverGate gate;

    // Event thread only.
    bool counts_supported = true;    // the driver keeps error counts
    TDriverCounts counts{};

    void Run();
    TComEvents CollectInput(uint32_t EpollEvents, bool& Lost);
    TComEvents CheckDrain();
    void ArmDrainTimer(int64_t Ns);
    TComEvents TakeOverruns();
    void Dispatch(TComEvents Pending);
    void SendEventMessages(TComEvents Pending);
    void DispatchDeviceLost();
    void ShowOnOwningThread(std::exception_ptr Error);
    TComEvents CoverTx(TComEvents Pending);
    void WaitForStop();
};

// ---------------------------------------------------------------------------
// Creation and stop (owning thread)

TComThread::TComThread(TCustomComPort* ComPort) : events_(ComPort->Events()) {
    auto s = std::make_shared<TShared>();
    s->port = ComPort;
    s->events = events_;
    s->sync = ComPort->SyncMethod();
    s->nice = NiceOf(ComPort->EventPriority());
    const int32_t input_size = ComPort->Buffer().InputSize();
    s->rx80_mark = input_size > 0 ? (static_cast<size_t>(input_size) * 4 + 4) / 5 : 0;
    const int32_t rate = ComPort->BaudRate() == brCustom ? ComPort->CustomBaudRate()
                                                         : BaudRateToInt(ComPort->BaudRate());
    s->char_time_ns = CharTimeNs(rate);
    TCustomComPort::TDeviceState& device = *ComPort->device_;
    s->device = device.device.get();
    s->tx_fd = device.tx_fd.get();
    s->rx = &device.rx;
    s->tx_writes = &device.tx_writes;
    if (ComPort->event_window_) s->receiver = ComPort->event_window_->Anchor();

    s->stop_fd = CheckedFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
    s->epoll_fd = CheckedFd(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
    s->drain_timer_fd = CheckedFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK),
                                  "timerfd_create");
    const int ep = s->epoll_fd.get();
    Watch(ep, s->stop_fd.get(), EPOLLIN, wsStop);
    Watch(ep, s->device->PollFd(), EPOLLIN | EPOLLRDHUP, wsDevice);
    // Edge-triggered and never read here: readers waiting for received bytes
    // use the same eventfd, and each addition to the queue is one edge.
    Watch(ep, device.rx.NotifyFd(), EPOLLIN | EPOLLET, wsQueue);
    if (device.tx_fd) Watch(ep, device.tx_fd.get(), EPOLLIN, wsTx);
    Watch(ep, s->drain_timer_fd.get(), EPOLLIN, wsDrainTimer);

    const bool modem_events = events_.Contains(evCTS) || events_.Contains(evDSR) ||
                              events_.Contains(evRLSD) || events_.Contains(evRing);
    if (modem_events) {
        s->modem = std::make_unique<TModemWatch>(*s->device);
        if (!s->modem->HasModemLines())
            s->modem.reset();   // the device has noted it: never asked again while open
        else
            Watch(ep, s->modem->NotifyFd(), EPOLLIN, wsModem);
    }
    if (s->device->ErrorCounts(s->counts) != 0) s->counts_supported = false;
    device.tx_watched = events_.Contains(evTxEmpty);   // writes signal tx_fd from now on

    // Created held back (until Release), so that the receive queue knows its
    // watcher before the thread reads anything: additions by others from
    // now on are announced to it, and its own reads are never counted twice.
    shared_ = s;
    thread_ = std::thread([s] {
        s->go.wait();
        s->Run();
    });
    device.rx.SetWatcher(thread_.get_id());
}

void TComThread::Release() {
    if (released_) return;
    released_ = true;
    shared_->go.count_down();
}

void TComThread::SignalStop() {
    shared_->stop = true;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(shared_->stop_fd.get(), &one, sizeof one);
    shared_->gate.Close();
}

std::thread::id TComThread::ThreadId() const { return thread_.get_id(); }

TComThread::~TComThread() {
    SignalStop();
    Release();   // a thread still held sees the stop at once
    if (thread_.get_id() == std::this_thread::get_id()) {
        // Closed from one of its own handlers (smNone): the thread cannot wait
        // for itself. It sees the stop as soon as the handler returns and
        // ends without touching the port again; its state lives on with it.
        thread_.detach();
    } else {
        // The stop has withdrawn a hand-over that had not started and
        // released the thread from one that has; the queue is served all the
        // same while waiting, so the owning thread never sits blocked while
        // work is queued for it.
        main_thread::ServeUntil([s = shared_.get()] { return s->finished.load(); }, &shared_->gate);
        thread_.join();
    }
    shared_->modem.reset();
    shared_->rx->SetWatcher(std::thread::id());
    if (shared_->port->device_) shared_->port->device_->tx_watched = false;
}

void TComThread::InjectLineInputForTest(TCustomComPort& ComPort, const void* Bytes, size_t Count,
                                        TComErrors Errors) {
    ComPort.device_->rx.InjectForTest(Bytes, Count, Errors);
}

// ---------------------------------------------------------------------------
// The wait loop (event thread)

void TComThread::TShared::Run() {
    if (nice != 0) {
        // Best effort: raising the priority is not permitted to everyone.
        [[maybe_unused]] int r = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
    }
    epoll_event ready[8];
    while (!stop.load()) {
        const int n = ::epoll_wait(epoll_fd.get(), ready, 8, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;   // a failed wait ends the loop like a stop request
        }
        TComEvents found;
        bool lost = false;
        bool input_read = false;
        uint32_t input_flags = 0;
        bool drain_check = false;
        for (int i = 0; i < n; ++i) {
            switch (ready[i].data.u32) {
            case wsDevice:
            case wsQueue:
                input_read = true;
                input_flags |= ready[i].events;
                break;
            case wsTx:
                DrainEventFd(tx_fd);
                drain_check = true;
                break;
            case wsDrainTimer:
                DrainEventFd(drain_timer_fd.get());
                drain_check = true;
                break;
            case wsModem:
                if (modem) found = found | modem->TakeEvents();
                break;
            default:   // wsStop
                break;
            }
        }
        if (stop.load()) break;
        if (input_read) found = found | CollectInput(input_flags, lost);
        if (drain_check) found = found | CheckDrain();
        if (found.Contains(evTxEmpty) && tx_writes->load() == tx_covered.load()) found.Exclude(evTxEmpty);

        found = found & events;
        if (!found.Empty()) Dispatch(found);
        if (tx_recheck.exchange(false)) ArmDrainTimer(char_time_ns);
        if (lost && !stop.load()) {
            DispatchDeviceLost();
            WaitForStop();
            break;
        }
    }
    finished = true;
    main_thread::WakeServers();
}

TComEvents TComThread::TShared::CollectInput(uint32_t EpollEvents, bool& Lost) {
    TFillResult fill;
    const size_t after = rx->FillAndCount(*device, fill, false);
    // The fill reports what other threads added since the last one too, so
    // the count before all of it is the count now less everything added.
    const size_t before = after > fill.added ? after - fill.added : 0;

    TComEvents found;
    // Bytes another thread has already taken leave nothing to report.
    if (fill.added > 0 && after > 0) found.Include(evRxChar);
    if (fill.event_char) found.Include(evRxFlag);
    if (rx80_mark > 0 && after >= rx80_mark && before < rx80_mark) found.Include(evRx80Full);
    if (fill.errors.Contains(leBreak)) found.Include(evBreak);
    const TComErrors line_errors{leFrame, leRxParity, leOverrun, leRxOverflow};
    if (!(fill.errors & line_errors).Empty()) found.Include(evError);
    found = found | TakeOverruns();

    // The device is gone when a read says so, when a read fails (it would
    // fail again at once), or when the hang-up condition stays with nothing
    // left to read (it would wake the thread again at once).
    const bool hung_up = (EpollEvents & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0;
    if (fill.hang_up || fill.error != 0 || (hung_up && fill.added == 0)) Lost = true;
    return found;
}

// Overruns are never marked in the byte stream; the driver counts them. When
// the stream carries no marks (the usual raw fast path, or a network port),
// framing and parity errors and breaks come from the counts too.
TComEvents TComThread::TShared::TakeOverruns() {
    if (!counts_supported) return {};
    TDriverCounts now{};
    if (device->ErrorCounts(now) != 0) {
        counts_supported = false;
        return {};
    }
    TComEvents found;
    if (now.overrun != counts.overrun || now.buf_overrun != counts.buf_overrun) found.Include(evError);
    if (!rx->Options().marked) {
        if (now.frame != counts.frame || now.parity != counts.parity) found.Include(evError);
        if (now.brk != counts.brk) found.Include(evBreak);
    }
    counts = now;
    return found;
}

// After a write: evTxEmpty once the driver's output queue (and, where the
// driver tells, the transmitter) is empty; until then a timer sized to the
// bytes still queued re-checks.
TComEvents TComThread::TShared::CheckDrain() {
    int queued = 0;
    if (device->OutputQueued(queued) != 0) return {};
    if (queued > 0) {
        ArmDrainTimer(queued * char_time_ns);
        return {};
    }
    bool sent = true;
    if (device->TransmitterEmpty(sent) == 0 && !sent) {
        ArmDrainTimer(char_time_ns);
        return {};
    }
    return {evTxEmpty};
}

void TComThread::TShared::ArmDrainTimer(int64_t Ns) {
    constexpr int64_t min_ns = 100'000, max_ns = 1'000'000'000;
    Ns = Ns < min_ns ? min_ns : (Ns > max_ns ? max_ns : Ns);
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(Ns / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(Ns % 1'000'000'000);
    ::timerfd_settime(drain_timer_fd.get(), 0, &when, nullptr);
}

// ---------------------------------------------------------------------------
// Hand-over

// Gives an error to the application's display on the owning thread. The
// error is moved on: this thread keeps no reference to it.
void TComThread::TShared::ShowOnOwningThread(std::exception_ptr Error) {
    main_thread::Post([error = std::move(Error)] { ShowApplicationError(error); }, gate);
}

void TComThread::TShared::Dispatch(TComEvents Pending) {
    std::exception_ptr error;
    try {
        switch (sync) {
        case smThreadSync:
            main_thread::SendAndWait(
                [p = port, Pending, self = shared_from_this()] {
                    ProcessEvents(*p, self->CoverTx(Pending), self->stop);
                },
                gate);
            break;
        case smWindowSync:
            SendEventMessages(Pending);
            break;
        case smNone:
            ProcessEvents(*port, Pending, stop);
            break;
        }
    } catch (...) {
        error = std::current_exception();
    }
    // The error goes to the application's display, on the owning thread, and
    // this thread goes on serving events.
    if (error) ShowOnOwningThread(std::move(error));
}

namespace {

// The fixed processing order, with each event's report helper.
struct TEventReport {
    TComEvent event;
    void (TCustomComPort::*report)();
};
constexpr TEventReport ProcessingOrder[] = {
    {evError, &TCustomComPort::ReportLineErrors}, {evRxChar, &TCustomComPort::ReportRxChar},
    {evTxEmpty, &TCustomComPort::ReportTxEmpty},  {evBreak, &TCustomComPort::ReportBreak},
    {evRing, &TCustomComPort::ReportRing},        {evCTS, &TCustomComPort::ReportCTS},
    {evDSR, &TCustomComPort::ReportDSR},          {evRxFlag, &TCustomComPort::ReportRxFlag},
    {evRLSD, &TCustomComPort::ReportRLSD},        {evRx80Full, &TCustomComPort::ReportRx80Full},
};

}  // namespace

void TComThread::ProcessEvents(TCustomComPort& ComPort, TComEvents Pending,
                               const std::atomic<bool>& Stopped) {
    for (const TEventReport& step : ProcessingOrder) {
        if (!Pending.Contains(step.event)) continue;
        if (Stopped.load()) return;   // a handler has closed the port
        (ComPort.*step.report)();
    }
}

// On the owning thread, as the hand-over starts: an evTxEmpty reports the
// output empty now, which covers every write made so far, also those made
// while the hand-over waited (they are not reported again). Output queued
// again by then is left to a later check.
TComEvents TComThread::TShared::CoverTx(TComEvents Pending) {
    if (!Pending.Contains(evTxEmpty)) return Pending;
    const uint64_t writes = tx_writes->load();
    int queued = 0;
    if (device->OutputQueued(queued) == 0 && queued > 0) {
        tx_recheck = true;
        return Pending.Exclude(evTxEmpty);
    }
    tx_covered = writes;
    return Pending;
}

void TComThread::TShared::SendEventMessages(TComEvents Pending) {
    for (const TEventReport& step : ProcessingOrder) {
        if (!Pending.Contains(step.event)) continue;
        auto task = TEventReceiver::MessageTask(receiver, TEventReceiver::EventMessage,
                                                EventsToMask(TComEvents{step.event}));
        if (main_thread::SendReleasedOnStart(std::move(task), gate) ==
            main_thread::THandOverResult::Withdrawn)
            return;   // stopping
    }
}

void TComThread::ReportDeviceLost(TCustomComPort& ComPort) {
    ComPort.NotifyError(TComErrors{leIOError});
}

// The device has gone away: reported once, by the same way as the events.
void TComThread::TShared::DispatchDeviceLost() {
    if (!events.Contains(evError)) return;
    std::exception_ptr error;
    try {
        switch (sync) {
        case smThreadSync:
            main_thread::SendAndWait(
                [p = port, self = shared_from_this()] {
                    if (!self->stop.load()) ReportDeviceLost(*p);
                },
                gate);
            break;
        case smWindowSync:
            main_thread::SendReleasedOnStart(
                TEventReceiver::MessageTask(receiver, TEventReceiver::DeviceLostMessage, 0), gate);
            break;
        case smNone:
            if (!stop.load()) ReportDeviceLost(*port);
            break;
        }
    } catch (...) {
        error = std::current_exception();
    }
    if (error) ShowOnOwningThread(std::move(error));
}

// Nothing more will come from the device: sleep until the stop request.
void TComThread::TShared::WaitForStop() {
    pollfd stop_poll{stop_fd.get(), POLLIN, 0};
    while (!stop.load()) {
        if (::poll(&stop_poll, 1, -1) < 0 && errno != EINTR) return;
    }
}

}  // namespace cport
