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
static_assert(KernelNccs == NCCS);

termios2 ToKernel(const TKernelTermios& Record)
{
    return std::bit_cast<termios2>(Record);
}

TKernelTermios FromKernel(const termios2& T)
{
    return std::bit_cast<TKernelTermios>(T);
}

int Ioctl(int Fd, unsigned long Request, void* Arg)
{
    return ::ioctl(Fd, Request, Arg) == 0 ? 0 : errno;
}

bool RateTaken(uint32_t Wanted, uint32_t Actual)
{
    const uint64_t Difference = Wanted > Actual ? Wanted - Actual : Actual - Wanted;
    return Difference * 100 <= static_cast<uint64_t>(Wanted) * 3;
}

}  // namespace

int ReadLineRecord(int Fd, TKernelTermios& Record)
{
    termios2 T{};
    if (int Error = Ioctl(Fd, TCGETS2, &T))
        return Error;
    Record = FromKernel(T);
    return 0;
}

int WriteLineRecord(int Fd, const TKernelTermios& Record)
{
    const uint32_t Rate = Record.c_ospeed;
    if (Rate == 0)
        return EINVAL;  // B0 would hang the line up, it is no rate

    termios2 Previous{};
    if (int Error = Ioctl(Fd, TCGETS2, &Previous))
        return Error;

    termios2 Wanted = ToKernel(Record);
    Wanted.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    Wanted.c_cflag |= BOTHER;  // CIBAUD left 0: input speed follows output speed
    Wanted.c_ispeed = Rate;
    Wanted.c_ospeed = Rate;
    if (int Error = Ioctl(Fd, TCSETS2, &Wanted))
        return Error;

    termios2 Actual{};
    int Error = Ioctl(Fd, TCGETS2, &Actual);
    if (Error == 0 && !RateTaken(Rate, Actual.c_ospeed))
        Error = EINVAL;
    if (Error != 0) {
        ::ioctl(Fd, TCSETS2, &Previous);  // the device keeps its previous configuration
        return Error;
    }
    return 0;
}

int RestoreLineRecord(int Fd, const TKernelTermios& Record)
{
    termios2 T = ToKernel(Record);
    return Ioctl(Fd, TCSETS2, &T);
}

}  // namespace cport
