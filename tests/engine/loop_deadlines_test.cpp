// SPDX-License-Identifier: MIT
// The loop's deadlines among thousands of ports: a few ports whose replies
// are due soon get their time-outs, in the order of their deadlines, while
// thousands of others wait on long replies untouched; a chain started on a
// waiting port from outside the loop's calls has its new deadline kept too.
// The lines are raw network ports to a server that never answers. And the
// descriptors of others the loop watches: a pipe's lines and its end, and
// /dev/null, which cannot be waited on.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cport/unique_fd.h"
#include "main/engine/epoll_loop.h"
#include "main/engine/session_port.h"
#include "tests/support/open_files_limit.h"
#include "tests/support/unanswered_servers.h"

using namespace varnolink;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t WaitingPorts = 2000;
constexpr std::size_t TimedPorts = 4;
// Far enough apart that a round delayed by a loaded machine still sees one
// time-out at a time, so the moved port's start lands between the first two.
constexpr auto TimedSpacing = 250ms;

class LoopDeadlines : public testing::Test {
protected:
    void SetUp() override
    {
        const std::optional<rlim_t> FilesLimit = test_support::RaiseOpenFilesLimit();
        ASSERT_TRUE(FilesLimit) << "the open-files limit cannot be raised";
        if (*FilesLimit < 5 * (WaitingPorts + TimedPorts) + 256)
            GTEST_SKIP() << "the open-files limit is too low for " << WaitingPorts << " ports";
        for (std::size_t Index = 0; Index < WaitingPorts + TimedPorts; ++Index) {
            auto Port = std::make_unique<TSessionPort>();
            Port->CheckTelnetAtFirstBytes();
            Port->Open("socket://" + Server_.Endpoint());
            Port->OnEvent = [this, Index](const TSessionEvent& Event) {
                if (const auto* Ended = std::get_if<TChainEnded>(&Event))
                    Endings_.push_back({Index, Ended->Result.End});
            };
            Loop_.Add(*Port);
            Ports_.push_back(std::move(Port));
        }
    }

    struct TEnding {
        std::size_t Port;
        TChainEnd End;
        bool operator==(const TEnding&) const = default;
    };

    // The server's backlog completes every connection; nobody accepts.
    test_support::TListeningSocket Server_{4096};
    TEpollLoop Loop_;
    std::vector<TEnding> Endings_;  // each chain's end, in order (the ports' last at their close)
    std::vector<std::unique_ptr<TSessionPort>> Ports_;
};

TEST_F(LoopDeadlines, DueTimeOutsComeInOrderWhileThousandsWait)
{
    const TSessionTime Now = TSessionClock::now();
    for (std::size_t Index = 0; Index < WaitingPorts; ++Index)
        Ports_[Index]->Start(TChainPlan::Probe(10min), Now);
    // Started latest-first: the heap, not the order of starting, decides.
    for (std::size_t Timed = TimedPorts; Timed-- > 0;)
        Ports_[WaitingPorts + Timed]->Start(TChainPlan::Probe(TimedSpacing * static_cast<int>(Timed + 1)), Now);

    // The first time-out moves a waiting port onto a short wait, started
    // from Done as a plant starts its next rows.
    constexpr std::size_t Moved = WaitingPorts / 2;
    bool MovedStarted = false;
    bool GaveUp = false;
    Loop_.SetTimer([Limit = Now + 20s] { return std::optional<TSessionTime>(Limit); }, [&] { GaveUp = true; });
    Loop_.RunUntil([&] {
        if (!MovedStarted && !Endings_.empty()) {
            MovedStarted = true;
            Ports_[Moved]->Start(TChainPlan::Probe(30ms), TSessionClock::now());
        }
        return GaveUp || Endings_.size() == TimedPorts + 2;
    });

    ASSERT_FALSE(GaveUp) << "only " << Endings_.size() << " chains ended";
    // The timed ports in the order of their deadlines; the moved port's long
    // wait given up for its new chain at once, and that chain's time-out.
    std::vector<TEnding> Timed;
    std::vector<TEnding> OfMoved;
    for (const TEnding& Ending : Endings_)
        (Ending.Port == Moved ? OfMoved : Timed).push_back(Ending);
    EXPECT_EQ(Timed, (std::vector<TEnding>{{WaitingPorts, TChainEnd::NoReply},
                                           {WaitingPorts + 1, TChainEnd::NoReply},
                                           {WaitingPorts + 2, TChainEnd::NoReply},
                                           {WaitingPorts + 3, TChainEnd::NoReply}}));
    EXPECT_EQ(OfMoved, (std::vector<TEnding>{{Moved, TChainEnd::Stopped}, {Moved, TChainEnd::NoReply}}));
    EXPECT_EQ(Endings_[1], (TEnding{Moved, TChainEnd::Stopped}));
    for (std::size_t Index = 0; Index < WaitingPorts; ++Index) {
        if (Index != Moved) {
            ASSERT_TRUE(Ports_[Index]->Session().Running()) << "port " << Index << " was ended";
        }
    }
}

TEST(LoopWatches, APipeIsReadUntilItsEndAndDevNullCannotBeWaitedOn)
{
    TEpollLoop Loop;
    const cport::TUniqueFd Null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(Null);
    EXPECT_FALSE(Loop.WatchReadable(Null.get(), [] {}));

    int Ends[2];
    ASSERT_EQ(::pipe2(Ends, O_CLOEXEC | O_NONBLOCK), 0);
    const cport::TUniqueFd Reader(Ends[0]);
    cport::TUniqueFd Writer(Ends[1]);
    std::string Taken;
    bool Ended = false;
    // The watch ends itself at the pipe's end, from inside its own call.
    ASSERT_TRUE(Loop.WatchReadable(Reader.get(), [&] {
        char Buffer[16];
        const ssize_t Got = ::read(Reader.get(), Buffer, sizeof Buffer);
        if (Got > 0) {
            Taken.append(Buffer, static_cast<std::size_t>(Got));
            Writer.Reset();  // the writer closes once its line is read
        } else if (Got == 0) {
            Loop.UnwatchReadable(Reader.get());
            Ended = true;
        }
    }));
    ASSERT_EQ(::write(Writer.get(), "next\n", 5), 5);
    bool GaveUp = false;
    Loop.SetTimer([Limit = TSessionClock::now() + 20s] { return std::optional<TSessionTime>(Limit); },
                  [&] { GaveUp = true; });
    Loop.RunUntil([&] { return Ended || GaveUp; });
    EXPECT_FALSE(GaveUp);
    EXPECT_EQ(Taken, "next\n");
}

}  // namespace
