// SPDX-License-Identifier: MIT
// The port's line events, from the event thread to the handlers: which
// events what arrives on the line raises, with what data and in which order;
// where the handlers run under each hand-over method; faults while events
// are processed; and Close against a running event thread at every moment a
// test can arrange. Every test is bounded by a watchdog that turns a hang
// into a failure with a name.
#include "cport/com_thread.h"

#include "event_test_support.h"

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace cport;
using namespace event_test;

namespace {

std::string ErrorsText(TComErrors Errors)
{
    static const char* const Names[] = {"frame", "parity", "overrun", "break", "io", "mode", "overflow", "txfull"};
    std::string Text;
    for (int E = leFrame; E <= leTxFull; ++E)
        if (Errors.Contains(static_cast<TComError>(E)))
            Text += std::string(Text.empty() ? "" : "+") + Names[E];
    return Text;
}

// What a port's handlers did, in order: "rx:<text>" (with its count),
// "flag", "error:<names>", and the thread each ran on. Guarded: under smNone
// the handlers run on the event thread while the test reads.
class TEventLog {
public:
    // OnRxChar reads what it is told is waiting, then runs AfterRead;
    // OnRxFlag and OnError are recorded.
    void Attach(TComPort& Port, std::function<void()> AfterRead = {})
    {
        Port.OnRxChar = [this, &Port, AfterRead](TComponent* Sender, int32_t Count) {
            EXPECT_EQ(Sender, &Port);
            std::string Text;
            EXPECT_EQ(Port.ReadText(Text, Count), Count);
            EXPECT_EQ(Text.size(), static_cast<size_t>(Count));
            {
                std::lock_guard Lock(Mutex_);
                Counts_.push_back(Count);
                Read_ += Text;
                AddLocked("rx:" + Text);
            }
            if (AfterRead)
                AfterRead();
        };
        Port.OnRxFlag = [this](TComponent*) {
            std::lock_guard Lock(Mutex_);
            AddLocked("flag");
        };
        Port.OnError = [this](TComponent*, TComErrors Errors) {
            std::lock_guard Lock(Mutex_);
            Errors_.push_back(Errors);
            AddLocked("error:" + ErrorsText(Errors));
        };
    }

    std::vector<std::string> Entries() const { return Copy(Entries_); }
    std::vector<std::thread::id> Threads() const { return Copy(Threads_); }
    std::vector<int32_t> Counts() const { return Copy(Counts_); }
    std::vector<TComErrors> Errors() const { return Copy(Errors_); }
    std::string Read() const { return Copy(Read_); }  // every byte read, in order

    // Conditions for TOwnerLoop::ServeUntil.
    std::function<bool()> HasEntries(size_t Count) const
    {
        return [this, Count] { return Entries().size() >= Count; };
    }
    std::function<bool()> HasRead(size_t Bytes) const
    {
        return [this, Bytes] { return Read().size() >= Bytes; };
    }

private:
    void AddLocked(std::string Entry)
    {
        Entries_.push_back(std::move(Entry));
        Threads_.push_back(std::this_thread::get_id());
    }
    template <typename T>
    T Copy(const T& Member) const
    {
        std::lock_guard Lock(Mutex_);
        return Member;
    }

    mutable std::mutex Mutex_;
    std::vector<std::string> Entries_;
    std::vector<std::thread::id> Threads_;
    std::vector<int32_t> Counts_;
    std::vector<TComErrors> Errors_;
    std::string Read_;
};

// A port on a line of its own, served by an owning thread's loop of its own.
struct TEventRig {
    TEventRig(TComEvents Events, TSyncMethod Sync) { SetUpPort(Port, Line, Events, Sync); }
    TEventLog Log;  // first: it outlives the port, whose handlers record into it
    TPtyPair Line;
    OwnerLoop Loop;
    TComPort Port;
};

// Fixture of the event suites: the watchdog, and one rig, set up for every
// event and smThreadSync. Use changes the port's events; NewRig puts a fresh
// rig in place of the last (whose port and loop go first), for tests that
// run rounds.
class EventTest : public ::testing::Test {
protected:
    void Use(TComEvents Events, TSyncMethod Sync = smThreadSync) { SetUpPort(Port_, Line_, Events, Sync); }
    TEventRig& NewRig(TComEvents Events = AllComEvents, TSyncMethod Sync = smThreadSync)
    {
        Rig_.reset();
        return Rig_.emplace(Events, Sync);
    }

    Watchdog Watchdog_{::testing::UnitTest::GetInstance()->current_test_info()->name(), std::chrono::seconds(60)};
    std::optional<TEventRig> Rig_{std::in_place, AllComEvents, smThreadSync};
    TEventLog& Log_ = Rig_->Log;
    TPtyPair& Line_ = Rig_->Line;
    OwnerLoop& Loop_ = Rig_->Loop;
    TComPort& Port_ = Rig_->Port;
};

// Each hand-over method, for the suites that run under every one.
struct TSyncCase {
    const char* Name;
    TSyncMethod Sync;
};
const TSyncCase EachSync[] = {{"ThreadSync", smThreadSync}, {"WindowSync", smWindowSync}, {"None", smNone}};
std::string SyncName(const ::testing::TestParamInfo<TSyncCase>& Info)
{
    return Info.param.Name;
}

// Per thread of this process (by task id), from /proc/self/task/*/stat: its
// nice value and the CPU time it has used, in clock ticks.
struct TThreadStat {
    int Nice = 0;
    long long CpuTicks = 0;
};
std::map<std::string, TThreadStat> ThreadStats()
{
    std::map<std::string, TThreadStat> Stats;
    const std::unique_ptr<DIR, int (*)(DIR*)> Dir(::opendir("/proc/self/task"), ::closedir);
    while (dirent* Entry = Dir ? ::readdir(Dir.get()) : nullptr) {
        if (Entry->d_name[0] == '.')
            continue;
        std::ifstream Stat(std::string("/proc/self/task/") + Entry->d_name + "/stat");
        std::string Line;
        std::getline(Stat, Line);
        // The fields after the command name, which is in parentheses and may
        // hold spaces, from field 3 (state): utime and stime are fields 14
        // and 15, nice is 19.
        const auto Close = Line.rfind(')');
        if (Close == std::string::npos)
            continue;
        std::istringstream Rest(Line.substr(Close + 1));
        const std::vector<std::string> Fields{std::istream_iterator<std::string>(Rest), {}};
        if (Fields.size() > 16)
            Stats[Entry->d_name] = {std::stoi(Fields[16]), std::stoll(Fields[11]) + std::stoll(Fields[12])};
    }
    return Stats;
}

// The largest share of one core that any single thread used while Work ran.
// A thread spinning on a descriptor shows near 1; the process total would
// also count the sanitizers' own housekeeping threads.
double BusiestThreadShare(const std::function<void()>& Work)
{
    const auto Before = ThreadStats();
    const auto WallBefore = Clock::now();
    Work();
    const double Wall = std::chrono::duration<double>(Clock::now() - WallBefore).count();
    long long Busiest = 0;
    for (const auto& [Thread, Stat] : ThreadStats()) {
        const auto Earlier = Before.find(Thread);
        Busiest = std::max(Busiest, Stat.CpuTicks - (Earlier == Before.end() ? 0 : Earlier->second.CpuTicks));
    }
    return static_cast<double>(Busiest) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / Wall;
}

void ReadAll(TComPort& Port, int32_t Count)
{
    std::string Text;
    Port.ReadText(Text, Count);
}

}  // namespace

// ---- Which events are raised, with what data, in which order ----

class EventDispatch : public EventTest {};

TEST_F(EventDispatch, RxCharRunsOnTheOwningThreadWithTheCountOfOnePiece)
{
    for (int Round = 0; Round < 50; ++Round) {
        TEventRig& Rig = NewRig();
        Rig.Log.Attach(Rig.Port);
        Rig.Port.Open();
        Rig.Line.Write("0123456789");
        ASSERT_TRUE(Rig.Loop.ServeUntil(Rig.Log.HasRead(10)));
        EXPECT_EQ(Rig.Log.Read(), "0123456789");
        EXPECT_EQ(Rig.Log.Counts(), std::vector<int32_t>{10});
        EXPECT_EQ(Rig.Log.Threads(), std::vector<std::thread::id>{std::this_thread::get_id()});
        Rig.Port.Close();
    }
}

TEST_F(EventDispatch, RxCharCountsAddUpForDataWrittenInManyPieces)
{
    for (int Round = 0; Round < 20; ++Round) {
        TEventRig& Rig = NewRig();
        Rig.Log.Attach(Rig.Port);
        Rig.Port.Open();
        std::string Sent;
        for (int I = 0; I < 300; ++I) {
            const std::string Piece(1 + I % 5, static_cast<char>('A' + I % 26));
            Rig.Line.Write(Piece);
            Sent += Piece;
            if (I % 7 == 0)
                Rig.Loop.ServeOnce(0ms);  // the owner runs now and then meanwhile
        }
        ASSERT_TRUE(Rig.Loop.ServeUntil(Rig.Log.HasRead(Sent.size())));
        EXPECT_EQ(Rig.Log.Read(), Sent);
        const auto Counts = Rig.Log.Counts();
        EXPECT_EQ(std::accumulate(Counts.begin(), Counts.end(), 0), static_cast<int32_t>(Sent.size()));
        EXPECT_TRUE(std::all_of(Counts.begin(), Counts.end(), [](int32_t C) { return C > 0; }));
        for (auto Thread : Rig.Log.Threads())
            EXPECT_EQ(Thread, std::this_thread::get_id());
        Rig.Port.Close();
    }
}

// A new arrival raises a new event even with earlier bytes unread, and the
// count is all that is waiting when the processing runs.
TEST_F(EventDispatch, UnreadBytesAreCountedAgainWithTheNextArrival)
{
    std::vector<int32_t> Counts;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) { Counts.push_back(Count); };
    Port_.Open();
    Line_.Write("abc");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Counts.size() == 1; }));
    EXPECT_EQ(Counts[0], 3);
    Line_.Write("de");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Counts.size() == 2; }));
    EXPECT_EQ(Counts[1], 5);
    EXPECT_EQ(Port_.InputQueueCount(), 5);
    std::string Text;
    EXPECT_EQ(Port_.ReadText(Text, 5), 5);
    EXPECT_EQ(Text, "abcde");
    Loop_.ServeFor(100ms);  // nothing new came: no event
    EXPECT_EQ(Counts.size(), 2u);
    Port_.Close();
}

// With RxCharByCount off the waiting bytes are read for the handler and
// handed to OnRxBuf; OnRxChar is not raised then.
TEST_F(EventDispatch, WithoutRxCharByCountTheBytesGoToOnRxBuf)
{
    Port_.SetRxCharByCount(false);
    std::string Received;
    int RxCharCalls = 0;
    Port_.OnRxBuf = [&](TComponent* Sender, const void* Buffer, int32_t Count) {
        EXPECT_EQ(Sender, &Port_);
        Received.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
    };
    Port_.OnRxChar = [&](TComponent*, int32_t) { ++RxCharCalls; };
    Port_.Open();
    Line_.Write("hello");
    Line_.Write(" world");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Received.size() >= 11; }));
    EXPECT_EQ(Received, "hello world");
    EXPECT_EQ(RxCharCalls, 0);
    EXPECT_EQ(Port_.InputQueueCount(), 0);
    Port_.Close();
}

TEST_F(EventDispatch, EmptyEventsStartNoThreadAndRaiseNoEvent)
{
    Use(TComEvents{});
    Log_.Attach(Port_);
    const int ThreadsBefore = ThreadCount();
    Port_.Open();
    EXPECT_EQ(ThreadCount(), ThreadsBefore);
    Line_.Write("hello");
    Loop_.ServeFor(300ms);
    EXPECT_TRUE(Log_.Entries().empty());
    EXPECT_EQ(Loop_.Wakes(), 0);
    // The bytes are there for a reading call all the same.
    EXPECT_EQ(Port_.InputQueueCount(), 5);
    std::string Text;
    EXPECT_EQ(Port_.ReadText(Text, 5), 5);
    EXPECT_EQ(Text, "hello");
    Port_.Close();
    EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore));
}

TEST_F(EventDispatch, EventsChangedWhileOpenTakeEffectAtTheNextOpen)
{
    Use(TComEvents{evRxChar});
    Log_.Attach(Port_);
    const int ThreadsBefore = ThreadCount();

    Port_.Open();
    Port_.SetEvents(TComEvents{});  // no effect while open
    Line_.Write("one");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Log_.Read() == "one"; }));
    Port_.Close();
    EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore));

    Port_.Open();  // now with no events: no thread
    EXPECT_EQ(ThreadCount(), ThreadsBefore);
    Port_.SetEvents(TComEvents{evRxChar});  // again no effect while open
    Line_.Write("two");
    Loop_.ServeFor(200ms);
    EXPECT_EQ(Log_.Read(), "one");
    std::string Text;
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Port_.InputQueueCount() == 3; }));
    EXPECT_EQ(Port_.ReadText(Text, 3), 3);
    EXPECT_EQ(Text, "two");
    Port_.Close();

    Port_.Open();
    Line_.Write("three");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Log_.Read() == "onethree"; }));
    Port_.Close();
}

// Events outside the mask are not raised; those in it are.
TEST_F(EventDispatch, OnlyEventsOfTheMaskAreRaised)
{
    Use(TComEvents{evRxFlag});
    Port_.SetEventChar('\r');
    Log_.Attach(Port_);
    Port_.Open();
    Line_.Write("ab");
    Line_.Write("c\r");
    ASSERT_TRUE(Loop_.ServeUntil(Log_.HasEntries(1)));
    Loop_.ServeFor(100ms);
    EXPECT_EQ(Log_.Entries(), std::vector<std::string>{"flag"});
    Port_.Close();
}

TEST_F(EventDispatch, EventCharRaisesRxFlagAfterRxCharOfTheSameArrival)
{
    Port_.SetEventChar('\r');
    Log_.Attach(Port_);
    Port_.Open();
    Line_.Write("no flag here");
    ASSERT_TRUE(Loop_.ServeUntil(Log_.HasEntries(1)));
    Line_.Write("*00R\r");
    ASSERT_TRUE(Loop_.ServeUntil(Log_.HasEntries(3)));
    EXPECT_EQ(Log_.Entries(), (std::vector<std::string>{"rx:no flag here", "rx:*00R\r", "flag"}));
    Port_.Close();
}

TEST_F(EventDispatch, Rx80FullIsRaisedWhenTheQueueReachesEightyPercent)
{
    Port_.Buffer().SetInputSize(100);  // the mark is 80 bytes
    std::vector<int32_t> Counts;
    int FullCalls = 0;
    int32_t WaitingAtFull = -1;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) { Counts.push_back(Count); };  // reads nothing
    Port_.OnRx80Full = [&](TComponent*) {
        ++FullCalls;
        WaitingAtFull = Port_.InputQueueCount();
    };
    Port_.Open();
    Line_.Write(std::string(79, 'x'));
    ASSERT_TRUE(Loop_.ServeUntil([&] { return !Counts.empty() && Counts.back() == 79; }));
    EXPECT_EQ(FullCalls, 0);
    Line_.Write("y");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return FullCalls == 1; }));
    EXPECT_EQ(WaitingAtFull, 80);
    Line_.Write("zz");  // still above the mark: not raised again
    ASSERT_TRUE(Loop_.ServeUntil([&] { return !Counts.empty() && Counts.back() == 82; }));
    EXPECT_EQ(FullCalls, 1);
    // Read it down below the mark; reaching it again raises it again.
    std::string Text;
    EXPECT_EQ(Port_.ReadText(Text, 82), 82);
    Line_.Write(std::string(80, 'w'));
    ASSERT_TRUE(Loop_.ServeUntil([&] { return FullCalls == 2; }));
    Port_.Close();
}

TEST_F(EventDispatch, TxEmptyFollowsAWrite)
{
    Use(TComEvents{evTxEmpty});
    std::vector<std::thread::id> TxEmpty;
    Port_.OnTxEmpty = [&](TComponent*) { TxEmpty.push_back(std::this_thread::get_id()); };
    Port_.Open();
    Loop_.ServeFor(100ms);
    EXPECT_TRUE(TxEmpty.empty());  // nothing written, nothing drained
    EXPECT_EQ(Port_.WriteBytes("*00R", 4), 4);
    ASSERT_TRUE(Loop_.ServeUntil([&] { return !TxEmpty.empty(); }));
    for (auto Thread : TxEmpty)
        EXPECT_EQ(Thread, std::this_thread::get_id());
    EXPECT_EQ(Line_.Read(8, 200ms), "*00R");
    Port_.Close();
}

// A pseudo-terminal has no modem lines: the watch finds that once and the
// thread does not keep asking (no wakes, no events).
TEST_F(EventDispatch, ADeviceWithoutModemLinesRaisesNoLineEventsAndStaysAsleep)
{
    Use(TComEvents{evCTS, evDSR, evRLSD, evRing});
    int Changes = 0;
    Port_.OnCTSChange = [&](TComponent*, bool) { ++Changes; };
    Port_.OnDSRChange = [&](TComponent*, bool) { ++Changes; };
    Port_.OnRLSDChange = [&](TComponent*, bool) { ++Changes; };
    const int ThreadsBefore = ThreadCount();
    Port_.Open();
    EXPECT_EQ(ThreadCount(), ThreadsBefore + 1);  // the event thread, no line watch
    const int AfterOpen = Changes;                // Open reports the three lines once
    Loop_.ServeFor(200ms);
    EXPECT_EQ(Changes, AfterOpen);
    EXPECT_EQ(Loop_.Wakes(), 0);
    EXPECT_TRUE(Port_.ModemSignals().Empty());
    Port_.Close();
}

// A lower priority is applied to the event thread; a higher one, which an
// ordinary user may not take, is skipped without an error.
TEST_F(EventDispatch, EventPriorityIsAppliedWherePermitted)
{
    Log_.Attach(Port_);
    Port_.SetEventPriority(TThreadPriority::tpLowest);
    Port_.Open();
    Line_.Write("a");  // the thread has run past its start
    ASSERT_TRUE(Loop_.ServeUntil(Log_.HasRead(1)));
    const auto Stats = ThreadStats();
    EXPECT_EQ(std::count_if(Stats.begin(), Stats.end(), [](const auto& S) { return S.second.Nice == 10; }), 1);
    Port_.Close();

    Port_.SetEventPriority(TThreadPriority::tpTimeCritical);
    EXPECT_NO_THROW(Port_.Open());
    Line_.Write("b");
    ASSERT_TRUE(Loop_.ServeUntil(Log_.HasRead(2)));
    Port_.Close();
}

// ---- Where the handlers run: the three hand-over methods ----
//
// One arrival of "x\r" with EventChar '\r' is one event set {evRxChar,
// evRxFlag}; OnRxChar runs first. Inside it the test looks for a further
// hand-over being queued (a wake of the owner loop):
//   smThreadSync: none comes while the handler runs (the event thread waits
//                 for the whole set, one hand-over); OnRxFlag follows in the
//                 same round;
//   smWindowSync: one message per event, the sender released when the
//                 receiver started: the OnRxFlag message is queued while
//                 OnRxChar still runs;
//   smNone:       the handlers run on the event thread and nothing is queued.
struct THandOverCase {
    const char* Name;
    TSyncMethod Sync;
    std::chrono::milliseconds LookFor;  // how long OnRxChar looks for a second hand-over
    bool WakeWhileInRxChar;
    int Wakes;  // of the whole set
    bool OnOwner;
};

class EventHandOver : public EventTest, public ::testing::WithParamInterface<THandOverCase> {};

TEST_P(EventHandOver, HandlersRunWhereTheMethodSays)
{
    const THandOverCase& Case = GetParam();
    std::atomic<bool> WakeWhileInRxChar{false};
    for (int Round = 0; Round < 10; ++Round) {
        TEventRig& Rig = NewRig(AllComEvents, Case.Sync);
        Rig.Port.SetEventChar('\r');
        // The wake of the hand-over that runs OnRxChar has been taken; a
        // further one is a second hand-over queued meanwhile.
        WakeWhileInRxChar = false;
        Rig.Log.Attach(Rig.Port, [&] {
            Rig.Loop.WaitForWake(Case.LookFor);
            WakeWhileInRxChar = Rig.Loop.Wakes() >= 2;
        });
        Rig.Port.Open();
        Rig.Line.Write("x\r");
        ASSERT_TRUE(Rig.Loop.ServeUntil(Rig.Log.HasEntries(2)));
        EXPECT_EQ(Rig.Log.Entries(), (std::vector<std::string>{"rx:x\r", "flag"}));
        EXPECT_EQ(WakeWhileInRxChar.load(), Case.WakeWhileInRxChar);
        EXPECT_EQ(Rig.Loop.Wakes(), Case.Wakes);
        Rig.Port.Close();
        const auto Threads = Rig.Log.Threads();
        ASSERT_EQ(Threads.size(), 2u);
        EXPECT_EQ(Threads[0], Threads[1]);
        EXPECT_EQ(Threads[0] == std::this_thread::get_id(), Case.OnOwner);
    }
}

INSTANTIATE_TEST_SUITE_P(EachSync, EventHandOver,
                         ::testing::Values(THandOverCase{"ThreadSync", smThreadSync, 150ms, false, 1, true},
                                           THandOverCase{"WindowSync", smWindowSync, 5000ms, true, 2, true},
                                           THandOverCase{"None", smNone, 0ms, false, 0, false}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// ---- Faults while events are processed, under every hand-over method ----

class EventFaults : public EventTest, public ::testing::WithParamInterface<TSyncCase> {};

TEST_P(EventFaults, ALineErrorWithReceivedCharactersRaisesOnErrorFirst)
{
    for (int Round = 0; Round < 20; ++Round) {
        TEventRig& Rig = NewRig(AllComEvents, GetParam().Sync);
        Rig.Log.Attach(Rig.Port);
        Rig.Port.Open();
        TComThread::InjectLineInputForTest(Rig.Port, "ab", 2, TComErrors{leFrame});
        ASSERT_TRUE(Rig.Loop.ServeUntil(Rig.Log.HasEntries(2))) << ::testing::PrintToString(Rig.Log.Entries());
        Rig.Port.Close();
        EXPECT_EQ(Rig.Log.Entries(), (std::vector<std::string>{"error:frame", "rx:ab"}));
    }
}

// A parity error while Parity.Check is off leaves the error set empty: no
// OnError, but the characters are reported.
TEST_P(EventFaults, AParityErrorWithoutParityCheckRaisesNoOnError)
{
    TEventRig& Rig = NewRig(AllComEvents, GetParam().Sync);
    Rig.Log.Attach(Rig.Port);
    Rig.Port.Open();
    TComThread::InjectLineInputForTest(Rig.Port, "p", 1, TComErrors{leRxParity});
    ASSERT_TRUE(Rig.Loop.ServeUntil(Rig.Log.HasRead(1)));
    Rig.Port.Close();
    EXPECT_EQ(Rig.Log.Entries(), std::vector<std::string>{"rx:p"});
}

TEST_P(EventFaults, AnErrorInAHandlerIsShownOnceAndEventsKeepComing)
{
    std::atomic<bool> Thrown{false};
    for (int Round = 0; Round < 10; ++Round) {
        ErrorRecorder Errors;
        TEventRig& Rig = NewRig(AllComEvents, GetParam().Sync);
        Thrown = false;
        Rig.Log.Attach(Rig.Port, [&] {
            if (!Thrown.exchange(true))
                throw std::runtime_error("handler failed");
        });
        Rig.Port.Open();
        Rig.Line.Write("first");
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Rig.Log.Read() == "first"; }));
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Errors.Shown().size() == 1; }));
        Rig.Line.Write("second");
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Rig.Log.Read() == "firstsecond"; }));
        Rig.Line.Write("third");
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Rig.Log.Read() == "firstsecondthird"; }));
        Rig.Port.Close();
        EXPECT_EQ(Errors.Shown(), std::vector<std::string>{"handler failed"});
        // The display runs on the owning thread, whatever thread raised it.
        EXPECT_EQ(Errors.Threads(), std::vector<std::thread::id>{std::this_thread::get_id()});
        Rig_.reset();  // before the recorder goes
    }
}

// The far end goes away: leIOError once, then the process sleeps.
TEST_P(EventFaults, AHungUpLineIsReportedOnceAndCostsNoCpu)
{
    ErrorRecorder Shown;
    TEventRig& Rig = NewRig(AllComEvents, GetParam().Sync);
    Rig.Log.Attach(Rig.Port);
    Rig.Port.Open();
    Rig.Line.Write("before");
    Rig.Line.CloseMaster();
    ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return !Rig.Log.Errors().empty(); }));

    const double Share = BusiestThreadShare([&] { Rig.Loop.ServeFor(2000ms); });
    EXPECT_LT(Share, 0.05) << "the busiest thread used " << Share << " of a core";
    const auto Errors = Rig.Log.Errors();
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_TRUE(Errors[0].Contains(leIOError));
    EXPECT_TRUE(Shown.Shown().empty());
    Rig.Port.Close();  // still ends normally
    EXPECT_FALSE(Rig.Port.Connected());
    Rig_.reset();  // before the recorder goes
}

INSTANTIATE_TEST_SUITE_P(EachSync, EventFaults, ::testing::ValuesIn(EachSync), SyncName);

// ---- Close against a running event thread ----
//
// Close must end every time, the thread must be gone afterwards, and nothing
// left in the hand-over queue may touch the destroyed port.

class EventClose : public EventTest {};

TEST_F(EventClose, CloseWithAHandOverPendingNeverHangs)
{
    const int ThreadsBefore = ThreadCount();
    const TSyncMethod Methods[] = {smThreadSync, smWindowSync};
    for (int Round = 0; Round < 1000; ++Round) {
        auto Port = std::make_unique<TComPort>();
        SetUpPort(*Port, Line_, AllComEvents, Methods[Round % 2]);
        bool ClosedSeenInHandler = false;
        Port->OnRxChar = [&, P = Port.get()](TComponent*, int32_t Count) {
            if (!P->Connected())
                ClosedSeenInHandler = true;
            ReadAll(*P, Count);
        };
        Port->Open();
        Line_.Write("data");
        ASSERT_TRUE(Loop_.WaitForWake()) << "round " << Round;  // queued, not served
        Port->Close();
        EXPECT_FALSE(ClosedSeenInHandler);
        EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore)) << "round " << Round;
        Port.reset();
        CheckSynchronize();  // whatever is left refers to no freed memory (ASan)
    }
}

TEST_F(EventClose, CloseWhileDataStreamsInNeverHangs)
{
    const int ThreadsBefore = ThreadCount() + 1;  // the writer thread below
    std::mt19937 Random(12345);
    const TSyncMethod Methods[] = {smThreadSync, smWindowSync, smNone};
    std::atomic<int> Events{0};
    for (int Round = 0; Round < 1000; ++Round) {
        TPtyPair Line;
        auto Port = std::make_unique<TComPort>();
        SetUpPort(*Port, Line, AllComEvents, Methods[Round % 3]);
        Port->OnRxChar = [&, P = Port.get()](TComponent*, int32_t Count) {
            ++Events;
            ReadAll(*P, Count);
        };
        Port->Open();
        std::atomic<bool> StopWriting{false};
        std::thread Writer([&] {
            // Once the port is closed nobody drains the line: the writer
            // then waits for room only briefly and looks at the stop flag.
            const std::string Chunk(16, 'z');
            while (!StopWriting.load()) {
                if (::write(Line.Master(), Chunk.data(), Chunk.size()) < 0) {
                    if (errno != EAGAIN)
                        break;
                    pollfd Room{Line.Master(), POLLOUT, 0};
                    ::poll(&Room, 1, 10);
                }
                std::this_thread::yield();
            }
        });
        // Serve a random number of rounds, then close in the middle of it.
        const int ServeRounds = static_cast<int>(Random() % 4);
        for (int I = 0; I < ServeRounds; ++I)
            Loop_.ServeOnce(2ms);
        Port->Close();
        EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore)) << "round " << Round;
        StopWriting = true;
        Writer.join();
        Port.reset();
        CheckSynchronize();
    }
    EXPECT_GT(Events.load(), 0);
}

// A handler that closes its own port: under smThreadSync it runs on the
// owner while the event thread waits for it; under smNone it runs on the
// event thread itself, which cannot wait for its own end.
TEST_F(EventClose, AHandlerMayCloseItsOwnPort)
{
    const TSyncMethod Methods[] = {smThreadSync, smWindowSync, smNone};
    const int ThreadsBefore = ThreadCount();
    for (int Round = 0; Round < 300; ++Round) {
        TPtyPair Line;
        TComPort Port;
        SetUpPort(Port, Line, AllComEvents, Methods[Round % 3]);
        Port.SetEventChar('\r');
        std::atomic<int> RxCalls{0}, FlagCalls{0}, AfterClose{0};
        // Under smNone the handler runs on the event thread: the flag orders
        // its Close after the end of Open for the race detector (the bytes
        // that raise the event are written after Open in any case).
        std::atomic<bool> Opened{false};
        Port.OnRxChar = [&](TComponent*, int32_t) {
            EXPECT_TRUE(Opened.load());
            ++RxCalls;
            Port.Close();
        };
        Port.OnRxFlag = [&](TComponent*) { ++FlagCalls; };  // same set: skipped once closed
        Port.OnAfterClose = [&](TComponent*) { ++AfterClose; };
        Port.Open();
        Opened = true;
        Line.Write("x\r");
        ASSERT_TRUE(Loop_.ServeUntil([&] { return AfterClose.load() == 1; })) << "round " << Round;
        EXPECT_EQ(RxCalls.load(), 1);
        EXPECT_EQ(FlagCalls.load(), 0);
        EXPECT_FALSE(Port.Connected());
        EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore)) << "round " << Round;
        // Reopening works after a close from a handler.
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            ++RxCalls;
            ReadAll(Port, Count);
        };
        Port.Open();
        Line.Write("y");
        ASSERT_TRUE(Loop_.ServeUntil([&] { return RxCalls.load() == 2; })) << "round " << Round;
        Port.Close();
    }
}

// Under smWindowSync a message that reaches the receiver after the port has
// stopped being Connected is dropped; Close runs its events in order and
// the messages already started complete first.
TEST_F(EventClose, WindowSyncMessagesDuringCloseAreDeliveredBeforeOnAfterClose)
{
    std::vector<std::string> Order;  // outlives every rig: the ports' handlers write to it
    for (int Round = 0; Round < 50; ++Round) {
        TEventRig& Rig = NewRig(AllComEvents, smWindowSync);
        Order.clear();
        Rig.Port.OnRxChar = [&](TComponent*, int32_t Count) {
            ReadAll(Rig.Port, Count);
            Order.push_back(Rig.Port.Connected() ? "rx" : "rx while closed");
        };
        Rig.Port.OnBeforeClose = [&](TComponent*) { Order.push_back("before close"); };
        Rig.Port.OnAfterClose = [&](TComponent*) { Order.push_back("after close"); };
        Rig.Port.Open();
        Rig.Line.Write("abc");
        ASSERT_TRUE(Rig.Loop.WaitForWake());  // a message is queued, not yet served
        Rig.Port.Close();
        Rig.Loop.ServeFor(20ms);  // anything left over is dropped
        ASSERT_GE(Order.size(), 2u);
        EXPECT_EQ(Order.back(), "after close");
        for (const auto& Step : Order)
            EXPECT_NE(Step, "rx while closed");
    }
}
