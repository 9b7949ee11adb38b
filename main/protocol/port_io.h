// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// The two serial operations the protocol needs. The window adapts its serial
// port (TComPort) to this; tests use a scripted fake. Errors of the port
// (EComPort or any other exception) are not caught by the protocol: they pass
// to whoever called it.
class TProtocolPort {
public:
    virtual ~TProtocolPort();

    // Writes Count bytes from Buffer; returns the number written. The protocol
    // always passes Count 1 and ignores the result.
    virtual int WriteBytes(const void* Buffer, int Count) = 0;

    // Reads up to Count received characters into Text, which ends up holding
    // exactly the characters read; returns their number.
    virtual int ReadText(std::string& Text, int Count) = 0;
};
