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
    void SetUp() override
    {
        PortOnPty::SetUp();
        Port_.Open();
    }
};

TEST_F(Transfers, EveryByteValuePassesUnchangedInBothDirections)
{
    const std::string Special("\x00\x03\x0A\x0D\x11\x13\x7F\xFF", 8);
    std::string All;
    for (int I = 0; I < 256; ++I)
        All.push_back(static_cast<char>(I));
    for (const std::string& Bytes : {Special, All}) {
        EXPECT_EQ(Port_.WriteBytes(Bytes.data(), static_cast<int32_t>(Bytes.size())),
                  static_cast<int32_t>(Bytes.size()));
        EXPECT_EQ(Pty_.Read(Bytes.size()), Bytes);

        Pty_.Write(Bytes);
        WaitingReads(Port_, 2000);
        std::string Text;
        EXPECT_EQ(Port_.ReadText(Text, static_cast<int32_t>(Bytes.size())), static_cast<int32_t>(Bytes.size()));
        EXPECT_EQ(Text, Bytes);
    }
}

TEST_F(Transfers, OneByteWritesKeepTheirOrder)
{
    const std::string Frame = "*01R00\r\n";
    for (char C : Frame)
        EXPECT_EQ(Port_.WriteBytes(&C, 1), 1);
    EXPECT_EQ(Pty_.Read(Frame.size()), Frame);
}

TEST_F(Transfers, DefaultTimeoutsReadWhatHasArrivedAndReturnAtOnce)
{
    std::string Text = "previous";
    const auto Start = Clock::now();
    EXPECT_EQ(Port_.ReadText(Text, 10), 0);
    EXPECT_TRUE(Text.empty());
    EXPECT_LT(Milliseconds(Clock::now() - Start), 200);

    Pty_.Write("abc");
    WaitingReads(Port_, 2000);
    char First;
    ASSERT_EQ(Port_.ReadBytes(&First, 1), 1);  // the bytes have arrived
    Port_.Timeouts().SetReadInterval(-1);
    Port_.Timeouts().SetReadTotalConstant(0);
    EXPECT_EQ(Port_.ReadText(Text, 10), 2);
    EXPECT_EQ(Text, "bc");
}

TEST_F(Transfers, InputQueueCountIsWhatAReadReturnsAtOnce)
{
    EXPECT_EQ(Port_.InputQueueCount(), 0);
    Pty_.Write("12345");
    WaitingReads(Port_, 2000);
    char One;
    ASSERT_EQ(Port_.ReadBytes(&One, 1), 1);
    EXPECT_EQ(Port_.InputQueueCount(), 4);
    std::string Text;
    Port_.Timeouts().SetReadInterval(-1);
    Port_.Timeouts().SetReadTotalConstant(0);
    EXPECT_EQ(Port_.ReadText(Text, Port_.InputQueueCount()), 4);
    EXPECT_EQ(Text, "2345");
    EXPECT_EQ(Port_.InputQueueCount(), 0);
}

TEST_F(Transfers, ReadTotalConstantBoundsAReadThatGetsNothing)
{
    Port_.Timeouts().SetReadTotalConstant(300);  // ReadInterval stays -1
    std::string Text;
    const auto Start = Clock::now();
    EXPECT_EQ(Port_.ReadText(Text, 4), 0);
    const long Elapsed = Milliseconds(Clock::now() - Start);
    EXPECT_GE(Elapsed, 295);
    EXPECT_LT(Elapsed, 2000);
    EXPECT_TRUE(Text.empty());
}

TEST_F(Transfers, ReadTotalMultiplierCountsPerByte)
{
    Port_.Timeouts().SetReadTotalMultiplier(20);
    Port_.Timeouts().SetReadTotalConstant(50);
    char Buffer[10];
    const auto Start = Clock::now();
    EXPECT_EQ(Port_.ReadBytes(Buffer, 10), 0);  // 20 * 10 + 50 ms
    EXPECT_GE(Milliseconds(Clock::now() - Start), 245);
}

TEST_F(Transfers, ReadIntervalEndsAReadOnceTheLineFallsSilent)
{
    Port_.Timeouts().SetReadInterval(50);
    Port_.Timeouts().SetReadTotalConstant(0);
    Pty_.Write("xyz");
    char Buffer[10];
    const auto Start = Clock::now();
    EXPECT_EQ(Port_.ReadBytes(Buffer, 10), 3);
    EXPECT_LT(Milliseconds(Clock::now() - Start), 2000);
    EXPECT_EQ(std::string(Buffer, 3), "xyz");
}

TEST_F(Transfers, FirstByteTimeoutReturnsWhatHasComeOrWaitsForTheFirst)
{
    Port_.Timeouts().SetReadTotalMultiplier(-1);
    Port_.Timeouts().SetReadTotalConstant(200);  // ReadInterval -1
    char Buffer[10];
    auto Start = Clock::now();
    EXPECT_EQ(Port_.ReadBytes(Buffer, 10), 0);
    EXPECT_GE(Milliseconds(Clock::now() - Start), 195);

    Pty_.Write("ab");
    WaitingReads(Port_, 2000);
    ASSERT_EQ(Port_.ReadBytes(Buffer, 1), 1);
    Port_.Timeouts().SetReadInterval(-1);
    Port_.Timeouts().SetReadTotalMultiplier(-1);
    Port_.Timeouts().SetReadTotalConstant(5000);
    Start = Clock::now();
    EXPECT_EQ(Port_.ReadBytes(Buffer, 10), 1);
    EXPECT_LT(Milliseconds(Clock::now() - Start), 1000);
}

TEST_F(Transfers, ReadTextCutsTheTextToWhatWasRead)
{
    Pty_.Write("hi");
    WaitingReads(Port_, 300);
    std::string Text = "longer old text";
    EXPECT_EQ(Port_.ReadText(Text, 5), 2);
    EXPECT_EQ(Text, "hi");
    EXPECT_EQ(Port_.ReadText(Text, 0), 0);
    EXPECT_TRUE(Text.empty());
    Text = "x";
    EXPECT_EQ(Port_.ReadText(Text, -3), 0);
    EXPECT_TRUE(Text.empty());

    // A huge count reserves only what comes, not the count.
    const std::string Many(3000, 'm');
    Pty_.Write(Many);
    EXPECT_EQ(Port_.ReadText(Text, INT32_MAX), 3000);
    EXPECT_EQ(Text, Many);
    EXPECT_LT(Text.capacity(), 1u << 20);
}

TEST_F(Transfers, WriteCutShortByItsTimeoutReturnsTheShortCount)
{
    Port_.Timeouts().SetWriteTotalMultiplier(0);
    Port_.Timeouts().SetWriteTotalConstant(100);
    const std::vector<char> Big(1 << 20, 'w');  // far more than the pty holds; nobody reads
    const auto Start = Clock::now();
    const int32_t Written = Port_.WriteBytes(Big.data(), static_cast<int32_t>(Big.size()));
    const long Elapsed = Milliseconds(Clock::now() - Start);
    EXPECT_GT(Written, 0);
    EXPECT_LT(Written, static_cast<int32_t>(Big.size()));
    EXPECT_GE(Elapsed, 95);
    EXPECT_LT(Elapsed, 2000);
    EXPECT_TRUE(Port_.Connected());

    const std::string Drained = Pty_.Drain();  // the far end catches up
    EXPECT_EQ(Drained.size(), static_cast<size_t>(Written));
    EXPECT_EQ(Port_.WriteBytes("ok", 2), 2);
    EXPECT_EQ(Pty_.Read(2), "ok");
}

TEST_F(Transfers, AsynchronousRequestsReportAtIssueOnlyWhatCompletedThen)
{
    PAsync Request = nullptr;
    NewAsyncRequest(Request);
    ASSERT_NE(Request, nullptr);
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 0);  // never issued: complete with 0

    EXPECT_EQ(Port_.WriteBytesAsync("abc", 3, Request), 3);  // completed at once
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 3);
    EXPECT_EQ(Pty_.Read(3), "abc");

    WaitingReads(Port_, 2000);
    char Buffer[4] = {};
    EXPECT_EQ(Port_.ReadBytesAsync(Buffer, 4, Request), 0);  // pending
    Pty_.Write("wxyz");
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 4);
    EXPECT_EQ(std::string(Buffer, 4), "wxyz");

    std::string Text;
    Pty_.Write("12");
    const int32_t AtIssue = Port_.ReadTextAsync(Text, 2, Request);
    EXPECT_TRUE(AtIssue == 0 || AtIssue == 2) << AtIssue;  // pending, or complete if both came
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 2);
    EXPECT_EQ(Text, "12");

    FreeAsyncRequest(Request);
    EXPECT_EQ(Request, nullptr);
}

TEST_F(Transfers, RequestIssuedBeforeAnAbortCompletesAtOnceLaterOnesWait)
{
    TOwnedRequest Request;
    WaitingReads(Port_, 5000);
    char Buffer[4];
    EXPECT_EQ(Port_.ReadBytesAsync(Buffer, 4, Request), 0);
    Port_.AbortPendingIO();
    auto Start = Clock::now();
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 0);
    EXPECT_LT(Milliseconds(Clock::now() - Start), 1000);

    WaitingReads(Port_, 200);
    EXPECT_EQ(Port_.ReadBytesAsync(Buffer, 4, Request), 0);
    Start = Clock::now();
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 0);
    EXPECT_GE(Milliseconds(Clock::now() - Start), 195);  // not ended by the earlier abort
}

TEST_F(Transfers, NoRequestRaisesCodeFourWithoutASystemError)
{
    char Buffer[2];
    std::string Text;
    const EComPort Errors[] = {
        RaisedBy([&] { Port_.WriteBytesAsync("a", 1, nullptr); }),
        RaisedBy([&] { Port_.ReadBytesAsync(Buffer, 2, nullptr); }),
        RaisedBy([&] { Port_.ReadTextAsync(Text, 2, nullptr); }),
        RaisedBy([&] { Port_.WaitAsyncRequest(nullptr); }),
    };
    for (const EComPort& E : Errors) {
        EXPECT_EQ(E.ErrorCode(), 4);
        EXPECT_EQ(E.SystemErrorCode(), -1);
        EXPECT_STREQ(E.what(), "Invalid Async parameter");
    }
}

TEST_F(Transfers, TransfersOnAClosedPortRaiseTheirCodeAndLeaveTheRequestReusable)
{
    Port_.Close();
    const EComPort Write = RaisedBy([&] { Port_.WriteBytes("a", 1); });
    EXPECT_EQ(Write.ErrorCode(), 2);
    EXPECT_STREQ(Write.what(), "WriteFile function failed (win error code: 9)");
    std::string Text;
    const EComPort Read = RaisedBy([&] { Port_.ReadText(Text, 3); });
    EXPECT_EQ(Read.ErrorCode(), 3);
    EXPECT_EQ(Read.SystemErrorCode(), EBADF);
    EXPECT_EQ(RaisedBy([&] { Port_.AbortPendingIO(); }).ErrorCode(), 5);

    TOwnedRequest Request;
    char buffer[3];
    EXPECT_EQ(RaisedBy([&] { Port_.ReadBytesAsync(buffer, 3, Request); }).ErrorCode(), 3);
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 0);  // the failed issue left nothing pending
}

TEST_F(Transfers, RequestPendingWhenThePortClosedCompletesAtOnce)
{
    TOwnedRequest Request;
    WaitingReads(Port_, 5000);
    char Buffer[4];
    EXPECT_EQ(Port_.ReadBytesAsync(Buffer, 4, Request), 0);
    Port_.Close();
    Port_.Open();  // a new device state: the old request belongs to no wait
    const auto Start = Clock::now();
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 0);  // aborted by the close
    EXPECT_LT(Milliseconds(Clock::now() - Start), 1000);
}

TEST_F(Transfers, ReadReturnsWhatItHasWhenTheFarEndHangsUp)
{
    WaitingReads(Port_, 5000);
    Pty_.CloseMaster();
    char Buffer[4];
    const auto Start = Clock::now();
    EXPECT_EQ(Port_.ReadBytes(Buffer, 4), 0);
    EXPECT_LT(Milliseconds(Clock::now() - Start), 1000);
    EXPECT_TRUE(Port_.Connected());
}
