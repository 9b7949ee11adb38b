// SPDX-License-Identifier: MIT
// The run lock of a plant command: one run on an inventory at a time.
#pragma once

#include <stdexcept>
#include <string>

#include "cport/unique_fd.h"

namespace varnolink {

// Another run holds the inventory; its message names the holder when it can
// be seen. Exit code ExitLocked.
class ERunLocked : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An exclusive flock on the inventory file itself, opened read-only, held for
// the life of the object: two runs on one plant never interleave on its
// lines, whichever path names the file, and a run that dies leaves no stale
// lock behind. The lock is taken at once or not at all.
class TRunLock {
public:
    // Throws ERunLocked when another run holds it, EConfigFile when the file
    // cannot be opened.
    explicit TRunLock(const std::string& InventoryPath);

private:
    cport::TUniqueFd Fd_;
};

}  // namespace varnolink
