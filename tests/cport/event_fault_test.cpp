// SPDX-License-Identifier: MIT
// TFaults while events are processed: line errors reported with received
// characters, errors raised by handlers, and a device that goes away.
#include "cport/com_thread.h"

#include "event_test_support.h"

#include <time.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace cport;
using namespace event_test;

class EventFaults : public EventTest {};

namespace {

std::string ErrorsText(TComErrors Errors) {
    static const char* const names[] = {"frame", "parity", "overrun", "break",
                                        "io",    "mode",   "overflow", "txfull"};
    std::string text;
    for (int e = leFrame; e <= leTxFull; ++e)
        if (Errors.Contains(static_cast<TComError>(e))) text += std::string(text.empty() ? "" : "+") + names[e];
    return text;
}

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

const TSyncMethod kAllMethods[] = {smThreadSync, smWindowSync, smNone};

}  // namespace

TEST_F(EventFaults, ALineErrorWithReceivedCharactersRaisesOnErrorFirst) {
    for (TSyncMethod sync : kAllMethods) {
        for (int round = 0; round < 20; ++round) {
            TEventRig Rig(AllComEvents, sync);
            auto& Loop = Rig.Loop;
            auto& Port = Rig.Port;
            std::mutex mutex;
            std::vector<std::string> order;
            Port.OnError = [&](TComponent*, TComErrors Errors) {
                std::lock_guard lock(mutex);
                order.push_back("error:" + ErrorsText(Errors));
            };
            Port.OnRxChar = [&](TComponent*, int32_t Count) {
                std::string text;
                Port.ReadText(text, Count);
                std::lock_guard lock(mutex);
                order.push_back("rx:" + text);
            };
            Port.Open();
            TComThread::InjectLineInputForTest(Port, "ab", 2, TComErrors{leFrame});
            ASSERT_TRUE(Loop.ServeUntil([&] {
                std::lock_guard lock(mutex);
                return order.size() >= 2;
            })) << "sync " << int(sync) << ": " << (order.empty() ? std::string("nothing") : order[0]);
            Port.Close();
            EXPECT_EQ(order, (std::vector<std::string>{"error:frame", "rx:ab"})) << "sync " << int(sync);
        }
    }
}

// A parity error while Parity.Check is off leaves the error set empty: no
// OnError, but the characters are reported.
TEST_F(EventFaults, AParityErrorWithoutParityCheckRaisesNoOnError) {
    int error_calls = 0;
    std::string received;
    Port_.OnError = [&](TComponent*, TComErrors) { ++error_calls; };
    Port_.OnRxChar = [&](TComponent*, int32_t Count) {
        std::string text;
        Port_.ReadText(text, Count);
        received += text;
    };
    Port_.Open();
    TComThread::InjectLineInputForTest(Port_, "p", 1, TComErrors{leRxParity});
    ASSERT_TRUE(Loop_.ServeUntil([&] { return received == "p"; }));
    EXPECT_EQ(error_calls, 0);
    Port_.Close();
}

TEST_F(EventFaults, AnErrorInAHandlerIsShownOnceAndEventsKeepComing) {
    for (TSyncMethod sync : kAllMethods) {
        for (int round = 0; round < 10; ++round) {
            ErrorRecorder errors;
            TEventRig Rig(AllComEvents, sync);
            auto& Line = Rig.Line;
            auto& Loop = Rig.Loop;
            auto& Port = Rig.Port;
            std::mutex mutex;
            std::string received;
            bool thrown = false;
            Port.OnRxChar = [&](TComponent*, int32_t Count) {
                std::string text;
                Port.ReadText(text, Count);
                std::lock_guard lock(mutex);
                received += text;
                if (!thrown) {
                    thrown = true;
                    throw std::runtime_error("handler failed");
                }
            };
            auto received_is = [&](const std::string& Expected) {
                return [&, Expected] {
                    std::lock_guard lock(mutex);
                    return received == Expected;
                };
            };
            Port.Open();
            Line.Write("first");
            ASSERT_TRUE(Loop.ServeUntil(received_is("first")));
            ASSERT_TRUE(Loop.ServeUntil([&] { return errors.Shown().size() == 1; }));
            Line.Write("second");
            ASSERT_TRUE(Loop.ServeUntil(received_is("firstsecond")));
            Line.Write("third");
            ASSERT_TRUE(Loop.ServeUntil(received_is("firstsecondthird")));
            Port.Close();
            EXPECT_EQ(errors.Shown(), std::vector<std::string>{"handler failed"}) << "sync " << int(sync);
            // The display runs on the owning thread, whatever thread raised it.
            ASSERT_EQ(errors.Threads().size(), 1u);
            EXPECT_EQ(errors.Threads()[0], std::this_thread::get_id());
        }
    }
}

// The far end goes away: leIOError once, then the process sleeps.
TEST_F(EventFaults, AHungUpLineIsReportedOnceAndCostsNoCpu) {
    for (TSyncMethod sync : kAllMethods) {
        ErrorRecorder shown;
        TEventRig Rig(AllComEvents, sync);
        auto& Line = Rig.Line;
        auto& Loop = Rig.Loop;
        auto& Port = Rig.Port;
        std::mutex mutex;
        std::vector<TComErrors> errors;
        Port.OnError = [&](TComponent*, TComErrors Errors) {
            std::lock_guard lock(mutex);
            errors.push_back(Errors);
        };
        Port.OnRxChar = [&](TComponent*, int32_t Count) {
            std::string text;
            Port.ReadText(text, Count);
        };
        Port.Open();
        Line.Write("before");
        Line.CloseMaster();
        ASSERT_TRUE(Loop.ServeUntil([&] {
            std::lock_guard lock(mutex);
            return !errors.empty();
        }));

        const double cpu_before = ProcessCpuSeconds();
        const auto wall_before = Clock::now();
        Loop.ServeFor(2000ms);
        const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
        const double cpu = ProcessCpuSeconds() - cpu_before;

        EXPECT_LT(cpu / wall, 0.05) << "sync " << int(sync) << ": " << cpu << " s of CPU in " << wall << " s";
        {
            std::lock_guard lock(mutex);
            ASSERT_EQ(errors.size(), 1u) << "sync " << int(sync);
            EXPECT_TRUE(errors[0].Contains(leIOError));
        }
        EXPECT_TRUE(shown.Shown().empty());
        Port.Close();   // still ends normally
        EXPECT_FALSE(Port.Connected());
    }
}
