// SPDX-License-Identifier: MIT
// Bounded reads of the tool's files.
#include "main/files/file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnolink {

namespace {

// Closes the descriptor on every way out.
class TReadFd {
public:
    explicit TReadFd(int Fd) : Fd_(Fd) {}
    ~TReadFd()
    {
        if (Fd_ >= 0)
            ::close(Fd_);
    }
    TReadFd(const TReadFd&) = delete;
    TReadFd& operator=(const TReadFd&) = delete;
    int Get() const { return Fd_; }

private:
    int Fd_;
};

}  // namespace

std::string LimitText(std::size_t Limit)
{
    constexpr std::size_t MiB = std::size_t{1} << 20;
    if (Limit >= MiB && Limit % MiB == 0)
        return std::to_string(Limit / MiB) + " MiB";
    return std::to_string(Limit) + " bytes";
}

TFileText ReadFileText(const std::string& Path, std::size_t Limit)
{
    TFileText Result;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    const TReadFd File(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (File.Get() < 0) {
        Result.Missing = errno == ENOENT;
        Result.Error = std::string("cannot be read: ") + std::strerror(errno);
        return Result;
    }
    struct stat Status {};
    if (::fstat(File.Get(), &Status) != 0) {
        Result.Error = std::string("cannot be read: ") + std::strerror(errno);
        return Result;
    }
    if (!S_ISREG(Status.st_mode)) {
        Result.Error = S_ISDIR(Status.st_mode) ? "is a directory, not a file" : "is not a regular file";
        return Result;
    }
    const auto TooLarge = [&] { Result.Error = "is larger than the limit of " + LimitText(Limit); };
    if (static_cast<unsigned long long>(Status.st_size) > Limit) {
        TooLarge();
        return Result;
    }
    Result.Text.resize(static_cast<std::size_t>(Status.st_size) + 1);
    std::size_t Got = 0;
    for (;;) {
        if (Got == Result.Text.size()) {
            if (Got > Limit) {
                Result.Text.clear();
                TooLarge();
                return Result;
            }
            Result.Text.resize(std::min(Limit + 1, Got * 2 + 4096));
        }
        const ssize_t N = ::read(File.Get(), Result.Text.data() + Got, Result.Text.size() - Got);
        if (N == 0)
            break;
        if (N < 0) {
            if (errno == EINTR)
                continue;
            Result.Text.clear();
            Result.Error = std::string("cannot be read: ") + std::strerror(errno);
            return Result;
        }
        Got += static_cast<std::size_t>(N);
    }
    Result.Text.resize(Got);
    return Result;
}

std::string Quoted(std::string_view Text)
{
    if (Text.size() <= QuoteLimit)
        return "\"" + std::string(Text) + "\"";
    return "\"" + std::string(Text.substr(0, QuoteLimit)) + "\"...";
}

}  // namespace varnolink
