// SPDX-License-Identifier: MIT
// A raw descriptor of a line's device, as a bare baseline of the benchmarks
// opens it. Kept apart from pty_pair.h: <termios.h> defines names (ECHO)
// that other headers use for their own constants.
#pragma once

#include "cport/unique_fd.h"

#include <fcntl.h>
#include <termios.h>

#include <stdexcept>
#include <string>

namespace test_support {

inline cport::TUniqueFd OpenRawSlave(const std::string& Path, int Flags = O_NONBLOCK)
{
    cport::TUniqueFd Line(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | Flags));
    termios Raw{};
    if (Line.get() < 0 || ::tcgetattr(Line.get(), &Raw) != 0)
        throw std::runtime_error("cannot open the slave");
    ::cfmakeraw(&Raw);
    if (::tcsetattr(Line.get(), TCSANOW, &Raw) != 0)
        throw std::runtime_error("cannot make the slave raw");
    return Line;
}

}  // namespace test_support
