// A pseudo-terminal for tests that open a port: the port opens the slave
// path, the test keeps the master and reads the line settings through it.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

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
    speed_t OutputSpeed() const {
        const termios t = Settings();
        return ::cfgetospeed(&t);
    }

private:
    int master_ = -1;
    std::string slave_path_;
};
