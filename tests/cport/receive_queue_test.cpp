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
    Feed() {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        read_ = fds[0];
        write_ = fds[1];
        EXPECT_EQ(queue.Init(), 0);
    }
    ~Feed() {
        ::close(read_);
        if (write_ >= 0) ::close(write_);
    }

    // Each chunk is one read of the device.
    TFillResult Send(const std::vector<std::string>& Chunks) {
        TFillResult total;
        for (const std::string& chunk : Chunks) {
            EXPECT_EQ(::write(write_, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
            const TFillResult r = queue.FillFrom(read_);
            total.Added += r.Added;
            total.EventChar = total.EventChar || r.EventChar;
            total.Errors = total.Errors | r.Errors;
            total.HangUp = total.HangUp || r.HangUp;
        }
        return total;
    }

    std::string TakeAll() {
        std::string out(queue.Count(), '\0');
        out.resize(queue.Take(out.data(), out.size()));
        return out;
    }

    void HangUp() {
        ::close(write_);
        write_ = -1;
    }
    int ReadFd() const { return read_; }
    int WriteFd() const { return write_; }

    TReceiveQueue queue;

private:
    int read_ = -1;
    int write_ = -1;
};

bool Readable(int Fd) {
    pollfd p{Fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TReceiveOptions WithParity(bool Replace = false, char ReplaceChar = 0) {
    TReceiveOptions o;
    o.ParityEnabled = true;
    o.ParityCheck = true;
    o.Replace = Replace;
    o.ReplaceChar = ReplaceChar;
    return o;
}

}  // namespace

TEST(ReceiveQueue, MarkedStreamIsDecodedAlsoAcrossReads) {
    using S = std::vector<std::string>;
    const std::string ff = "\xff", nul(1, '\0');
    const struct {
        const char* name;
        S chunks;
        TReceiveOptions options;
        std::string bytes;
        TComErrors errors;
    } cases[] = {
        {"plain", {"abc", "def"}, {}, "abcdef", {}},
        {"literal 0xFF", {"a" + ff + ff + "b"}, {}, "a" + ff + "b", {}},
        {"literal 0xFF split", {"a" + ff, ff + "b"}, {}, "a" + ff + "b", {}},
        {"two literals", {ff + ff + ff + ff}, {}, ff + ff, {}},
        {"parity error", {"a" + ff + nul + "Xb"}, WithParity(), "aXb", {leRxParity}},
        {"parity error split in three", {"a" + ff, nul, "Xb"}, WithParity(), "aXb", {leRxParity}},
        {"parity error replaced", {"a" + ff + nul + "Xb"}, WithParity(true, 'R'), "aRb", {leRxParity}},
        {"framing error without parity bit", {ff + nul + "X"}, {}, "X", {leFrame}},
        {"break adds no byte", {"a" + ff + nul + nul + "b"}, {}, "ab", {leBreak}},
        {"break split", {"a" + ff, nul + nul, "b"}, WithParity(), "ab", {leBreak}},
        {"mark not made by the kernel", {ff + "A"}, {}, ff + "A", {}},
        {"mark not made by the kernel, split", {"a" + ff, "AB"}, {}, "a" + ff + "AB", {}},
        {"marks among plain runs", {"ab" + ff + ff + "cd" + ff, nul + "e" + ff + ff},
         WithParity(true, '?'), "ab" + ff + "cd?" + ff, {leRxParity}},
        {"zero kept", {"a" + nul + "b"}, {}, "a" + nul + "b", {}},
    };
    for (const auto& c : cases) {
        Feed feed;
        feed.queue.SetOptions(c.options);
        const TFillResult r = feed.Send(c.chunks);
        EXPECT_EQ(r.Added, c.bytes.size()) << c.name;
        EXPECT_EQ(r.Errors, c.errors) << c.name;
        EXPECT_EQ(feed.TakeAll(), c.bytes) << c.name;
        EXPECT_EQ(feed.queue.TakeErrors(), c.errors) << c.name;
        EXPECT_TRUE(feed.queue.TakeErrors().Empty()) << c.name;
    }
}

TEST(ReceiveQueue, DiscardNullDropsZeroBytesAlsoReplacedOnes) {
    Feed feed;
    TReceiveOptions o = WithParity(true, '\0');
    o.DiscardNull = true;
    feed.queue.SetOptions(o);
    feed.Send({std::string("a\0b", 3), std::string("\xff\0Xc", 4)});
    EXPECT_EQ(feed.TakeAll(), "abc");
}

TEST(ReceiveQueue, EventCharacterIsNotedOnlyWhenItCame) {
    Feed feed;
    TReceiveOptions o;
    o.EventChar = '\r';
    feed.queue.SetOptions(o);
    EXPECT_FALSE(feed.Send({"abc"}).EventChar);
    EXPECT_TRUE(feed.Send({"ab\rc"}).EventChar);
    o.EventChar = '\xff';
    feed.queue.SetOptions(o);
    EXPECT_FALSE(feed.Send({"\xff\x00X"}).EventChar);   // a marked X, not the character
    EXPECT_TRUE(feed.Send({"\xff\xff"}).EventChar);
}

TEST(ReceiveQueue, QueueNeverGrowsBeyondItsLimit) {
    Feed feed;
    feed.queue.SetLimit(8);
    TFillResult r = feed.Send({"0123456789AB"});
    EXPECT_EQ(r.Added, 8u);
    EXPECT_EQ(r.Errors, (TComErrors{leRxOverflow}));
    EXPECT_EQ(feed.queue.Count(), 8u);
    r = feed.Send({std::string(10000, 'z')});   // more than one read chunk, all dropped
    EXPECT_EQ(r.Added, 0u);
    EXPECT_EQ(feed.queue.Count(), 8u);
    EXPECT_EQ(feed.queue.TakeErrors(), (TComErrors{leRxOverflow}));

    char four[4];
    EXPECT_EQ(feed.queue.Take(four, 4), 4u);
    EXPECT_EQ(std::string(four, 4), "0123");
    r = feed.Send({"cd"});
    EXPECT_TRUE(r.Errors.Empty());
    EXPECT_EQ(feed.TakeAll(), "4567cd");   // the oldest bytes were kept

    feed.queue.InjectForTest("0123456789", 10, {});
    EXPECT_EQ(feed.queue.Count(), 8u);
    EXPECT_EQ(feed.queue.TakeErrors(), (TComErrors{leRxOverflow}));
}

TEST(ReceiveQueue, LoweredLimitKeepsWhatIsWaiting) {
    Feed feed;
    feed.Send({"abcdefgh"});
    feed.queue.SetLimit(4);
    EXPECT_EQ(feed.queue.Count(), 8u);
    feed.Send({"i"});
    EXPECT_EQ(feed.TakeAll(), "abcdefgh");
    feed.Send({"123456"});
    EXPECT_EQ(feed.TakeAll(), "1234");
}

TEST(ReceiveQueue, LargeInputPassesThroughInOrder) {
    Feed feed;
    std::string sent, got;
    for (int i = 0; i < 200000; ++i) sent.push_back(static_cast<char>((i * 7) % 251));
    for (size_t at = 0; at < sent.size(); at += 3000) {
        std::string chunk = sent.substr(at, 3000), marked;
        for (char c : chunk) {
            marked.push_back(c);
            if (c == '\xff') marked.push_back(c);
        }
        feed.Send({marked});
        got += feed.TakeAll();
    }
    EXPECT_EQ(got, sent);
}

// A read straight into the caller's buffer (nothing waits in the queue)
// decodes like a read into the queue, also when a mark is split between the
// two kinds of read.
TEST(ReceiveQueue, ReadsIntoTheCallersBufferDecodeAlike) {
    Feed feed;
    feed.queue.SetOptions(WithParity());
    auto take = [&](size_t Count) {
        std::string out(Count, '\0');
        TFillResult r;
        out.resize(feed.queue.TakeOrFill(out.data(), Count, feed.ReadFd(), r));
        return out;
    };
    auto send = [&](const std::string& Bytes) {
        ASSERT_EQ(::write(feed.WriteFd(), Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
    };
    send("0123456789");
    EXPECT_EQ(take(4), "0123");   // the rest stays with the device
    EXPECT_EQ(feed.queue.Count(), 0u);
    EXPECT_EQ(take(10), "456789");

    send("ab\xff");
    EXPECT_EQ(take(10), "ab");   // a mark is pending
    send(std::string("\0X", 2) + "cd");
    EXPECT_EQ(take(10), "Xcd");
    EXPECT_EQ(feed.queue.TakeErrors(), (TComErrors{leRxParity}));

    send("a\xff");
    EXPECT_EQ(take(10), "a");
    send("AB\xff\xff");
    EXPECT_EQ(take(10), "\xff" "AB\xff");   // not a kernel mark: both bytes kept

    feed.queue.InjectForTest("q", 1, {});
    send("rs");
    EXPECT_EQ(take(10), "qrs");   // waiting bytes come first
}

TEST(ReceiveQueue, EndOfFileIsAHangUp) {
    Feed feed;
    feed.Send({"x"});
    feed.HangUp();
    const TFillResult r = feed.queue.FillFrom(feed.ReadFd());
    EXPECT_TRUE(r.HangUp);
    EXPECT_EQ(feed.queue.Count(), 1u);
}

TEST(ReceiveQueue, WaitingTransferIsWokenByBytesAndNotByAStaleSignal) {
    Feed feed;
    const int notify = feed.queue.NotifyFd();
    feed.Send({"ab"});
    EXPECT_FALSE(Readable(notify));   // nobody waits: no signal

    feed.queue.BeginWait();
    char buffer[8];
    EXPECT_EQ(feed.queue.TakeForWait(buffer, 8), 2u);
    EXPECT_FALSE(Readable(notify));
    feed.Send({"cd"});
    EXPECT_TRUE(Readable(notify));
    EXPECT_EQ(feed.queue.TakeForWait(buffer, 1), 1u);
    EXPECT_TRUE(Readable(notify));   // a byte is still waiting
    EXPECT_EQ(feed.queue.TakeForWait(buffer, 8), 1u);
    EXPECT_FALSE(Readable(notify));   // emptied: reset
    feed.queue.InjectForTest("e", 1, {});
    EXPECT_TRUE(Readable(notify));
    feed.queue.EndWait();
}
