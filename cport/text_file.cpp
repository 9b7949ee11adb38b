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

[[noreturn]] void ThrowErrno(int Error, const std::string& What) {
    throw std::system_error(Error, std::generic_category(), What);
}

// Removes a temporary file unless it was renamed into place.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string Path) : path_(std::move(Path)) {}
    ~TempFileGuard() { if (!path_.empty()) ::unlink(path_.c_str()); }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void Release() { path_.clear(); }

private:
    std::string path_;
};

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& Path) {
    UniqueFd fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        ThrowErrno(errno, "cannot open " + Path);
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(errno, "cannot read " + Path);
        }
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

void ReplaceFile(const std::string& Path, const std::string& Text) {
    // Write through a symbolic link to the file it names, and keep the mode of
    // an existing file.
    std::string target = Path;
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(Path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
        if (char* resolved = ::realpath(Path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }

    std::string temp = target + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) ThrowErrno(errno, "cannot create a temporary file for " + Path);
    TempFileGuard guard(temp);

    if (::fchmod(fd.get(), mode) != 0) ThrowErrno(errno, "cannot set the mode of " + temp);
    size_t written = 0;
    while (written < Text.size()) {
        const ssize_t n = ::write(fd.get(), Text.data() + written, Text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(errno, "cannot write " + temp);
        }
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0) ThrowErrno(errno, "cannot flush " + temp);
    if (::close(fd.release()) != 0) ThrowErrno(errno, "cannot close " + temp);
    if (::rename(temp.c_str(), target.c_str()) != 0) ThrowErrno(errno, "cannot replace " + Path);
    guard.Release();
}

}  // namespace cport
