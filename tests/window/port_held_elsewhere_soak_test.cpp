// A port held open by a TComPort in another process is never offered as free
// by the port list's probe and cannot be opened here, however often either is
// tried; once that process lets go, both succeed again.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "main/window/port_candidates.h"
#include "tests/cport/device_pty.h"

namespace {

TEST(PortHeldElsewhere, NeverListedAsFreeAndCannotBeOpened)
{
    device_test::PtyPair Line;
    int Ready[2];
    int Release[2];
    ASSERT_EQ(::pipe(Ready), 0);
    ASSERT_EQ(::pipe(Release), 0);
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        // The other process: opens the port, says so, holds it until the
        // release pipe is closed.
        ::close(Ready[0]);
        ::close(Release[1]);
        char Status = 'n';
        try {
            cport::TComPort Holder;
            Holder.SetEvents({});
            Holder.SetPort(Line.SlavePath());
            Holder.Open();
            Status = 'y';
            (void)!::write(Ready[1], &Status, 1);
            char Ignored;
            (void)!::read(Release[0], &Ignored, 1);
        } catch (...) {
            (void)!::write(Ready[1], &Status, 1);
        }
        ::_exit(0);
    }
    ::close(Ready[1]);
    ::close(Release[0]);
    char Status = 0;
    ASSERT_EQ(::read(Ready[0], &Status, 1), 1);
    ASSERT_EQ(Status, 'y') << "the other process could not open the port";

    cport::TComPort Here;
    Here.SetEvents({});
    Here.SetPort(Line.SlavePath());
    for (int Attempt = 0; Attempt < 500; ++Attempt) {
        ASSERT_FALSE(ProbePort(Line.SlavePath())) << "listed as free at attempt " << Attempt;
        if (Attempt % 25 == 0) {
            const cport::EComPort Raised = device_test::RaisedBy([&] { Here.Open(); });
            ASSERT_EQ(Raised.ErrorCode(), 1) << Raised.what();
            ASSERT_FALSE(Here.Connected());
        }
    }

    ::close(Release[1]);
    int ExitStatus = -1;
    ASSERT_EQ(::waitpid(Child, &ExitStatus, 0), Child);
    ::close(Ready[0]);
    EXPECT_TRUE(ProbePort(Line.SlavePath()));
    Here.Open();
    EXPECT_TRUE(Here.Connected());
}

}  // namespace
