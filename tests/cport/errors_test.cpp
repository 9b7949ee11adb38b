// SPDX-License-Identifier: MIT
// EComPort messages, the classic event-mask flags, and the application's
// default error display.
#include "cport/comport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace cport;

TEST(EComPortMessage, WithSystemErrorAppendsTheCode)
{
    const EComPort Timeouts(CError_TimeoutsFailed, 87);
    EXPECT_STREQ(Timeouts.what(), "SetCommTimeouts failed (win error code: 87)");
    EXPECT_EQ(Timeouts.ErrorCode(), 8);
    EXPECT_EQ(Timeouts.SystemErrorCode(), 87);

    const EComPort Open(CError_OpenFailed, 2);
    EXPECT_STREQ(Open.what(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(Open.ErrorCode(), 1);

    EXPECT_STREQ(EComPort(CError_PurgeFailed, -5).what(), "PurgeComm function failed (win error code: -5)");
}

TEST(EComPortMessage, WithoutSystemErrorIsTheTextAlone)
{
    const EComPort E(CError_ConnChangeProp);
    EXPECT_STREQ(E.what(), "Cannot set property while connected");
    EXPECT_EQ(E.ErrorCode(), 14);
    EXPECT_EQ(E.SystemErrorCode(), -1);
    EXPECT_STREQ(EComPort(CError_InvalidAsync).what(), "Invalid Async parameter");
}

TEST(EventMask, EachEventHasItsClassicFlag)
{
    const struct {
        TComEvent Event;
        uint32_t Flag;
    } Flags[] = {{evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100}, {evBreak, 0x0040},
                 {evCTS, 0x0008},    {evDSR, 0x0010},     {evError, 0x0080},  {evRLSD, 0x0020}, {evRx80Full, 0x0400}};
    for (const auto& F : Flags) {
        EXPECT_EQ(EventsToMask(TComEvents{F.Event}), F.Flag) << int(F.Event);
        EXPECT_EQ(MaskToEvents(F.Flag), TComEvents{F.Event}) << int(F.Event);
    }
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask({}), 0u);
    EXPECT_EQ(EventsToMask(TComEvents{evRxChar, evRxFlag, evRx80Full}), 0x0403u);
}

TEST(EventMask, UnknownMaskBitsAreIgnored)
{
    EXPECT_EQ(MaskToEvents(0xFFFFFFFFu), AllComEvents);
    EXPECT_EQ(MaskToEvents(0x0200u | 0x0800u | 0x80000000u), TComEvents{});
    EXPECT_EQ(MaskToEvents(0x0201u), TComEvents{evRxChar});
    for (uint16_t Bits = 0; Bits <= 0x3FF; ++Bits)
        ASSERT_EQ(MaskToEvents(EventsToMask(TComEvents::FromBits(Bits))).Bits(), Bits);
}

// The display is process-wide: each test puts the default back.
class ApplicationErrorDisplay : public ::testing::Test {
protected:
    void TearDown() override { SetApplicationErrorDisplay(nullptr); }
};

TEST_F(ApplicationErrorDisplay, DefaultPrintsTheMessageToStderr)
{
    ::testing::internal::CaptureStderr();
    ShowApplicationError(std::make_exception_ptr(EComPort(CError_OpenFailed, 2)));
    ShowApplicationError(std::make_exception_ptr(42));
    ShowApplicationError(nullptr);
    const std::string Printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(Printed.find("Unable to open com port (win error code: 2)\n"), std::string::npos) << Printed;
    EXPECT_NE(Printed.find("Unknown error"), std::string::npos) << Printed;
}

TEST_F(ApplicationErrorDisplay, InstalledDisplayGetsTheError)
{
    std::vector<std::string> Shown;
    SetApplicationErrorDisplay([&](std::exception_ptr E) {
        try {
            std::rethrow_exception(E);
        } catch (const EComPort& Error) {
            Shown.push_back(Error.what());
        }
    });
    ShowApplicationError(std::make_exception_ptr(EComPort(CError_ConnChangeProp)));
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0], "Cannot set property while connected");
}

TEST_F(ApplicationErrorDisplay, AFailingDisplayFallsBackToStderrAndNeverThrows)
{
    SetApplicationErrorDisplay([](std::exception_ptr) { throw std::runtime_error("display broke"); });
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(ShowApplicationError(std::make_exception_ptr(std::runtime_error("the error"))));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "the error\n");
}

TEST_F(ApplicationErrorDisplay, ADisplayMayReplaceItselfWhileShowing)
{
    int first = 0, Second = 0;
    SetApplicationErrorDisplay([&](std::exception_ptr) {
        ++first;
        SetApplicationErrorDisplay([&](std::exception_ptr) { ++Second; });
    });
    ShowApplicationError(std::make_exception_ptr(1));
    ShowApplicationError(std::make_exception_ptr(2));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(Second, 1);
}

TEST_F(ApplicationErrorDisplay, ReportingFromManyThreadsWhileTheDisplayChanges)
{
    std::atomic<int> Shown{0};
    SetApplicationErrorDisplay([&](std::exception_ptr) { ++Shown; });
    constexpr int Threads = 4, Each = 200;
    std::vector<std::thread> Reporters;
    for (int T = 0; T < Threads; ++T)
        Reporters.emplace_back([] {
            for (int I = 0; I < Each; ++I)
                ShowApplicationError(std::make_exception_ptr(I));
        });
    for (int I = 0; I < 50; ++I)
        SetApplicationErrorDisplay([&](std::exception_ptr) { ++Shown; });
    for (auto& R : Reporters)
        R.join();
    EXPECT_EQ(Shown.load(), Threads * Each);
}
