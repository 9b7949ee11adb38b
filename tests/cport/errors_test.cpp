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

TEST(EComPortMessage, WithSystemErrorAppendsTheCode) {
    const EComPort timeouts(CError_TimeoutsFailed, 87);
    EXPECT_STREQ(timeouts.what(), "SetCommTimeouts failed (win error code: 87)");
    EXPECT_EQ(timeouts.ErrorCode(), 8);
    EXPECT_EQ(timeouts.SystemErrorCode(), 87);

    const EComPort open(CError_OpenFailed, 2);
    EXPECT_STREQ(open.what(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(open.ErrorCode(), 1);

    EXPECT_STREQ(EComPort(CError_PurgeFailed, -5).what(), "PurgeComm function failed (win error code: -5)");
}

TEST(EComPortMessage, WithoutSystemErrorIsTheTextAlone) {
    const EComPort e(CError_ConnChangeProp);
    EXPECT_STREQ(e.what(), "Cannot set property while connected");
    EXPECT_EQ(e.ErrorCode(), 14);
    EXPECT_EQ(e.SystemErrorCode(), -1);
    EXPECT_STREQ(EComPort(CError_InvalidAsync).what(), "Invalid Async parameter");
}

TEST(EventMask, EachEventHasItsClassicFlag) {
    const struct {
        TComEvent event;
        uint32_t flag;
    } flags[] = {{evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100},
                 {evBreak, 0x0040},  {evCTS, 0x0008},     {evDSR, 0x0010},    {evError, 0x0080},
                 {evRLSD, 0x0020},   {evRx80Full, 0x0400}};
    for (const auto& f : flags) {
        EXPECT_EQ(EventsToMask(TComEvents{f.event}), f.flag) << int(f.event);
        EXPECT_EQ(MaskToEvents(f.flag), TComEvents{f.event}) << int(f.event);
    }
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask({}), 0u);
    EXPECT_EQ(EventsToMask(TComEvents{evRxChar, evRxFlag, evRx80Full}), 0x0403u);
}

TEST(EventMask, UnknownMaskBitsAreIgnored) {
    EXPECT_EQ(MaskToEvents(0xFFFFFFFFu), AllComEvents);
    EXPECT_EQ(MaskToEvents(0x0200u | 0x0800u | 0x80000000u), TComEvents{});
    EXPECT_EQ(MaskToEvents(0x0201u), TComEvents{evRxChar});
    for (uint16_t bits = 0; bits <= 0x3FF; ++bits)
        ASSERT_EQ(MaskToEvents(EventsToMask(TComEvents::FromBits(bits))).Bits(), bits);
}

// The display is process-wide: each test puts the default back.
class ApplicationErrorDisplay : public ::testing::Test {
protected:
    void TearDown() override { SetApplicationErrorDisplay(nullptr); }
};

TEST_F(ApplicationErrorDisplay, DefaultPrintsTheMessageToStderr) {
    ::testing::internal::CaptureStderr();
    ShowApplicationError(std::make_exception_ptr(EComPort(CError_OpenFailed, 2)));
    ShowApplicationError(std::make_exception_ptr(42));
    ShowApplicationError(nullptr);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("Unable to open com port (win error code: 2)\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Unknown error"), std::string::npos) << printed;
}

TEST_F(ApplicationErrorDisplay, InstalledDisplayGetsTheError) {
    std::vector<std::string> shown;
    SetApplicationErrorDisplay([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const EComPort& error) {
            shown.push_back(error.what());
        }
    });
    ShowApplicationError(std::make_exception_ptr(EComPort(CError_ConnChangeProp)));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Cannot set property while connected");
}

TEST_F(ApplicationErrorDisplay, AFailingDisplayFallsBackToStderrAndNeverThrows) {
    SetApplicationErrorDisplay([](std::exception_ptr) { throw std::runtime_error("display broke"); });
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(ShowApplicationError(std::make_exception_ptr(std::runtime_error("the error"))));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "the error\n");
}

TEST_F(ApplicationErrorDisplay, ADisplayMayReplaceItselfWhileShowing) {
    int first = 0, second = 0;
    SetApplicationErrorDisplay([&](std::exception_ptr) {
        ++first;
        SetApplicationErrorDisplay([&](std::exception_ptr) { ++second; });
    });
    ShowApplicationError(std::make_exception_ptr(1));
    ShowApplicationError(std::make_exception_ptr(2));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

TEST_F(ApplicationErrorDisplay, ReportingFromManyThreadsWhileTheDisplayChanges) {
    std::atomic<int> shown{0};
    SetApplicationErrorDisplay([&](std::exception_ptr) { ++shown; });
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> reporters;
    for (int t = 0; t < kThreads; ++t)
        reporters.emplace_back([] {
            for (int i = 0; i < kEach; ++i) ShowApplicationError(std::make_exception_ptr(i));
        });
    for (int i = 0; i < 50; ++i) SetApplicationErrorDisplay([&](std::exception_ptr) { ++shown; });
    for (auto& r : reporters) r.join();
    EXPECT_EQ(shown.load(), kThreads * kEach);
}
