// SPDX-License-Identifier: MIT
#pragma once

// What the suites that run varnolink share: the program's path, and a
// fixture whose runs keep their state (the backups taken before writes, the
// journal of changes) in the test's own folder, never in the user's.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "tests/support/scratch_folder.h"

namespace cli_test {

// The program the build made; the build names it to every suite that runs it.
inline const std::string Program = VARNOLINK_CLI_EXECUTABLE;

class TStateInScratchFolder : public testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_STATE_HOME", Folder_.Path("state").c_str(), 1); }

    test_support::TScratchFolder Folder_;
};

}  // namespace cli_test
