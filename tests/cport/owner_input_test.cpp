// SPDX-License-Identifier: MIT
// Input read on the owning thread: a loop that waits on the component's wait
// descriptor gets OnRxChar from CheckSynchronize itself, and everything the
// event thread guaranteed still holds. The wait descriptor stays with the
// thread that asked for it, so every test runs its owner on a thread of its
// own.
#include "cport/com_thread.h"
#include "tests/cport/event_test_support.h"

#include <poll.h>

namespace {

using namespace event_test;
using namespace cport;

// Runs Body on a new owning thread whose loop waits on the wait descriptor.
void OnOwnerThread(const std::function<void(OwnerLoop&)>& Body)
{
    const Watchdog Guard(::testing::UnitTest::GetInstance()->current_test_info()->name(), 60s);
    std::thread([&] {
        OwnerLoop Loop(test_support::TWakeBy::WaitDescriptor);
        Body(Loop);
    }).join();
}

bool DescriptorReadable(std::chrono::milliseconds Wait)
{
    pollfd Ready{MainThreadWaitDescriptor(), POLLIN, 0};
    return ::poll(&Ready, 1, static_cast<int>(Wait.count())) == 1;
}

// A port on Line whose OnRxChar reads what it is told and records it.
struct TReceiver {
    TComPort Port;
    std::string Got;
    std::vector<std::string> Calls;  // "rx" and "error", in order
    int Depth = 0, MaxDepth = 0;
    bool OffOwner = false;  // a handler ran on another thread
    const std::thread::id Owner = std::this_thread::get_id();
    std::function<void()> InHandler;

    explicit TReceiver(const TPtyPair& Line)
    {
        SetUpPort(Port, Line, AllComEvents, smThreadSync);
        Port.OnRxChar = [this](TComponent*, int32_t Count) {
            EXPECT_GT(Count, 0);
            MaxDepth = std::max(MaxDepth, ++Depth);
            OffOwner = OffOwner || std::this_thread::get_id() != Owner;
            Calls.emplace_back("rx");
            std::string Text;
            Port.ReadText(Text, Count);
            Got += Text;
            if (InHandler)
                InHandler();
            --Depth;
        };
        Port.OnError = [this](TComponent*, TComErrors) { Calls.emplace_back("error"); };
    }
};

TEST(OwnerInput, EveryArrivalReachesOnRxCharOnTheOwningThreadOfEachPort)
{
    OnOwnerThread([](OwnerLoop& Loop) {
        TPtyPair LineA, LineB;
        TReceiver A(LineA), B(LineB);
        A.Port.Open();
        B.Port.Open();
        std::string Sent;
        for (int Round = 0; Round < 200; ++Round) {
            const std::string Chunk = std::to_string(Round) + ";";
            Sent += Chunk;
            LineA.Write(Chunk);
            LineB.Write(Chunk);
            ASSERT_TRUE(Loop.ServeUntil([&] { return A.Got == Sent && B.Got == Sent; })) << "round " << Round;
        }
        EXPECT_EQ(A.MaxDepth, 1);
        EXPECT_FALSE(A.OffOwner || B.OffOwner);
        A.Port.Close();
        B.Port.Close();
    });
}

TEST(OwnerInput, ALineErrorWaitingIsReportedBeforeTheBytesThatFollowIt)
{
    OnOwnerThread([](OwnerLoop& Loop) {
        TPtyPair Line;
        Line.HoldSlave();
        TReceiver R(Line);
        R.Port.Open();
        // The event thread is held in a hand-over (the output ran empty)
        // while an error reaches the queue and bytes reach the device.
        R.Port.WriteBytes("t", 1);
        ASSERT_TRUE(DescriptorReadable(2000ms));
        TComThread::InjectLineInputForTest(R.Port, "", 0, TComErrors{leFrame});
        Line.Write("after");
        ASSERT_TRUE(Line.WaitForSlaveInput(5, 2000ms));  // the bytes are in the device, not on their way
        ASSERT_TRUE(Loop.ServeUntil([&] { return R.Got == "after"; }));
        ASSERT_FALSE(R.Calls.empty());
        EXPECT_EQ(R.Calls.front(), "error");
        R.Port.Close();
    });
}

TEST(OwnerInput, InputDuringAHandlerWaitsUntilTheHandlerHasReturned)
{
    OnOwnerThread([](OwnerLoop& Loop) {
        TPtyPair Line;
        TReceiver R(Line);
        bool Once = true;
        R.InHandler = [&] {
            if (!std::exchange(Once, false))
                return;
            Line.Write("second");
            // A nested loop inside the handler (a modal dialog, a reply wait).
            ASSERT_TRUE(DescriptorReadable(2000ms));
            CheckSynchronize();
        };
        R.Port.Open();
        Line.Write("first");
        ASSERT_TRUE(Loop.ServeUntil([&] { return R.Got == "firstsecond"; }));
        EXPECT_EQ(R.MaxDepth, 1);
        R.Port.Close();
    });
}

// Closing or deleting the port from its own direct OnRxChar ends cleanly,
// and the descriptor is not left readable by the device afterwards.
TEST(OwnerInput, AHandlerMayCloseOrDeleteItsPort)
{
    for (const bool Delete : {false, true}) {
        OnOwnerThread([Delete](OwnerLoop& Loop) {
            TPtyPair Line;
            auto R = std::make_unique<TReceiver>(Line);
            bool Ran = false;
            R->Port.OnRxChar = [&](TComponent*, int32_t) {  // returns at once: R may be gone
                Ran = true;
                if (Delete)
                    R.reset();
                else
                    R->Port.Close();
            };
            R->Port.Open();
            Line.Write("x");
            ASSERT_TRUE(Loop.ServeUntil([&] { return Ran; })) << "delete " << Delete;
            Line.Write("more");
            Loop.ServeFor(50ms);
            EXPECT_FALSE(DescriptorReadable(50ms)) << "delete " << Delete;
            if (R) {
                EXPECT_FALSE(R->Port.Connected());
            }
        });
    }
}

TEST(OwnerInput, ALostDeviceIsReportedOnceAndLeavesTheDescriptorQuiet)
{
    OnOwnerThread([](OwnerLoop& Loop) {
        TPtyPair Line;
        TReceiver R(Line);
        R.Port.Open();
        Line.Write("last");
        ASSERT_TRUE(Loop.ServeUntil([&] { return R.Got == "last"; }));
        Line.CloseMaster();
        ASSERT_TRUE(Loop.ServeUntil([&] { return !R.Calls.empty() && R.Calls.back() == "error"; }));
        Loop.ServeFor(100ms);
        EXPECT_FALSE(DescriptorReadable(100ms));
        EXPECT_EQ(std::count(R.Calls.begin(), R.Calls.end(), "error"), 1);
        R.Port.Close();
    });
}

}  // namespace
