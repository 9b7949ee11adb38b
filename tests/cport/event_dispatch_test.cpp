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
    std::vector<int32_t> counts;
    std::string data;
    bool all_on_owner = true;
};

// OnRxChar that reads what it is told is waiting.
void ReadingHandler(TComPort& Port, RxRecord& Record, std::thread::id Owner) {
    Port.OnRxChar = [&Port, &Record, Owner](TComponent* Sender, int32_t Count) {
        EXPECT_EQ(Sender, &Port);
        if (std::this_thread::get_id() != Owner) Record.all_on_owner = false;
        Record.counts.push_back(Count);
        std::string text;
        EXPECT_EQ(Port.ReadText(text, Count), Count);
        EXPECT_EQ(text.size(), static_cast<size_t>(Count));
        Record.data += text;
    };
}

// A rig whose port is open, with ReadingHandler recording into Record.
struct TReadingRig : TEventRig {
    TReadingRig() {
        ReadingHandler(Port, Record, std::this_thread::get_id());
        Port.Open();
    }
    RxRecord Record;
};

int32_t Sum(const std::vector<int32_t>& Counts) {
    int32_t total = 0;
    for (int32_t c : Counts) total += c;
    return total;
}

}  // namespace

TEST_F(EventDispatch, RxCharRunsOnTheOwningThreadWithTheCountOfOnePiece) {
    for (int round = 0; round < 50; ++round) {
        TReadingRig Rig;
        Rig.Line.Write("0123456789");
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Rig.Record.data.size() >= 10; }));
        EXPECT_EQ(Rig.Record.data, "0123456789");
        ASSERT_EQ(Rig.Record.counts.size(), 1u);
        EXPECT_EQ(Rig.Record.counts[0], 10);
        EXPECT_TRUE(Rig.Record.all_on_owner);
        Rig.Port.Close();
    }
}

TEST_F(EventDispatch, RxCharCountsAddUpForDataWrittenInManyPieces) {
    for (int round = 0; round < 20; ++round) {
        TReadingRig Rig;
        std::string sent;
        for (int i = 0; i < 300; ++i) {
            const std::string piece(1 + i % 5, static_cast<char>('A' + i % 26));
            Rig.Line.Write(piece);
            sent += piece;
            if (i % 7 == 0) Rig.Loop.ServeOnce(0ms);   // the owner runs now and then meanwhile
        }
        ASSERT_TRUE(Rig.Loop.ServeUntil([&] { return Rig.Record.data.size() >= sent.size(); }));
        EXPECT_EQ(Rig.Record.data, sent);
        EXPECT_EQ(Sum(Rig.Record.counts), static_cast<int32_t>(sent.size()));
        for (int32_t c : Rig.Record.counts) EXPECT_GT(c, 0);
        EXPECT_TRUE(Rig.Record.all_on_owner);
        Rig.Port.Close();
    }
}

// A new arrival raises a new event even with earlier bytes unread, and the
// count is all that is waiting when the processing runs.
TEST_F(EventDispatch, UnreadBytesAreCountedAgainWithTheNextArrival) {
    std::vector<int32_t> counts;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) { counts.push_back(Count); };
    Port_.Open();
    Line_.Write("abc");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(counts[0], 3);
    Line_.Write("de");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[1], 5);
    EXPECT_EQ(Port_.InputQueueCount(), 5);
    std::string text;
    EXPECT_EQ(Port_.ReadText(text, 5), 5);
    EXPECT_EQ(text, "abcde");
    Loop_.ServeFor(100ms);   // nothing new came: no event
    EXPECT_EQ(counts.size(), 2u);
    Port_.Close();
}

// With RxCharByCount off the waiting bytes are read for the handler and
// handed to OnRxBuf; OnRxChar is not raised then.
TEST_F(EventDispatch, WithoutRxCharByCountTheBytesGoToOnRxBuf) {
    Port_.SetRxCharByCount(false);
    std::string received;
    int rx_char_calls = 0;
    Port_.OnRxBuf = [&](TComponent* Sender, const void* Buffer, int32_t Count) {
        EXPECT_EQ(Sender, &Port_);
        received.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
    };
    Port_.OnRxChar = [&](TComponent*, int32_t) { ++rx_char_calls; };
    Port_.Open();
    Line_.Write("hello");
    Line_.Write(" world");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return received.size() >= 11; }));
    EXPECT_EQ(received, "hello world");
    EXPECT_EQ(rx_char_calls, 0);
    EXPECT_EQ(Port_.InputQueueCount(), 0);
    Port_.Close();
}

TEST_F(EventDispatch, EmptyEventsStartNoThreadAndRaiseNoEvent) {
    Use(TComEvents{});
    int rx_calls = 0;
    Port_.OnRxChar = [&](TComponent*, int32_t) { ++rx_calls; };
    const int threads_before = ThreadCount();
    Port_.Open();
    EXPECT_EQ(ThreadCount(), threads_before);
    Line_.Write("hello");
    Loop_.ServeFor(300ms);
    EXPECT_EQ(rx_calls, 0);
    EXPECT_EQ(Loop_.Wakes(), 0);
    // The bytes are there for a reading call all the same.
    EXPECT_EQ(Port_.InputQueueCount(), 5);
    std::string text;
    EXPECT_EQ(Port_.ReadText(text, 5), 5);
    EXPECT_EQ(text, "hello");
    Port_.Close();
    EXPECT_TRUE(ThreadCountBecomes(threads_before));
}

TEST_F(EventDispatch, EventsChangedWhileOpenTakeEffectAtTheNextOpen) {
    Use(TComEvents{evRxChar});
    RxRecord record;
    ReadingHandler(Port_, record, std::this_thread::get_id());
    const int threads_before = ThreadCount();

    Port_.Open();
    Port_.SetEvents(TComEvents{});   // no effect while open
    Line_.Write("one");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return record.data == "one"; }));
    Port_.Close();
    EXPECT_TRUE(ThreadCountBecomes(threads_before));

    Port_.Open();   // now with no events: no thread
    EXPECT_EQ(ThreadCount(), threads_before);
    Port_.SetEvents(TComEvents{evRxChar});   // again no effect while open
    Line_.Write("two");
    Loop_.ServeFor(200ms);
    EXPECT_EQ(record.data, "one");
    std::string text;
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Port_.InputQueueCount() == 3; }));
    EXPECT_EQ(Port_.ReadText(text, 3), 3);
    EXPECT_EQ(text, "two");
    Port_.Close();

    Port_.Open();
    Line_.Write("three");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return record.data == "onethree"; }));
    Port_.Close();
}

// Events outside the mask are not raised; those in it are.
TEST_F(EventDispatch, OnlyEventsOfTheMaskAreRaised) {
    Use(TComEvents{evRxFlag});
    Port_.SetEventChar('\r');
    int rx_calls = 0, flag_calls = 0;
    Port_.OnRxChar = [&](TComponent*, int32_t) { ++rx_calls; };
    Port_.OnRxFlag = [&](TComponent*) { ++flag_calls; };
    Port_.Open();
    Line_.Write("ab");
    Line_.Write("c\r");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return flag_calls == 1; }));
    Loop_.ServeFor(100ms);
    EXPECT_EQ(flag_calls, 1);
    EXPECT_EQ(rx_calls, 0);
    Port_.Close();
}

TEST_F(EventDispatch, EventCharRaisesRxFlagAfterRxCharOfTheSameArrival) {
    Port_.SetEventChar('\r');
    std::vector<std::string> order;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) {
        std::string text;
        Port_.ReadText(text, Count);
        order.push_back("rx:" + text);
    };
    Port_.OnRxFlag = [&](TComponent*) { order.push_back("flag"); };
    Port_.Open();
    Line_.Write("no flag here");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return order.size() == 1; }));
    Line_.Write("*00R\r");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"rx:no flag here", "rx:*00R\r", "flag"}));
    Port_.Close();
}

TEST_F(EventDispatch, Rx80FullIsRaisedWhenTheQueueReachesEightyPercent) {
    Port_.Buffer().SetInputSize(100);   // the mark is 80 bytes
    std::vector<int32_t> counts;
    int full_calls = 0;
    int32_t waiting_at_full = -1;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) { counts.push_back(Count); };   // reads nothing
    Port_.OnRx80Full = [&](TComponent*) {
        ++full_calls;
        waiting_at_full = Port_.InputQueueCount();
    };
    Port_.Open();
    Line_.Write(std::string(79, 'x'));
    ASSERT_TRUE(Loop_.ServeUntil([&] { return !counts.empty() && counts.back() == 79; }));
    EXPECT_EQ(full_calls, 0);
    Line_.Write("y");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return full_calls == 1; }));
    EXPECT_EQ(waiting_at_full, 80);
    Line_.Write("zz");   // still above the mark: not raised again
    ASSERT_TRUE(Loop_.ServeUntil([&] { return !counts.empty() && counts.back() == 82; }));
    EXPECT_EQ(full_calls, 1);
    // Read it down below the mark; reaching it again raises it again.
    std::string text;
    EXPECT_EQ(Port_.ReadText(text, 82), 82);
    Line_.Write(std::string(80, 'w'));
    ASSERT_TRUE(Loop_.ServeUntil([&] { return full_calls == 2; }));
    Port_.Close();
}

TEST_F(EventDispatch, TxEmptyFollowsAWrite) {
    Use(TComEvents{evTxEmpty});
    int tx_empty = 0;
    bool on_owner = true;
    const auto owner = std::this_thread::get_id();
    Port_.OnTxEmpty = [&](TComponent*) {
        ++tx_empty;
        if (std::this_thread::get_id() != owner) on_owner = false;
    };
    Port_.Open();
    Loop_.ServeFor(100ms);
    EXPECT_EQ(tx_empty, 0);   // nothing written, nothing drained
    EXPECT_EQ(Port_.WriteBytes("*00R", 4), 4);
    ASSERT_TRUE(Loop_.ServeUntil([&] { return tx_empty >= 1; }));
    EXPECT_TRUE(on_owner);
    EXPECT_EQ(Line_.Read(8, 200ms), "*00R");
    Port_.Close();
}

// A pseudo-terminal has no modem lines: the watch finds that once and the
// thread does not keep asking (no wakes, no events).
TEST_F(EventDispatch, ADeviceWithoutModemLinesRaisesNoLineEventsAndStaysAsleep) {
    Use(TComEvents{evCTS, evDSR, evRLSD, evRing});
    int changes = 0;
    Port_.OnCTSChange = [&](TComponent*, bool) { ++changes; };
    Port_.OnDSRChange = [&](TComponent*, bool) { ++changes; };
    Port_.OnRLSDChange = [&](TComponent*, bool) { ++changes; };
    const int threads_before = ThreadCount();
    Port_.Open();
    EXPECT_EQ(ThreadCount(), threads_before + 1);   // the event thread, no line watch
    const int after_open = changes;   // Open reports the three lines once
    Loop_.ServeFor(200ms);
    EXPECT_EQ(changes, after_open);
    EXPECT_EQ(Loop_.Wakes(), 0);
    EXPECT_TRUE(Port_.ModemSignals().Empty());
    Port_.Close();
}

namespace {

// The nice values of this process's threads (field 19 of each task's stat).
std::vector<int> ThreadNiceValues() {
    std::vector<int> values;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            const std::string path = std::string("/proc/self/task/") + entry->d_name + "/stat";
            if (FILE* f = std::fopen(path.c_str(), "r")) {
                char line[1024] = {};
                if (std::fgets(line, sizeof line, f)) {
                    // Fields after the command name, which is in parentheses.
                    const char* rest = std::strrchr(line, ')');
                    int field = 2, nice = 0;
                    for (const char* p = rest; p && *p; ++p) {
                        if (*p != ' ') continue;
                        if (++field == 19) {
                            nice = std::atoi(p + 1);
                            break;
                        }
                    }
                    values.push_back(nice);
                }
                std::fclose(f);
            }
        }
        ::closedir(dir);
    }
    return values;
}

}  // namespace

// A lower priority is applied to the event thread; a higher one, which an
// ordinary user may not take, is skipped without an error.
TEST_F(EventDispatch, EventPriorityIsAppliedWherePermitted) {
    int events = 0;
    Port_.OnRxChar = [&](TComponent*, int32_t Count) {
        ++events;
        std::string text;
        Port_.ReadText(text, Count);
    };
    Port_.SetEventPriority(TThreadPriority::tpLowest);
    Port_.Open();
    Line_.Write("a");   // the thread has run past its start
    ASSERT_TRUE(Loop_.ServeUntil([&] { return events == 1; }));
    const auto values = ThreadNiceValues();
    EXPECT_EQ(std::count(values.begin(), values.end(), 10), 1);
    Port_.Close();

    Port_.SetEventPriority(TThreadPriority::tpTimeCritical);
    EXPECT_NO_THROW(Port_.Open());
    Line_.Write("b");
    ASSERT_TRUE(Loop_.ServeUntil([&] { return events == 2; }));
    Port_.Close();
}
