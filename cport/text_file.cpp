// SPDX-License-Identifier: MIT
#include "cport/text_file.h"

#include "cport/unique_fd.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace cport {

namespace {

[[noreturn]] void ThrowErrno(int Error, const std::string& What)
{
    throw std::system_error(Error, std::generic_category(), What);
}

// Removes a temporary file unless it was renamed into place.
class TTempFileGuard {
public:
    explicit TTempFileGuard(std::string Path) : Path_(std::move(Path)) {}
    ~TTempFileGuard()
    {
        if (!Path_.empty())
            ::unlink(Path_.c_str());
    }
    TTempFileGuard(const TTempFileGuard&) = delete;
    TTempFileGuard& operator=(const TTempFileGuard&) = delete;
    void Release() { Path_.clear(); }

private:
    std::string Path_;
};

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& Path)
{
    TUniqueFd Fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!Fd) {
        if (errno == ENOENT)
            return std::nullopt;
        ThrowErrno(errno, "cannot open " + Path);
    }
    std::string Text;
    char Chunk[4096];
    for (;;) {
        const ssize_t N = ::read(Fd.get(), Chunk, sizeof Chunk);
        if (N < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno, "cannot read " + Path);
        }
        if (N == 0)
            break;
        Text.append(Chunk, static_cast<size_t>(N));
    }
    return Text;
}

void ReplaceFile(const std::string& Path, const std::string& Text)
{
    // Write through a symbolic link to the file it names, and keep the mode of
    // an existing file.
    std::string Target = Path;
    mode_t Mode = 0644;
    struct stat St {};
    if (::stat(Path.c_str(), &St) == 0) {
        Mode = St.st_mode & 07777;
        if (char* Resolved = ::realpath(Path.c_str(), nullptr)) {
            Target = Resolved;
            std::free(Resolved);
        }
    }

    std::string Temp = Target + ".XXXXXX";
    TUniqueFd Fd(::mkostemp(Temp.data(), O_CLOEXEC));
    if (!Fd)
        ThrowErrno(errno, "cannot create a temporary file for " + Path);
    TTempFileGuard Guard(Temp);

    if (::fchmod(Fd.get(), Mode) != 0)
        ThrowErrno(errno, "cannot set the mode of " + Temp);
    size_t Written = 0;
    while (Written < Text.size()) {
        const ssize_t N = ::write(Fd.get(), Text.data() + Written, Text.size() - Written);
        if (N < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno, "cannot write " + Temp);
        }
        Written += static_cast<size_t>(N);
    }
    if (::fsync(Fd.get()) != 0)
        ThrowErrno(errno, "cannot flush " + Temp);
    if (::close(Fd.Release()) != 0)
        ThrowErrno(errno, "cannot close " + Temp);
    if (::rename(Temp.c_str(), Target.c_str()) != 0)
        ThrowErrno(errno, "cannot replace " + Path);
    Guard.Release();
}

}  // namespace cport
