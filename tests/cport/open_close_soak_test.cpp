// Endurance: many open/close cycles leave no descriptor behind.
#include "device_pty.h"

#include <dirent.h>

using namespace cport;
using namespace device_test;

namespace {

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

}  // namespace

TEST(OpenCloseSoak, TenThousandCyclesLeaveNoDescriptorBehind) {
    PtyPair pty;
    TComPort port;
    UseSlave(port, pty);
    port.Open();   // first use of everything that is set up once
    port.Close();
    const int before = OpenDescriptors();
    for (int i = 0; i < 10000; ++i) {
        port.Open();
        if (i % 1000 == 0) {
            ASSERT_EQ(port.WriteBytes("x", 1), 1);
            ASSERT_EQ(pty.Read(1), "x");
        }
        port.Close();
    }
    EXPECT_EQ(OpenDescriptors(), before);
    port.Open();
    EXPECT_TRUE(port.Connected());
}
