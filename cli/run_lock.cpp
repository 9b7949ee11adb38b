// SPDX-License-Identifier: MIT
// The run lock of a plant command: a flock on the inventory file.
#include "cli/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "main/files/config_file.h"
#include "main/ports/port_holder.h"

namespace varnolink {

// O_NONBLOCK: an inventory that is a pipe must not hold the run at its open.
TRunLock::TRunLock(const std::string& InventoryPath)
    : Fd_(::open(InventoryPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK))
{
    if (!Fd_)
        throw EConfigFile(InventoryPath, 0, "", std::string("cannot be opened: ") + std::strerror(errno));
    int Result = 0;
    do
        Result = ::flock(Fd_.get(), LOCK_EX | LOCK_NB);
    while (Result != 0 && errno == EINTR);
    if (Result == 0)
        return;
    if (errno != EWOULDBLOCK)
        throw EConfigFile(InventoryPath, 0, "", std::string("cannot be locked: ") + std::strerror(errno));
    const std::optional<TPortHolder> Holder = FindFileLockHolder(InventoryPath);
    throw ERunLocked(InventoryPath + ": another run on this inventory is under way (" +
                     (Holder ? Holder->Program + ", process " + std::to_string(Holder->Process) : "holder unknown") +
                     "); it was left alone, try again when it has ended");
}

}  // namespace varnolink
