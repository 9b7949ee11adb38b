// SPDX-License-Identifier: MIT
// A port that counts the apply calls its setters make instead of touching a
// device, for tests of the setting rules and of loading.
#pragma once

#include "cport/comport.h"

struct ApplyCounts {
    int Line = 0;
    int Timeouts = 0;
    int Buffers = 0;
    int Rs485 = 0;
    bool operator==(const ApplyCounts&) const = default;
};

inline std::ostream& operator<<(std::ostream& Os, const ApplyCounts& C)
{
    return Os << "{line " << C.Line << ", timeouts " << C.Timeouts << ", buffers " << C.Buffers << ", RS-485 "
              << C.Rs485 << "}";
}

class CountingPort : public cport::TComPort {
public:
    using cport::TComPort::TComPort;
    void ApplyLineSettings() override { ++Counts.Line; }
    void ApplyTimeoutSettings() override { ++Counts.Timeouts; }
    void ApplyBufferSizes() override { ++Counts.Buffers; }
    void ApplyRs485Settings() override { ++Counts.Rs485; }
    ApplyCounts Counts;
};
