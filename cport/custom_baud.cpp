// SPDX-License-Identifier: MIT
// termios2 access. The only file that includes <asm/termbits.h>.
#include "cport/custom_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <bit>

namespace cport {

namespace {

static_assert(sizeof(TKernelTermios) == sizeof(termios2));
static_assert(offsetof(TKernelTermios, c_cc) == offsetof(termios2, c_cc));
static_assert(offsetof(TKernelTermios, c_ispeed) == offsetof(termios2, c_ispeed));
static_assert(kKernelNccs == NCCS);

termios2 ToKernel(const TKernelTermios& Record) { return std::bit_cast<termios2>(Record); }

TKernelTermios FromKernel(const termios2& t) { return std::bit_cast<TKernelTermios>(t); }

int Ioctl(int Fd, unsigned long Request, void* Arg) {
    return ::ioctl(Fd, Request, Arg) == 0 ? 0 : errno;
}

bool RateTaken(uint32_t Wanted, uint32_t Actual) {
    const uint64_t difference = Wanted > Actual ? Wanted - Actual : Actual - Wanted;
    return difference * 100 <= static_cast<uint64_t>(Wanted) * 3;
}

}  // namespace

int ReadLineRecord(int Fd, TKernelTermios& Record) {
    termios2 t{};
    if (int error = Ioctl(Fd, TCGETS2, &t)) return error;
    Record = FromKernel(t);
    return 0;
}

int WriteLineRecord(int Fd, const TKernelTermios& Record) {
    const uint32_t rate = Record.c_ospeed;
    if (rate == 0) return EINVAL;   // B0 would hang the line up, it is no rate

    termios2 previous{};
    if (int error = Ioctl(Fd, TCGETS2, &previous)) return error;

    termios2 wanted = ToKernel(Record);
    wanted.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    wanted.c_cflag |= BOTHER;   // CIBAUD left 0: input speed follows output speed
    wanted.c_ispeed = rate;
    wanted.c_ospeed = rate;
    if (int error = Ioctl(Fd, TCSETS2, &wanted)) return error;

    termios2 actual{};
    int error = Ioctl(Fd, TCGETS2, &actual);
    if (error == 0 && !RateTaken(rate, actual.c_ospeed)) error = EINVAL;
    if (error != 0) {
        ::ioctl(Fd, TCSETS2, &previous);   // the device keeps its previous configuration
        return error;
    }
    return 0;
}

int RestoreLineRecord(int Fd, const TKernelTermios& Record) {
    termios2 t = ToKernel(Record);
    return Ioctl(Fd, TCSETS2, &t);
}

}  // namespace cport
