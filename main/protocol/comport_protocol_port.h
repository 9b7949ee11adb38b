// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "cport/comport.h"
#include "main/protocol/port_io.h"

// The protocol core's view of the serial port: writes and reads go straight
// to the TComPort; its EComPort errors pass through unchanged.
class TComPortProtocolPort final : public TProtocolPort {
public:
    explicit TComPortProtocolPort(cport::TComPort& Port) : Port_(Port) {}

    int WriteBytes(const void* Buffer, int Count) override { return Port_.WriteBytes(Buffer, Count); }
    int ReadText(std::string& Text, int Count) override { return Port_.ReadText(Text, Count); }

private:
    cport::TComPort& Port_;
};
