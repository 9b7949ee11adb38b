// SPDX-License-Identifier: MIT
// Reading and writing through a port on a pseudo-terminal: byte
// transparency, the time-out semantics, asynchronous requests and their
// errors (no event thread).
#include "device_pty.h"

#include <climits>
#include <vector>

using namespace cport;
using namespace device_test;

class Transfers : public PortOnPty {
protected:
    void SetUp() override {
        PortOnPty::SetUp();
        port.Open();
    }
};

TEST_F(Transfers, EveryByteValuePassesUnchangedInBothDirections) {
    const std::string special("\x00\x03\x0A\x0D\x11\x13\x7F\xFF", 8);
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (const std::string& bytes : {special, all}) {
        EXPECT_EQ(port.WriteBytes(bytes.data(), static_cast<int32_t>(bytes.size())),
                  static_cast<int32_t>(bytes.size()));
        EXPECT_EQ(pty.Read(bytes.size()), bytes);

        pty.Write(bytes);
        WaitingReads(port, 2000);
        std::string text;
        EXPECT_EQ(port.ReadText(text, static_cast<int32_t>(bytes.size())), static_cast<int32_t>(bytes.size()));
        EXPECT_EQ(text, bytes);
    }
}

TEST_F(Transfers, OneByteWritesKeepTheirOrder) {
    const std::string frame = "*01R00\r\n";
    for (char c : frame) EXPECT_EQ(port.WriteBytes(&c, 1), 1);
    EXPECT_EQ(pty.Read(frame.size()), frame);
}

TEST_F(Transfers, DefaultTimeoutsReadWhatHasArrivedAndReturnAtOnce) {
    std::string text = "previous";
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadText(text, 10), 0);
    EXPECT_TRUE(text.empty());
    EXPECT_LT(Milliseconds(Clock::now() - start), 200);

    pty.Write("abc");
    WaitingReads(port, 2000);
    char first;
    ASSERT_EQ(port.ReadBytes(&first, 1), 1);   // the bytes have arrived
    port.Timeouts().SetReadInterval(-1);
    port.Timeouts().SetReadTotalConstant(0);
    EXPECT_EQ(port.ReadText(text, 10), 2);
    EXPECT_EQ(text, "bc");
}

TEST_F(Transfers, InputQueueCountIsWhatAReadReturnsAtOnce) {
    EXPECT_EQ(port.InputQueueCount(), 0);
    pty.Write("12345");
    WaitingReads(port, 2000);
    char one;
    ASSERT_EQ(port.ReadBytes(&one, 1), 1);
    EXPECT_EQ(port.InputQueueCount(), 4);
    std::string text;
    port.Timeouts().SetReadInterval(-1);
    port.Timeouts().SetReadTotalConstant(0);
    EXPECT_EQ(port.ReadText(text, port.InputQueueCount()), 4);
    EXPECT_EQ(text, "2345");
    EXPECT_EQ(port.InputQueueCount(), 0);
}

TEST_F(Transfers, ReadTotalConstantBoundsAReadThatGetsNothing) {
    port.Timeouts().SetReadTotalConstant(300);   // ReadInterval stays -1
    std::string text;
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadText(text, 4), 0);
    const long elapsed = Milliseconds(Clock::now() - start);
    EXPECT_GE(elapsed, 295);
    EXPECT_LT(elapsed, 2000);
    EXPECT_TRUE(text.empty());
}

TEST_F(Transfers, ReadTotalMultiplierCountsPerByte) {
    port.Timeouts().SetReadTotalMultiplier(20);
    port.Timeouts().SetReadTotalConstant(50);
    char buffer[10];
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, 10), 0);   // 20 * 10 + 50 ms
    EXPECT_GE(Milliseconds(Clock::now() - start), 245);
}

TEST_F(Transfers, ReadIntervalEndsAReadOnceTheLineFallsSilent) {
    port.Timeouts().SetReadInterval(50);
    port.Timeouts().SetReadTotalConstant(0);
    pty.Write("xyz");
    char buffer[10];
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, 10), 3);
    EXPECT_LT(Milliseconds(Clock::now() - start), 2000);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST_F(Transfers, FirstByteTimeoutReturnsWhatHasComeOrWaitsForTheFirst) {
    port.Timeouts().SetReadTotalMultiplier(-1);
    port.Timeouts().SetReadTotalConstant(200);   // ReadInterval -1
    char buffer[10];
    auto start = Clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, 10), 0);
    EXPECT_GE(Milliseconds(Clock::now() - start), 195);

    pty.Write("ab");
    WaitingReads(port, 2000);
    ASSERT_EQ(port.ReadBytes(buffer, 1), 1);
    port.Timeouts().SetReadInterval(-1);
    port.Timeouts().SetReadTotalMultiplier(-1);
    port.Timeouts().SetReadTotalConstant(5000);
    start = Clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, 10), 1);
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);
}

TEST_F(Transfers, ReadTextCutsTheTextToWhatWasRead) {
    pty.Write("hi");
    WaitingReads(port, 300);
    std::string text = "longer old text";
    EXPECT_EQ(port.ReadText(text, 5), 2);
    EXPECT_EQ(text, "hi");
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_TRUE(text.empty());
    text = "x";
    EXPECT_EQ(port.ReadText(text, -3), 0);
    EXPECT_TRUE(text.empty());
}

TEST_F(Transfers, WriteCutShortByItsTimeoutReturnsTheShortCount) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(100);
    const std::vector<char> big(1 << 20, 'w');   // far more than the pty holds; nobody reads
    const auto start = Clock::now();
    const int32_t written = port.WriteBytes(big.data(), static_cast<int32_t>(big.size()));
    const long elapsed = Milliseconds(Clock::now() - start);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(big.size()));
    EXPECT_GE(elapsed, 95);
    EXPECT_LT(elapsed, 2000);
    EXPECT_TRUE(port.Connected());

    const std::string drained = pty.Drain();   // the far end catches up
    EXPECT_EQ(drained.size(), static_cast<size_t>(written));
    EXPECT_EQ(port.WriteBytes("ok", 2), 2);
    EXPECT_EQ(pty.Read(2), "ok");
}

TEST_F(Transfers, AsynchronousRequestsReportAtIssueOnlyWhatCompletedThen) {
    PAsync request = nullptr;
    NewAsyncRequest(request);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(port.WaitAsyncRequest(request), 0);   // never issued: complete with 0

    EXPECT_EQ(port.WriteBytesAsync("abc", 3, request), 3);   // completed at once
    EXPECT_EQ(port.WaitAsyncRequest(request), 3);
    EXPECT_EQ(pty.Read(3), "abc");

    WaitingReads(port, 2000);
    char buffer[4] = {};
    EXPECT_EQ(port.ReadBytesAsync(buffer, 4, request), 0);   // pending
    pty.Write("wxyz");
    EXPECT_EQ(port.WaitAsyncRequest(request), 4);
    EXPECT_EQ(std::string(buffer, 4), "wxyz");

    std::string text;
    pty.Write("12");
    const int32_t at_issue = port.ReadTextAsync(text, 2, request);
    EXPECT_TRUE(at_issue == 0 || at_issue == 2) << at_issue;   // pending, or complete if both came
    EXPECT_EQ(port.WaitAsyncRequest(request), 2);
    EXPECT_EQ(text, "12");

    FreeAsyncRequest(request);
    EXPECT_EQ(request, nullptr);
}

TEST_F(Transfers, RequestIssuedBeforeAnAbortCompletesAtOnceLaterOnesWait) {
    TOwnedRequest request;
    WaitingReads(port, 5000);
    char buffer[4];
    EXPECT_EQ(port.ReadBytesAsync(buffer, 4, request), 0);
    port.AbortPendingIO();
    auto start = Clock::now();
    EXPECT_EQ(port.WaitAsyncRequest(request), 0);
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);

    WaitingReads(port, 200);
    EXPECT_EQ(port.ReadBytesAsync(buffer, 4, request), 0);
    start = Clock::now();
    EXPECT_EQ(port.WaitAsyncRequest(request), 0);
    EXPECT_GE(Milliseconds(Clock::now() - start), 195);   // not ended by the earlier abort
}

TEST_F(Transfers, NoRequestRaisesCodeFourWithoutASystemError) {
    char buffer[2];
    std::string text;
    const EComPort errors[] = {
        RaisedBy([&] { port.WriteBytesAsync("a", 1, nullptr); }),
        RaisedBy([&] { port.ReadBytesAsync(buffer, 2, nullptr); }),
        RaisedBy([&] { port.ReadTextAsync(text, 2, nullptr); }),
        RaisedBy([&] { port.WaitAsyncRequest(nullptr); }),
    };
    for (const EComPort& e : errors) {
        EXPECT_EQ(e.ErrorCode(), 4);
        EXPECT_EQ(e.SystemErrorCode(), -1);
        EXPECT_STREQ(e.what(), "Invalid Async parameter");
    }
}

TEST_F(Transfers, TransfersOnAClosedPortRaiseTheirCodeAndLeaveTheRequestReusable) {
    port.Close();
    const EComPort write = RaisedBy([&] { port.WriteBytes("a", 1); });
    EXPECT_EQ(write.ErrorCode(), 2);
    EXPECT_STREQ(write.what(), "WriteFile function failed (win error code: 9)");
    std::string text;
    const EComPort read = RaisedBy([&] { port.ReadText(text, 3); });
    EXPECT_EQ(read.ErrorCode(), 3);
    EXPECT_EQ(read.SystemErrorCode(), EBADF);
    EXPECT_EQ(RaisedBy([&] { port.AbortPendingIO(); }).ErrorCode(), 5);

    TOwnedRequest request;
    char buffer[3];
    EXPECT_EQ(RaisedBy([&] { port.ReadBytesAsync(buffer, 3, request); }).ErrorCode(), 3);
    EXPECT_EQ(port.WaitAsyncRequest(request), 0);   // the failed issue left nothing pending
}

TEST_F(Transfers, RequestPendingWhenThePortClosedCompletesAtOnce) {
    TOwnedRequest request;
    WaitingReads(port, 5000);
    char buffer[4];
    EXPECT_EQ(port.ReadBytesAsync(buffer, 4, request), 0);
    port.Close();
    port.Open();   // a new device state: the old request belongs to no wait
    const auto start = Clock::now();
    EXPECT_EQ(port.WaitAsyncRequest(request), 0);   // aborted by the close
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);
}

TEST_F(Transfers, ReadReturnsWhatItHasWhenTheFarEndHangsUp) {
    WaitingReads(port, 5000);
    pty.CloseMaster();
    char buffer[4];
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, 4), 0);
    EXPECT_LT(Milliseconds(Clock::now() - start), 1000);
    EXPECT_TRUE(port.Connected());
}
