// SPDX-License-Identifier: MIT
// Which events the event thread raises for what arrives on the line, with
// what data, in which order, and on which thread the handlers run.
#include "event_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace cport;
using namespace event_test;

class EventDispatch : public EventTest {};

namespace {

struct RxRecord {
    std::vector<int32_t> Counts;
    std::string Data;
    bool AllOnOwner = true;
};

// OnRxChar that reads what it is told is waiting.
void ReadingHandler(TComPort& Port, RxRecord& Record, std::thread::id Owner)
{
    Port.OnRxChar = [&Port, &Record, Owner](TComponent* Sender, int32_t Count) {
        EXPECT_EQ(Sender, &Port);
        if (std::this_thread::get_id() != Owner)
            Record.AllOnOwner = false;
        Record.Counts.push_back(Count);
        std::string Text;
        EXPECT_EQ(Port.ReadText(Text, Count), Count);
        EXPECT_EQ(Text.size(), static_cast<size_t>(Count));
        Record.Data += Text;
    };
}

// A rig whose port is open, with ReadingHandler recording into Record.
struct TReadingRig : TEventRig {
    TReadingRig()
    {
        ReadingHandler(Port, Record, std::this_thread::get_id());
        Port.Open();
    }
    RxRecord Record;
};

int32_t Sum(const std::vector<int32_t>& Counts)
{
    int32_t Total = 0;
    for (int32_t C : Counts)
        Total += C;
    return Total;
}

}  // namespace

TEST_F(EventDispatch, RxCharRunsOnTheOwningThreadWithTheCountOfOnePiece)
{
    for (int Round = 0; Round < 50; ++Round) {
        TReadingRig Rig;
        Rig.Line.Write("0123456789");
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Rig.Record.Data.size() >= 10; }));
        EXPECT_EQ(Rig.Record.Data, "0123456789");
        ASSERT_EQ(Rig.Record.Counts.size(), 1u);
        EXPECT_EQ(Rig.Record.Counts[0], 10);
        EXPECT_TRUE(Rig.Record.AllOnOwner);
        Rig.Port.Close();
    }
}

TEST_F(EventDispatch, RxCharCountsAddUpForDataWrittenInManyPieces)
{
    for (int Round = 0; Round < 20; ++Round) {
        TReadingRig Rig;
        std::string Sent;
        for (int I = 0; I < 300; ++I) {
            const std::string Piece(1 + I % 5, static_cast<char>('A' + I % 26));
            Rig.Line.Write(Piece);
            Sent += Piece;
            if (I % 7 == 0)
                Rig.Loop.ServeOnce(0ms);  // the owner runs now and then meanwhile
        }
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Rig.Record.Data.size() >= Sent.size(); }));
        EXPECT_EQ(Rig.Record.Data, Sent);
        EXPECT_EQ(Sum(Rig.Record.Counts), static_cast<int32_t>(Sent.size()));
        for (int32_t C : Rig.Record.Counts)
            EXPECT_GT(C, 0);
        EXPECT_TRUE(Rig.Record.AllOnOwner);
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
    int RxCalls = 0;
    Port_.OnRxChar = [&](TComponent*, int32_t) { ++RxCalls; };
    const int ThreadsBefore = ThreadCount();
    Port_.Open();
    EXPECT_EQ(ThreadCount(), ThreadsBefore);
    Line_.Write("hello");
    Loop_.ServeFor(300ms);
    EXPECT_EQ(RxCalls, 0);
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
    RxRecord record;
    ReadingHandler(Port_, record, std::this_thread::get_id());
    const int ThreadsBefore = ThreadCount();

    Port_.Open();
    Port_.SetEvents(TComEvents{});  // no effect while open
    Line_.Write("one");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return record.Data == "one"; }));
    Port_.Close();
    EXPECT_TRUE(ThreadCountBecomes(ThreadsBefore));

    Port_.Open();  // now with no events: no thread
    EXPECT_EQ(ThreadCount(), ThreadsBefore);
    Port_.SetEvents(TComEvents{evRxChar});  // again no effect while open
    Line_.Write("two");
    Loop_.ServeFor(200ms);
    EXPECT_EQ(record.Data, "one");
    std::string Text;
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Port_.InputQueueCount() == 3; }));
    EXPECT_EQ(Port_.ReadText(Text, 3), 3);
    EXPECT_EQ(Text, "two");
    Port_.Close();

    Port_.Open();
    Line_.Write("three");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return record.Data == "onethree"; }));
    Port_.Close();
}

// Events outside the mask are not raised; those in it are.
TEST_F(EventDispatch, OnlyEventsOfTheMaskAreRaised)
{
    Use(TComEvents{evRxFlag});
    Port_.SetEventChar('\r');
    int RxCalls = 0, FlagCalls = 0;
    Port_.OnRxChar = [&](TComponent*, int32_t) { ++RxCalls; };
    Port_.OnRxFlag = [&](TComponent*) { ++FlagCalls; };
    Port_.Open();
    Line_.Write("ab");
    Line_.Write("c\r");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return FlagCalls == 1; }));
    Loop_.ServeFor(100ms);
    EXPECT_EQ(FlagCalls, 1);
    EXPECT_EQ(RxCalls, 0);
    Port_.Close();
}

TEST_F(EventDispatch, EventCharRaisesRxFlagAfterRxCharOfTheSameArrival)
{
    Port_.SetEventChar('\r');
    std::vector<std::string> Order;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) {
        std::string Text;
        Port_.ReadText(Text, Count);
        Order.push_back("rx:" + Text);
    };
    Port_.OnRxFlag = [&](TComponent*) { Order.push_back("flag"); };
    Port_.Open();
    Line_.Write("no flag here");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Order.size() == 1; }));
    Line_.Write("*00R\r");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Order.size() == 3; }));
    EXPECT_EQ(Order, (std::vector<std::string>{"rx:no flag here", "rx:*00R\r", "flag"}));
    Port_.Close();
}

TEST_F(EventDispatch, Rx80FullIsRaisedWhenTheQueueReachesEightyPercent)
{
    Port_.Buffer().SetInputSize(100);  // the mark is 80 bytes
    std::vector<int32_t> Counts;
    int FullCalls = 0;
    int32_t waiting_at_full = -1;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) { Counts.push_back(Count); };  // reads nothing
    Port_.OnRx80Full = [&](TComponent*) {
        ++FullCalls;
        waiting_at_full = Port_.InputQueueCount();
    };
    Port_.Open();
    Line_.Write(std::string(79, 'x'));
    ASSERT_TRUE(Loop_.ServeUntil([&] { return !Counts.empty() && Counts.back() == 79; }));
    EXPECT_EQ(FullCalls, 0);
    Line_.Write("y");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return FullCalls == 1; }));
    EXPECT_EQ(waiting_at_full, 80);
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
    int TxEmpty = 0;
    bool on_owner = true;
    const auto owner = std::this_thread::get_id();
    Port_.OnTxEmpty = [&](TComponent*) {
        ++TxEmpty;
        if (std::this_thread::get_id() != owner)
            on_owner = false;
    };
    Port_.Open();
    Loop_.ServeFor(100ms);
    EXPECT_EQ(TxEmpty, 0);  // nothing written, nothing drained
    EXPECT_EQ(Port_.WriteBytes("*00R", 4), 4);
    ASSERT_TRUE(Loop_.ServeUntil([&] { return TxEmpty >= 1; }));
    EXPECT_TRUE(on_owner);
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

namespace {

// The nice values of this process's threads (field 19 of each task's stat).
std::vector<int> ThreadNiceValues()
{
    std::vector<int> Values;
    if (DIR* Dir = ::opendir("/proc/self/task")) {
        while (dirent* Entry = ::readdir(Dir)) {
            if (Entry->d_name[0] == '.')
                continue;
            const std::string Path = std::string("/proc/self/task/") + Entry->d_name + "/stat";
            if (FILE* F = std::fopen(Path.c_str(), "r")) {
                char Line[1024] = {};
                if (std::fgets(Line, sizeof Line, F)) {
                    // Fields after the command name, which is in parentheses.
                    const char* Rest = std::strrchr(Line, ')');
                    int Field = 2, Nice = 0;
                    for (const char* P = Rest; P && *P; ++P) {
                        if (*P != ' ')
                            continue;
                        if (++Field == 19) {
                            Nice = std::atoi(P + 1);
                            break;
                        }
                    }
                    Values.push_back(Nice);
                }
                std::fclose(F);
            }
        }
        ::closedir(Dir);
    }
    return Values;
}

}  // namespace

// A lower priority is applied to the event thread; a higher one, which an
// ordinary user may not take, is skipped without an error.
TEST_F(EventDispatch, EventPriorityIsAppliedWherePermitted)
{
    int Events = 0;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) {
        ++Events;
        std::string Text;
        Port_.ReadText(Text, Count);
    };
    Port_.SetEventPriority(TThreadPriority::tpLowest);
    Port_.Open();
    Line_.Write("a");  // the thread has run past its start
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Events == 1; }));
    const auto Values = ThreadNiceValues();
    EXPECT_EQ(std::count(Values.begin(), Values.end(), 10), 1);
    Port_.Close();

    Port_.SetEventPriority(TThreadPriority::tpTimeCritical);
    EXPECT_NO_THROW(Port_.Open());
    Line_.Write("b");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Events == 2; }));
    Port_.Close();
}
