// SPDX-License-Identifier: MIT
// A port held open by a TComPort in another process is never offered as free
// by the port list's probe and cannot be opened here, however often either is
// tried; once that process lets go, both succeed again.
#include <gtest/gtest.h>

#include "main/window/port_candidates.h"
#include "tests/cport/device_pty.h"
#include "tests/ports/held_port.h"

using namespace varnolink;

namespace {

TEST(PortHeldElsewhere, NeverListedAsFreeAndCannotBeOpened)
{
    test_support::TPtyPair Line;
    cport::TComPort Here;
    Here.SetEvents({});
    Here.SetPort(Line.SlavePath());
    {
        const ports_test::THeldElsewhere Holder(Line.SlavePath());
        for (int Attempt = 0; Attempt < 500; ++Attempt) {
            ASSERT_FALSE(ProbePort(Line.SlavePath())) << "listed as free at attempt " << Attempt;
            if (Attempt % 25 == 0) {
                const cport::EComPort Raised = device_test::RaisedBy([&] { Here.Open(); });
                ASSERT_EQ(Raised.ErrorCode(), 1) << Raised.what();
                ASSERT_FALSE(Here.Connected());
            }
        }
    }  // the other process has let go and ended
    EXPECT_TRUE(ProbePort(Line.SlavePath()));
    Here.Open();
    EXPECT_TRUE(Here.Connected());
}

}  // namespace
