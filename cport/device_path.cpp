// SPDX-License-Identifier: MIT
// Port names to device nodes.
#include "cport/comport.h"

#include <cctype>

namespace cport {

namespace {

// "COMn" (any case of the letters, n a decimal number from 1 without
// leading zeros): the number of the on-board port, else 0.
unsigned long ComNumberOf(const std::string& Port)
{
    if (Port.size() < 4 || Port.size() > 12)
        return 0;
    if (std::toupper(static_cast<unsigned char>(Port[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(Port[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(Port[2])) != 'M' || Port[3] == '0')
        return 0;
    unsigned long N = 0;
    for (size_t I = 3; I < Port.size(); ++I) {
        if (!std::isdigit(static_cast<unsigned char>(Port[I])))
            return 0;
        N = N * 10 + static_cast<unsigned long>(Port[I] - '0');
    }
    return N;
}

}  // namespace

// An absolute path or a network port name is used as it is; "COMn" names the n-th on-board port,
// /dev/ttyS(n-1), so that the default "COM1" and stored settings keep a
// meaning; any other name is looked up under /dev ("ttyUSB0", "pts/3").
std::string TCustomComPort::DevicePathOf(const std::string& Port)
{
    if (!Port.empty() && Port[0] == '/')
        return Port;
    if (PortNameKind(Port) != TPortNameKind::pnDevice)
        return Port;  // a network port
    if (const unsigned long N = ComNumberOf(Port))
        return "/dev/ttyS" + std::to_string(N - 1);
    return "/dev/" + Port;
}

}  // namespace cport
