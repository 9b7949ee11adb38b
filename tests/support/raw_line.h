// SPDX-License-Identifier: MIT
// A raw descriptor of a line's device, as a bare baseline of the benchmarks
// opens it. Kept apart from pty_pair.h: <termios.h> defines names (ECHO)
// that other headers use for their own constants.
#pragma once

#include "tests/support/owned_fd.h"

#include <fcntl.h>
#include <termios.h>

#include <stdexcept>
#include <string>

namespace test_support {

inline TOwnedFd OpenRawSlave(const std::string& Path, int Flags = O_NONBLOCK) {
    TOwnedFd Line(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | Flags));
    termios Raw{};
    if (Line.Get() < 0 || ::tcgetattr(Line.Get(), &Raw) != 0) throw std::runtime_error("cannot open the slave");
    ::cfmakeraw(&Raw);
    if (::tcsetattr(Line.Get(), TCSANOW, &Raw) != 0) throw std::runtime_error("cannot make the slave raw");
    return Line;
}

}  // namespace test_support
