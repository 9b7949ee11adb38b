// A pseudo-terminal for tests that open a port: the port opens the slave
// path, the test keeps the master and reads the line settings through it.
// A Linux pty keeps the rate, stop bits, flow control and control
// characters it is given, but always reports 8 data bits and no parity.
#pragma once

#include "cport/custom_baud.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no pseudo-terminal name");
        slave_path_ = name;
    }
    ~PseudoTerminal() { ::close(master_); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& SlavePath() const { return slave_path_; }

    // The line settings of the slave side (a pty master reports its slave's).
    termios Settings() const {
        termios t{};
        if (::tcgetattr(master_, &t) != 0) throw std::runtime_error("tcgetattr failed");
        return t;
    }
    // The slave's bit rate in bits per second (the port sets any rate, so
    // the B... code of tcgetattr may not name it).
    uint32_t BitRate() const {
        cport::TKernelTermios record;
        if (cport::ReadLineRecord(master_, record) != 0) throw std::runtime_error("TCGETS2 failed");
        return record.c_ospeed;
    }

private:
    int master_ = -1;
    std::string slave_path_;
};
