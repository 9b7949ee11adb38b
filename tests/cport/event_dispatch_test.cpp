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

int32_t Sum(const std::vector<int32_t>& Counts) {
    int32_t total = 0;
    for (int32_t c : Counts) total += c;
    return total;
}

}  // namespace

TEST(EventDispatch, RxCharRunsOnTheOwningThreadWithTheCountOfOnePiece) {
    Watchdog watchdog("rx one piece", 60s);
    for (int round = 0; round < 50; ++round) {
        FarEnd line;
        OwnerLoop loop;
        TComPort port;
        SetUpPort(port, line, AllComEvents, smThreadSync);
        RxRecord record;
        ReadingHandler(port, record, std::this_thread::get_id());
        port.Open();
        line.Write("0123456789");
        ASSERT_TRUE(loop.ServeUntil([&] { return record.data.size() >= 10; }));
        EXPECT_EQ(record.data, "0123456789");
        ASSERT_EQ(record.counts.size(), 1u);
        EXPECT_EQ(record.counts[0], 10);
        EXPECT_TRUE(record.all_on_owner);
        port.Close();
    }
}

TEST(EventDispatch, RxCharCountsAddUpForDataWrittenInManyPieces) {
    Watchdog watchdog("rx many pieces", 60s);
    for (int round = 0; round < 20; ++round) {
        FarEnd line;
        OwnerLoop loop;
        TComPort port;
        SetUpPort(port, line, AllComEvents, smThreadSync);
        RxRecord record;
        ReadingHandler(port, record, std::this_thread::get_id());
        port.Open();
        std::string sent;
        for (int i = 0; i < 300; ++i) {
            const std::string piece(1 + i % 5, static_cast<char>('A' + i % 26));
            line.Write(piece);
            sent += piece;
            if (i % 7 == 0) loop.ServeOnce(0ms);   // the owner runs now and then meanwhile
        }
        ASSERT_TRUE(loop.ServeUntil([&] { return record.data.size() >= sent.size(); }));
        EXPECT_EQ(record.data, sent);
        EXPECT_EQ(Sum(record.counts), static_cast<int32_t>(sent.size()));
        for (int32_t c : record.counts) EXPECT_GT(c, 0);
        EXPECT_TRUE(record.all_on_owner);
        port.Close();
    }
}

// A new arrival raises a new event even with earlier bytes unread, and the
// count is all that is waiting when the processing runs.
TEST(EventDispatch, UnreadBytesAreCountedAgainWithTheNextArrival) {
    Watchdog watchdog("rx unread", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, AllComEvents, smThreadSync);
    std::vector<int32_t> counts;
    port.OnRxChar = [&](TComponent*, int32_t Count) { counts.push_back(Count); };
    port.Open();
    line.Write("abc");
    ASSERT_TRUE(loop.ServeUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(counts[0], 3);
    line.Write("de");
    ASSERT_TRUE(loop.ServeUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[1], 5);
    EXPECT_EQ(port.InputQueueCount(), 5);
    std::string text;
    EXPECT_EQ(port.ReadText(text, 5), 5);
    EXPECT_EQ(text, "abcde");
    loop.ServeFor(100ms);   // nothing new came: no event
    EXPECT_EQ(counts.size(), 2u);
    port.Close();
}

// With RxCharByCount off the waiting bytes are read for the handler and
// handed to OnRxBuf; OnRxChar is not raised then.
TEST(EventDispatch, WithoutRxCharByCountTheBytesGoToOnRxBuf) {
    Watchdog watchdog("rx buf", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, AllComEvents, smThreadSync);
    port.SetRxCharByCount(false);
    std::string received;
    int rx_char_calls = 0;
    port.OnRxBuf = [&](TComponent* Sender, const void* Buffer, int32_t Count) {
        EXPECT_EQ(Sender, &port);
        received.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
    };
    port.OnRxChar = [&](TComponent*, int32_t) { ++rx_char_calls; };
    port.Open();
    line.Write("hello");
    line.Write(" world");
    ASSERT_TRUE(loop.ServeUntil([&] { return received.size() >= 11; }));
    EXPECT_EQ(received, "hello world");
    EXPECT_EQ(rx_char_calls, 0);
    EXPECT_EQ(port.InputQueueCount(), 0);
    port.Close();
}

TEST(EventDispatch, EmptyEventsStartNoThreadAndRaiseNoEvent) {
    Watchdog watchdog("no events", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, TComEvents{}, smThreadSync);
    int rx_calls = 0;
    port.OnRxChar = [&](TComponent*, int32_t) { ++rx_calls; };
    const int threads_before = ThreadCount();
    port.Open();
    EXPECT_EQ(ThreadCount(), threads_before);
    line.Write("hello");
    loop.ServeFor(300ms);
    EXPECT_EQ(rx_calls, 0);
    EXPECT_EQ(loop.Wakes(), 0);
    // The bytes are there for a reading call all the same.
    EXPECT_EQ(port.InputQueueCount(), 5);
    std::string text;
    EXPECT_EQ(port.ReadText(text, 5), 5);
    EXPECT_EQ(text, "hello");
    port.Close();
    EXPECT_TRUE(ThreadCountBecomes(threads_before));
}

TEST(EventDispatch, EventsChangedWhileOpenTakeEffectAtTheNextOpen) {
    Watchdog watchdog("events change", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, TComEvents{evRxChar}, smThreadSync);
    RxRecord record;
    ReadingHandler(port, record, std::this_thread::get_id());
    const int threads_before = ThreadCount();

    port.Open();
    port.SetEvents(TComEvents{});   // no effect while open
    line.Write("one");
    ASSERT_TRUE(loop.ServeUntil([&] { return record.data == "one"; }));
    port.Close();
    EXPECT_TRUE(ThreadCountBecomes(threads_before));

    port.Open();   // now with no events: no thread
    EXPECT_EQ(ThreadCount(), threads_before);
    port.SetEvents(TComEvents{evRxChar});   // again no effect while open
    line.Write("two");
    loop.ServeFor(200ms);
    EXPECT_EQ(record.data, "one");
    std::string text;
    ASSERT_TRUE(loop.ServeUntil([&] { return port.InputQueueCount() == 3; }));
    EXPECT_EQ(port.ReadText(text, 3), 3);
    EXPECT_EQ(text, "two");
    port.Close();

    port.Open();
    line.Write("three");
    ASSERT_TRUE(loop.ServeUntil([&] { return record.data == "onethree"; }));
    port.Close();
}

// Events outside the mask are not raised; those in it are.
TEST(EventDispatch, OnlyEventsOfTheMaskAreRaised) {
    Watchdog watchdog("mask", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, TComEvents{evRxFlag}, smThreadSync);
    port.SetEventChar('\r');
    int rx_calls = 0, flag_calls = 0;
    port.OnRxChar = [&](TComponent*, int32_t) { ++rx_calls; };
    port.OnRxFlag = [&](TComponent*) { ++flag_calls; };
    port.Open();
    line.Write("ab");
    line.Write("c\r");
    ASSERT_TRUE(loop.ServeUntil([&] { return flag_calls == 1; }));
    loop.ServeFor(100ms);
    EXPECT_EQ(flag_calls, 1);
    EXPECT_EQ(rx_calls, 0);
    port.Close();
}

TEST(EventDispatch, EventCharRaisesRxFlagAfterRxCharOfTheSameArrival) {
    Watchdog watchdog("rx flag", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, AllComEvents, smThreadSync);
    port.SetEventChar('\r');
    std::vector<std::string> order;
    port.OnRxChar = [&](TComponent*, int32_t Count) {
        std::string text;
        port.ReadText(text, Count);
        order.push_back("rx:" + text);
    };
    port.OnRxFlag = [&](TComponent*) { order.push_back("flag"); };
    port.Open();
    line.Write("no flag here");
    ASSERT_TRUE(loop.ServeUntil([&] { return order.size() == 1; }));
    line.Write("*00R\r");
    ASSERT_TRUE(loop.ServeUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"rx:no flag here", "rx:*00R\r", "flag"}));
    port.Close();
}

TEST(EventDispatch, Rx80FullIsRaisedWhenTheQueueReachesEightyPercent) {
    Watchdog watchdog("rx80", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, AllComEvents, smThreadSync);
    port.Buffer().SetInputSize(100);   // the mark is 80 bytes
    std::vector<int32_t> counts;
    int full_calls = 0;
    int32_t waiting_at_full = -1;
    port.OnRxChar = [&](TComponent*, int32_t Count) { counts.push_back(Count); };   // reads nothing
    port.OnRx80Full = [&](TComponent*) {
        ++full_calls;
        waiting_at_full = port.InputQueueCount();
    };
    port.Open();
    line.Write(std::string(79, 'x'));
    ASSERT_TRUE(loop.ServeUntil([&] { return !counts.empty() && counts.back() == 79; }));
    EXPECT_EQ(full_calls, 0);
    line.Write("y");
    ASSERT_TRUE(loop.ServeUntil([&] { return full_calls == 1; }));
    EXPECT_EQ(waiting_at_full, 80);
    line.Write("zz");   // still above the mark: not raised again
    ASSERT_TRUE(loop.ServeUntil([&] { return !counts.empty() && counts.back() == 82; }));
    EXPECT_EQ(full_calls, 1);
    // Read it down below the mark; reaching it again raises it again.
    std::string text;
    EXPECT_EQ(port.ReadText(text, 82), 82);
    line.Write(std::string(80, 'w'));
    ASSERT_TRUE(loop.ServeUntil([&] { return full_calls == 2; }));
    port.Close();
}

TEST(EventDispatch, TxEmptyFollowsAWrite) {
    Watchdog watchdog("tx empty", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, TComEvents{evTxEmpty}, smThreadSync);
    int tx_empty = 0;
    bool on_owner = true;
    const auto owner = std::this_thread::get_id();
    port.OnTxEmpty = [&](TComponent*) {
        ++tx_empty;
        if (std::this_thread::get_id() != owner) on_owner = false;
    };
    port.Open();
    loop.ServeFor(100ms);
    EXPECT_EQ(tx_empty, 0);   // nothing written, nothing drained
    EXPECT_EQ(port.WriteBytes("*00R", 4), 4);
    ASSERT_TRUE(loop.ServeUntil([&] { return tx_empty >= 1; }));
    EXPECT_TRUE(on_owner);
    char echo[8] = {};
    EXPECT_EQ(::read(line.Fd(), echo, sizeof echo), 4);
    port.Close();
}

// A pseudo-terminal has no modem lines: the watch finds that once and the
// thread does not keep asking (no wakes, no events).
TEST(EventDispatch, ADeviceWithoutModemLinesRaisesNoLineEventsAndStaysAsleep) {
    Watchdog watchdog("no modem lines", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, TComEvents{evCTS, evDSR, evRLSD, evRing}, smThreadSync);
    int changes = 0;
    port.OnCTSChange = [&](TComponent*, bool) { ++changes; };
    port.OnDSRChange = [&](TComponent*, bool) { ++changes; };
    port.OnRLSDChange = [&](TComponent*, bool) { ++changes; };
    const int threads_before = ThreadCount();
    port.Open();
    EXPECT_EQ(ThreadCount(), threads_before + 1);   // the event thread, no line watch
    const int after_open = changes;   // Open reports the three lines once
    loop.ServeFor(200ms);
    EXPECT_EQ(changes, after_open);
    EXPECT_EQ(loop.Wakes(), 0);
    EXPECT_TRUE(port.ModemSignals().Empty());
    port.Close();
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
TEST(EventDispatch, EventPriorityIsAppliedWherePermitted) {
    Watchdog watchdog("priority", 30s);
    FarEnd line;
    OwnerLoop loop;
    TComPort port;
    SetUpPort(port, line, AllComEvents, smThreadSync);
    int events = 0;
    port.OnRxChar = [&](TComponent*, int32_t Count) {
        ++events;
        std::string text;
        port.ReadText(text, Count);
    };
    port.SetEventPriority(TThreadPriority::tpLowest);
    port.Open();
    line.Write("a");   // the thread has run past its start
    ASSERT_TRUE(loop.ServeUntil([&] { return events == 1; }));
    const auto values = ThreadNiceValues();
    EXPECT_EQ(std::count(values.begin(), values.end(), 10), 1);
    port.Close();

    port.SetEventPriority(TThreadPriority::tpTimeCritical);
    EXPECT_NO_THROW(port.Open());
    line.Write("b");
    ASSERT_TRUE(loop.ServeUntil([&] { return events == 2; }));
    port.Close();
}
