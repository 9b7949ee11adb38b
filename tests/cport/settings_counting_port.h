// SPDX-License-Identifier: MIT
// A port that counts the apply calls its setters make instead of touching a
// device, for tests of the setting rules and of loading.
#pragma once

#include "cport/comport.h"

struct ApplyCounts {
    int line = 0;
    int timeouts = 0;
    int buffers = 0;
    bool operator==(const ApplyCounts&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const ApplyCounts& c) {
    return os << "{line " << c.line << ", timeouts " << c.timeouts << ", buffers " << c.buffers << "}";
}

class CountingPort : public cport::TComPort {
public:
    using cport::TComPort::TComPort;
    void ApplyLineSettings() override { ++counts.line; }
    void ApplyTimeoutSettings() override { ++counts.timeouts; }
    void ApplyBufferSizes() override { ++counts.buffers; }
    ApplyCounts counts;
};
