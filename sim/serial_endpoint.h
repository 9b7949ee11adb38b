// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "sim/unique_fd.h"

namespace varnolink::sim {

// The simulator's end of the serial line: either the master side of a new
// pseudo-terminal, whose slave is the host's "serial device", or a real
// serial device opened by path. Every failure throws std::system_error.
// True for the standard rates from 50 to 4000000 baud that termios can set.
bool IsStandardBaudRate(unsigned Baud);

class TSerialEndpoint {
public:
    // Creates a pseudo-terminal pair and puts the slave in raw mode (no echo,
    // no line editing, no CR/LF translation) before anything is sent. A slave
    // descriptor stays open in here so that the line does not hang up while
    // the host closes and reopens its side. With a non-empty `LinkPath` a
    // symbolic link to the slave is made there (an existing symbolic link is
    // replaced; any other file there is an error) and removed again on Close.
    static TSerialEndpoint CreatePseudoTerminal(const std::string& LinkPath = {});

    // Opens an existing serial device in raw mode, 8N1, no flow control, at
    // `baud` (a standard rate from 50 to 4000000).
    static TSerialEndpoint OpenDevice(const std::string& Path, unsigned Baud = 9600);

    TSerialEndpoint(TSerialEndpoint&& Other) noexcept;
    TSerialEndpoint& operator=(TSerialEndpoint&&) noexcept;
    ~TSerialEndpoint();

    // Descriptor the simulator reads requests from and writes replies to
    // (non-blocking); -1 once closed.
    int Fd() const { return LineFd_.Get(); }
    // The path the host opens: the slave's /dev/pts/N, or the device path.
    const std::string& Path() const { return Path_; }
    bool IsPseudoTerminal() const { return IsPseudoTerminal_; }
    bool IsOpen() const { return LineFd_.Valid(); }

    // The line's current speed in baud, as tcgetattr reports it: on a
    // pseudo-terminal the speed the host last set on its side (Linux keeps
    // one set of settings for both ends of the pair), on a device its own.
    // 0 if the line is closed or its speed is not a standard rate.
    unsigned LineSpeed() const;

    // Closes every descriptor and removes the link. On a pseudo-terminal the
    // host's side then sees a hang-up.
    void Close();

private:
    TSerialEndpoint() = default;

    TUniqueFd LineFd_;
    TUniqueFd HeldSlaveFd_;
    std::string Path_;
    std::string LinkPath_;
    bool IsPseudoTerminal_ = false;
};

}  // namespace varnolink::sim
