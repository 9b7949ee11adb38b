// SPDX-License-Identifier: MIT
// A file replaced by writing a temporary file beside it and renaming it.
#include "main/files/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cport/unique_fd.h"
#include "main/files/config_file.h"

namespace varnolink {

namespace {

[[noreturn]] void Fail(const std::string& Path, const std::string& Temporary, int Error)
{
    if (!Temporary.empty())
        ::unlink(Temporary.c_str());
    throw EConfigFile(Path, 0, "", std::string("cannot be written: ") + std::strerror(Error));
}

bool WriteAll(int Fd, std::string_view Text)
{
    while (!Text.empty()) {
        const ssize_t Written = ::write(Fd, Text.data(), Text.size());
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Text.remove_prefix(static_cast<std::size_t>(Written));
    }
    return true;
}

}  // namespace

void ReplaceFileAtomically(const std::string& Path, std::string_view Text)
{
    const std::size_t Slash = Path.rfind('/');
    const std::string Folder = Slash == std::string::npos ? "." : Slash == 0 ? "/" : Path.substr(0, Slash);
    const std::string Name = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
    std::string Temporary = Folder + "/." + Name + ".XXXXXX";
    cport::TUniqueFd File(::mkostemp(Temporary.data(), O_CLOEXEC));
    if (File.get() < 0)
        Fail(Path, {}, errno);
    if (!WriteAll(File.get(), Text) || ::fchmod(File.get(), 0644) != 0 || ::fsync(File.get()) != 0 ||
        ::close(File.Release()) != 0)
        Fail(Path, Temporary, errno);
    if (::rename(Temporary.c_str(), Path.c_str()) != 0)
        Fail(Path, Temporary, errno);
    // The rename itself is durable once the folder is flushed; a folder that
    // cannot be opened for that leaves the file replaced all the same.
    const cport::TUniqueFd Directory(::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Directory.get() >= 0)
        ::fsync(Directory.get());
}

}  // namespace varnolink
