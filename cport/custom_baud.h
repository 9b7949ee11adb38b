// SPDX-License-Identifier: MIT
// Internal: the kernel's termios2 record, read and written with TCGETS2 and
// TCSETS2, so that any bit rate (not only the B... constants) can be set.
//
// <asm/termbits.h>, which defines termios2, clashes with <termios.h>; only
// custom_baud.cpp includes it. Everything else sees TKernelTermios, a
// field-for-field copy whose flag values are those of <termios.h>.
#pragma once

#include <cstdint>

namespace cport {

inline constexpr int KernelNccs = 19;

struct TKernelTermios {
    uint32_t c_iflag = 0;
    uint32_t c_oflag = 0;
    uint32_t c_cflag = 0;  // CBAUD/CIBAUD bits are managed by WriteLineRecord
    uint32_t c_lflag = 0;
    uint8_t c_line = 0;
    uint8_t c_cc[KernelNccs] = {};
    uint32_t c_ispeed = 0;  // bits per second
    uint32_t c_ospeed = 0;
};

// TCGETS2. Returns 0 or the errno of the failing call.
int ReadLineRecord(int Fd, TKernelTermios& Record);

// Sets the whole line record with the rate in c_ospeed (input speed equal to
// output speed) through BOTHER, reads it back and checks that the driver
// took the rate (within 3 %, the tolerance of a UART receiver). A rate the
// driver did not take is refused with EINVAL after the previous record has
// been put back. Returns 0 or an errno.
int WriteLineRecord(int Fd, const TKernelTermios& Record);

// TCSETS2 as it is, without the rate check (restoring a saved record).
int RestoreLineRecord(int Fd, const TKernelTermios& Record);

}  // namespace cport
