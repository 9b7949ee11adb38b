// SPDX-License-Identifier: MIT
// TFaults while events are processed: line errors reported with received
// characters, errors raised by handlers, and a device that goes away.
#include "cport/com_thread.h"

#include "event_test_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace cport;
using namespace event_test;

class EventFaults : public EventTest {};

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

// CPU time of each thread of this process, in clock ticks, by thread id.
std::map<std::string, long long> ThreadCpuTicks()
{
    std::map<std::string, long long> Ticks;
    DIR* Dir = ::opendir("/proc/self/task");
    if (!Dir)
        return Ticks;
    while (dirent* Entry = ::readdir(Dir)) {
        if (Entry->d_name[0] == '.')
            continue;
        std::ifstream Stat(std::string("/proc/self/task/") + Entry->d_name + "/stat");
        std::string Line;
        std::getline(Stat, Line);
        // Fields after the command name, which is in parentheses and may
        // hold spaces: state is field 3, utime and stime are 14 and 15.
        const auto Close = Line.rfind(')');
        if (Close == std::string::npos)
            continue;
        std::istringstream Fields(Line.substr(Close + 2));
        std::string Skip;
        for (int Field = 3; Field < 14; ++Field)
            Fields >> Skip;
        long long User = 0, System = 0;
        if (Fields >> User >> System)
            Ticks[Entry->d_name] = User + System;
    }
    ::closedir(Dir);
    return Ticks;
}

// The largest share of one core that any single thread used while Work ran.
// A thread spinning on a descriptor shows near 1; the process total would
// also count the sanitizers' own housekeeping threads.
double BusiestThreadShare(const std::function<void()>& Work)
{
    const auto Before = ThreadCpuTicks();
    const auto WallBefore = Clock::now();
    Work();
    const double Wall = std::chrono::duration<double>(Clock::now() - WallBefore).count();
    long long Busiest = 0;
    for (const auto& [Thread, Ticks] : ThreadCpuTicks()) {
        const auto Earlier = Before.find(Thread);
        Busiest = std::max(Busiest, Ticks - (Earlier == Before.end() ? 0 : Earlier->second));
    }
    return static_cast<double>(Busiest) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / Wall;
}

const TSyncMethod AllMethods[] = {smThreadSync, smWindowSync, smNone};

}  // namespace

TEST_F(EventFaults, ALineErrorWithReceivedCharactersRaisesOnErrorFirst)
{
    for (TSyncMethod Sync : AllMethods) {
        for (int Round = 0; Round < 20; ++Round) {
            TEventRig Rig(AllComEvents, Sync);
            auto& Loop = Rig.Loop;
            auto& Port = Rig.Port;
            std::mutex mutex;
            std::vector<std::string> Order;
            Port.OnError = [&](TComponent*, TComErrors Errors) {
                std::lock_guard Lock(mutex);
                Order.push_back("error:" + ErrorsText(Errors));
            };
            Port.OnRxChar = [&](TComponent*, int32_t Count) {
                std::string Text;
                Port.ReadText(Text, Count);
                std::lock_guard Lock(mutex);
                Order.push_back("rx:" + Text);
            };
            Port.Open();
            TComThread::InjectLineInputForTest(Port, "ab", 2, TComErrors{leFrame});
            ASSERT_TRUE(Loop.ServeUntil([&] {
                std::lock_guard lock(mutex);
                return Order.size() >= 2;
            })) << "sync "
                << int(Sync) << ": " << (Order.empty() ? std::string("nothing") : Order[0]);
            Port.Close();
            EXPECT_EQ(Order, (std::vector<std::string>{"error:frame", "rx:ab"})) << "sync " << int(Sync);
        }
    }
}

// A parity error while Parity.Check is off leaves the error set empty: no
// OnError, but the characters are reported.
TEST_F(EventFaults, AParityErrorWithoutParityCheckRaisesNoOnError)
{
    int ErrorCalls = 0;
    std::string Received;
    Port_.OnError = [&](TComponent*, TComErrors) { ++ErrorCalls; };
    Port_.OnRxChar = [&](TComponent*, int32_t Count) {
        std::string Text;
        Port_.ReadText(Text, Count);
        Received += Text;
    };
    Port_.Open();
    TComThread::InjectLineInputForTest(Port_, "p", 1, TComErrors{leRxParity});
    ASSERT_TRUE(Loop_.ServeUntil([&] { return Received == "p"; }));
    EXPECT_EQ(ErrorCalls, 0);
    Port_.Close();
}

TEST_F(EventFaults, AnErrorInAHandlerIsShownOnceAndEventsKeepComing)
{
    for (TSyncMethod Sync : AllMethods) {
        for (int Round = 0; Round < 10; ++Round) {
            ErrorRecorder errors;
            TEventRig Rig(AllComEvents, Sync);
            auto& Line = Rig.Line;
            auto& Loop = Rig.Loop;
            auto& Port = Rig.Port;
            std::mutex mutex;
            std::string Received;
            bool thrown = false;
            Port.OnRxChar = [&](TComponent*, int32_t Count) {
                std::string Text;
                Port.ReadText(Text, Count);
                std::lock_guard Lock(mutex);
                Received += Text;
                if (!thrown) {
                    thrown = true;
                    throw std::runtime_error("handler failed");
                }
            };
            auto ReceivedIs = [&](const std::string& Expected) {
                return [&, Expected] {
                    std::lock_guard Lock(mutex);
                    return Received == Expected;
                };
            };
            Port.Open();
            Line.Write("first");
            ASSERT_TRUE(Loop.ServeUntil(ReceivedIs("first")));
            ASSERT_TRUE(Loop.ServeUntil([&] { return errors.Shown().size() == 1; }));
            Line.Write("second");
            ASSERT_TRUE(Loop.ServeUntil(ReceivedIs("firstsecond")));
            Line.Write("third");
            ASSERT_TRUE(Loop.ServeUntil(ReceivedIs("firstsecondthird")));
            Port.Close();
            EXPECT_EQ(errors.Shown(), std::vector<std::string>{"handler failed"}) << "sync " << int(Sync);
            // The display runs on the owning thread, whatever thread raised it.
            ASSERT_EQ(errors.Threads().size(), 1u);
            EXPECT_EQ(errors.Threads()[0], std::this_thread::get_id());
        }
    }
}

// The far end goes away: leIOError once, then the process sleeps.
TEST_F(EventFaults, AHungUpLineIsReportedOnceAndCostsNoCpu)
{
    for (TSyncMethod Sync : AllMethods) {
        ErrorRecorder Shown;
        TEventRig Rig(AllComEvents, Sync);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        std::mutex mutex;
        std::vector<TComErrors> errors;
        Port.OnError = [&](TComponent*, TComErrors Errors) {
            std::lock_guard Lock(mutex);
            errors.push_back(Errors);
        };
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string Text;
            Port.ReadText(Text, Count);
        };
        Port.Open();
        Line.Write("before");
        Line.CloseMaster();
        ASSERT_TRUE(Loop.ServeUntil([&] {
            std::lock_guard lock(mutex);
            return !errors.empty();
        }));

        const double Share = BusiestThreadShare([&] { Loop.ServeFor(2000ms); });
        EXPECT_LT(Share, 0.05) << "sync " << int(Sync) << ": the busiest thread used " << Share << " of a core";
        {
            std::lock_guard Lock(mutex);
            ASSERT_EQ(errors.size(), 1u) << "sync " << int(Sync);
            EXPECT_TRUE(errors[0].Contains(leIOError));
        }
        EXPECT_TRUE(Shown.Shown().empty());
        Port.Close();  // still ends normally
        EXPECT_FALSE(Port.Connected());
    }
}
