// SPDX-License-Identifier: MIT
// Port names to device nodes.
#include "cport/comport.h"

#include <cctype>

namespace cport {

namespace {

// "COMn" (any case of the letters, n a decimal number from 1 without
// leading zeros): the number of the on-board port, else 0.
unsigned long ComNumberOf(const std::string& Port) {
    if (Port.size() < 4 || Port.size() > 12) return 0;
    if (std::toupper(static_cast<unsigned char>(Port[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(Port[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(Port[2])) != 'M' || Port[3] == '0')
        return 0;
    unsigned long n = 0;
    for (size_t i = 3; i < Port.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(Port[i]))) return 0;
        n = n * 10 + static_cast<unsigned long>(Port[i] - '0');
    }
    return n;
}

}  // namespace

// An absolute path or a network port name is used as it is; "COMn" names the n-th on-board port,
// /dev/ttyS(n-1), so that the default "COM1" and stored settings keep a
// meaning; any other name is looked up under /dev ("ttyUSB0", "pts/3").
std::string TCustomComPort::DevicePathOf(const std::string& Port) {
    if (!Port.empty() && Port[0] == '/') return Port;
    if (PortNameKind(Port) != TPortNameKind::pnDevice) return Port;   // a network port
    if (const unsigned long n = ComNumberOf(Port)) return "/dev/ttyS" + std::to_string(n - 1);
    return "/dev/" + Port;
}

}  // namespace cport
