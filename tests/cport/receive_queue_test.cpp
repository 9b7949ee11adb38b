// SPDX-License-Identifier: MIT
// Decoding of the marked byte stream, the bound of the queue and its
// notification of waiting transfers (fed through a pipe).
#include "cport/receive_queue.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace cport;

namespace {

class Feed {
public:
    Feed()
    {
        int Fds[2];
        if (::pipe2(Fds, O_NONBLOCK | O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        Read_ = Fds[0];
        Write_ = Fds[1];
        EXPECT_EQ(Queue.Init(), 0);
    }
    ~Feed()
    {
        ::close(Read_);
        if (Write_ >= 0)
            ::close(Write_);
    }

    // Each chunk is one read of the device.
    TFillResult Send(const std::vector<std::string>& Chunks)
    {
        TFillResult Total;
        for (const std::string& Chunk : Chunks) {
            EXPECT_EQ(::write(Write_, Chunk.data(), Chunk.size()), static_cast<ssize_t>(Chunk.size()));
            const TFillResult R = Queue.FillFrom(Read_);
            Total.Added += R.Added;
            Total.EventChar = Total.EventChar || R.EventChar;
            Total.Errors = Total.Errors | R.Errors;
            Total.HangUp = Total.HangUp || R.HangUp;
        }
        return Total;
    }

    std::string TakeAll()
    {
        std::string Out(Queue.Count(), '\0');
        Out.resize(Queue.Take(Out.data(), Out.size()));
        return Out;
    }

    void HangUp()
    {
        ::close(Write_);
        Write_ = -1;
    }
    int ReadFd() const { return Read_; }
    int WriteFd() const { return Write_; }

    TReceiveQueue Queue;

private:
    int Read_ = -1;
    int Write_ = -1;
};

bool Readable(int Fd)
{
    pollfd P{Fd, POLLIN, 0};
    return ::poll(&P, 1, 0) == 1;
}

TReceiveOptions WithParity(bool Replace = false, char ReplaceChar = 0)
{
    TReceiveOptions O;
    O.ParityEnabled = true;
    O.ParityCheck = true;
    O.Replace = Replace;
    O.ReplaceChar = ReplaceChar;
    return O;
}

}  // namespace

TEST(ReceiveQueue, MarkedStreamIsDecodedAlsoAcrossReads)
{
    using S = std::vector<std::string>;
    const std::string Ff = "\xff", Nul(1, '\0');
    const struct {
        const char* Name;
        S Chunks;
        TReceiveOptions Options;
        std::string Bytes;
        TComErrors Errors;
    } Cases[] = {
        {"plain", {"abc", "def"}, {}, "abcdef", {}},
        {"literal 0xFF", {"a" + Ff + Ff + "b"}, {}, "a" + Ff + "b", {}},
        {"literal 0xFF split", {"a" + Ff, Ff + "b"}, {}, "a" + Ff + "b", {}},
        {"two literals", {Ff + Ff + Ff + Ff}, {}, Ff + Ff, {}},
        {"parity error", {"a" + Ff + Nul + "Xb"}, WithParity(), "aXb", {leRxParity}},
        {"parity error split in three", {"a" + Ff, Nul, "Xb"}, WithParity(), "aXb", {leRxParity}},
        {"parity error replaced", {"a" + Ff + Nul + "Xb"}, WithParity(true, 'R'), "aRb", {leRxParity}},
        {"framing error without parity bit", {Ff + Nul + "X"}, {}, "X", {leFrame}},
        {"break adds no byte", {"a" + Ff + Nul + Nul + "b"}, {}, "ab", {leBreak}},
        {"break split", {"a" + Ff, Nul + Nul, "b"}, WithParity(), "ab", {leBreak}},
        {"mark not made by the kernel", {Ff + "A"}, {}, Ff + "A", {}},
        {"mark not made by the kernel, split", {"a" + Ff, "AB"}, {}, "a" + Ff + "AB", {}},
        {"marks among plain runs",
         {"ab" + Ff + Ff + "cd" + Ff, Nul + "e" + Ff + Ff},
         WithParity(true, '?'),
         "ab" + Ff + "cd?" + Ff,
         {leRxParity}},
        {"zero kept", {"a" + Nul + "b"}, {}, "a" + Nul + "b", {}},
    };
    for (const auto& C : Cases) {
        Feed Feed;
        Feed.Queue.SetOptions(C.Options);
        const TFillResult R = Feed.Send(C.Chunks);
        EXPECT_EQ(R.Added, C.Bytes.size()) << C.Name;
        EXPECT_EQ(R.Errors, C.Errors) << C.Name;
        EXPECT_EQ(Feed.TakeAll(), C.Bytes) << C.Name;
        EXPECT_EQ(Feed.Queue.TakeErrors(), C.Errors) << C.Name;
        EXPECT_TRUE(Feed.Queue.TakeErrors().Empty()) << C.Name;
    }
}

TEST(ReceiveQueue, DiscardNullDropsZeroBytesAlsoReplacedOnes)
{
    Feed Feed;
    TReceiveOptions O = WithParity(true, '\0');
    O.DiscardNull = true;
    Feed.Queue.SetOptions(O);
    Feed.Send({std::string("a\0b", 3), std::string("\xff\0Xc", 4)});
    EXPECT_EQ(Feed.TakeAll(), "abc");
}

TEST(ReceiveQueue, EventCharacterIsNotedOnlyWhenItCame)
{
    Feed Feed;
    TReceiveOptions O;
    O.EventChar = '\r';
    Feed.Queue.SetOptions(O);
    EXPECT_FALSE(Feed.Send({"abc"}).EventChar);
    EXPECT_TRUE(Feed.Send({"ab\rc"}).EventChar);
    O.EventChar = '\xff';
    Feed.Queue.SetOptions(O);
    EXPECT_FALSE(Feed.Send({"\xff\x00X"}).EventChar);  // a marked X, not the character
    EXPECT_TRUE(Feed.Send({"\xff\xff"}).EventChar);
}

TEST(ReceiveQueue, QueueNeverGrowsBeyondItsLimit)
{
    Feed Feed;
    Feed.Queue.SetLimit(8);
    TFillResult R = Feed.Send({"0123456789AB"});
    EXPECT_EQ(R.Added, 8u);
    EXPECT_EQ(R.Errors, (TComErrors{leRxOverflow}));
    EXPECT_EQ(Feed.Queue.Count(), 8u);
    R = Feed.Send({std::string(10000, 'z')});  // more than one read chunk, all dropped
    EXPECT_EQ(R.Added, 0u);
    EXPECT_EQ(Feed.Queue.Count(), 8u);
    EXPECT_EQ(Feed.Queue.TakeErrors(), (TComErrors{leRxOverflow}));

    char Four[4];
    EXPECT_EQ(Feed.Queue.Take(Four, 4), 4u);
    EXPECT_EQ(std::string(Four, 4), "0123");
    R = Feed.Send({"cd"});
    EXPECT_TRUE(R.Errors.Empty());
    EXPECT_EQ(Feed.TakeAll(), "4567cd");  // the oldest bytes were kept

    Feed.Queue.InjectForTest("0123456789", 10, {});
    EXPECT_EQ(Feed.Queue.Count(), 8u);
    EXPECT_EQ(Feed.Queue.TakeErrors(), (TComErrors{leRxOverflow}));
}

TEST(ReceiveQueue, LoweredLimitKeepsWhatIsWaiting)
{
    Feed Feed;
    Feed.Send({"abcdefgh"});
    Feed.Queue.SetLimit(4);
    EXPECT_EQ(Feed.Queue.Count(), 8u);
    Feed.Send({"i"});
    EXPECT_EQ(Feed.TakeAll(), "abcdefgh");
    Feed.Send({"123456"});
    EXPECT_EQ(Feed.TakeAll(), "1234");
}

TEST(ReceiveQueue, LargeInputPassesThroughInOrder)
{
    Feed Feed;
    std::string Sent, Got;
    for (int I = 0; I < 200000; ++I)
        Sent.push_back(static_cast<char>((I * 7) % 251));
    for (size_t At = 0; At < Sent.size(); At += 3000) {
        std::string Chunk = Sent.substr(At, 3000), Marked;
        for (char C : Chunk) {
            Marked.push_back(C);
            if (C == '\xff')
                Marked.push_back(C);
        }
        Feed.Send({Marked});
        Got += Feed.TakeAll();
    }
    EXPECT_EQ(Got, Sent);
}

// A read straight into the caller's buffer (nothing waits in the queue)
// decodes like a read into the queue, also when a mark is split between the
// two kinds of read.
TEST(ReceiveQueue, ReadsIntoTheCallersBufferDecodeAlike)
{
    Feed feed;
    feed.Queue.SetOptions(WithParity());
    auto Take = [&](size_t Count) {
        std::string Out(Count, '\0');
        TFillResult R;
        Out.resize(feed.Queue.Take(Out.data(), Count, feed.ReadFd(), R));
        return Out;
    };
    auto Send = [&](const std::string& Bytes) {
        ASSERT_EQ(::write(feed.WriteFd(), Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
    };
    Send("0123456789");
    EXPECT_EQ(Take(4), "0123");  // the rest stays with the device
    EXPECT_EQ(feed.Queue.Count(), 0u);
    EXPECT_EQ(Take(10), "456789");

    Send("ab\xff");
    EXPECT_EQ(Take(10), "ab");  // a mark is pending
    Send(std::string("\0X", 2) + "cd");
    EXPECT_EQ(Take(10), "Xcd");
    EXPECT_EQ(feed.Queue.TakeErrors(), (TComErrors{leRxParity}));

    Send("a\xff");
    EXPECT_EQ(Take(10), "a");
    Send("AB\xff\xff");
    EXPECT_EQ(Take(10), "\xff"
                        "AB\xff");  // not a kernel mark: both bytes kept

    feed.Queue.InjectForTest("q", 1, {});
    Send("rs");
    EXPECT_EQ(Take(10), "qrs");  // waiting bytes come first
}

TEST(ReceiveQueue, EndOfFileIsAHangUp)
{
    Feed Feed;
    Feed.Send({"x"});
    Feed.HangUp();
    const TFillResult R = Feed.Queue.FillFrom(Feed.ReadFd());
    EXPECT_TRUE(R.HangUp);
    EXPECT_EQ(Feed.Queue.Count(), 1u);
}

TEST(ReceiveQueue, WaitingTransferIsWokenByBytesAndNotByAStaleSignal)
{
    Feed Feed;
    const int Notify = Feed.Queue.NotifyFd();
    Feed.Send({"ab"});
    EXPECT_FALSE(Readable(Notify));  // nobody waits: no signal

    Feed.Queue.BeginWait();
    char Buffer[8];
    EXPECT_EQ(Feed.Queue.Take(Buffer, 8), 2u);
    EXPECT_FALSE(Readable(Notify));
    Feed.Send({"cd"});
    EXPECT_TRUE(Readable(Notify));
    EXPECT_EQ(Feed.Queue.Take(Buffer, 1), 1u);
    EXPECT_TRUE(Readable(Notify));  // a byte is still waiting
    EXPECT_EQ(Feed.Queue.Take(Buffer, 8), 1u);
    EXPECT_FALSE(Readable(Notify));  // emptied: reset
    Feed.Queue.InjectForTest("e", 1, {});
    EXPECT_TRUE(Readable(Notify));
    Feed.Queue.EndWait();
}
