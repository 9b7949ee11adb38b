// SPDX-License-Identifier: MIT
// A pseudo-terminal for tests that open a port, with the slave's line
// settings read through the master. A Linux pty keeps the rate, stop bits,
// flow control and control characters it is given, but always reports 8 data
// bits and no parity.
#pragma once

#include "cport/custom_baud.h"
#include "tests/support/pty_pair.h"

#include <termios.h>

#include <cstdint>
#include <stdexcept>

class PseudoTerminal : public test_support::TPtyPair {
public:
    // The line settings of the slave side (a pty master reports its slave's).
    termios Settings() const {
        termios Record{};
        if (::tcgetattr(Master(), &Record) != 0) throw std::runtime_error("tcgetattr failed");
        return Record;
    }
    // The slave's bit rate in bits per second (the port sets any rate, so
    // the B... code of tcgetattr may not name it).
    uint32_t BitRate() const {
        cport::TKernelTermios Record;
        if (cport::ReadLineRecord(Master(), Record) != 0) throw std::runtime_error("TCGETS2 failed");
        return Record.c_ospeed;
    }
};
