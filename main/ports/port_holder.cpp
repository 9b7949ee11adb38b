// SPDX-License-Identifier: MIT
#include "main/ports/port_holder.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace varnolink {

namespace {

namespace fs = std::filesystem;

bool ProcessRuns(pid_t Process)
{
    return Process > 0 && (::kill(Process, 0) == 0 || errno == EPERM);
}

std::string ProgramName(pid_t Process)
{
    std::ifstream Comm("/proc/" + std::to_string(Process) + "/comm");
    std::string Name;
    std::getline(Comm, Name);
    return Name.empty() ? std::string("another program") : Name;
}

std::optional<pid_t> LockOwner(const fs::path& LockFile)
{
    std::ifstream File(LockFile, std::ios::binary);
    if (!File)
        return std::nullopt;
    const std::string Content((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
    return ParseLockFile(Content);
}

std::optional<pid_t> HolderFromLockTable(const std::string& DevicePath, const std::vector<std::string>& Directories)
{
    for (const std::string& Directory : Directories) {
        const std::optional<pid_t> Owner = LockOwner(fs::path(Directory) / LockFileName(DevicePath));
        if (Owner && *Owner != ::getpid() && ProcessRuns(*Owner))
            return Owner;
    }
    return std::nullopt;
}

fs::path CanonicalDevice(const std::string& DevicePath)
{
    std::error_code Ignored;
    return fs::weakly_canonical(DevicePath, Ignored);
}

bool HasOpen(const fs::path& ProcessDirectory, const fs::path& Device)
{
    std::error_code Unreadable;
    for (const fs::directory_entry& Fd : fs::directory_iterator(ProcessDirectory / "fd", Unreadable)) {
        std::error_code Gone;
        if (fs::read_symlink(Fd.path(), Gone) == Device)
            return true;
    }
    return false;
}

std::optional<pid_t> HolderFromProcessList(const std::string& DevicePath)
{
    const fs::path Device = CanonicalDevice(DevicePath);
    const pid_t Self = ::getpid();
    std::error_code Ignored;
    for (const fs::directory_entry& Process : fs::directory_iterator("/proc", Ignored)) {
        const std::string Name = Process.path().filename().string();
        if (Name.empty() || Name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const auto Id = static_cast<pid_t>(std::strtol(Name.c_str(), nullptr, 10));
        if (Id != Self && HasOpen(Process.path(), Device))
            return Id;
    }
    return std::nullopt;
}

}  // namespace

std::optional<pid_t> ParseLockFile(std::string_view Content)
{
    // Four bytes that are not all text: a binary int.
    if (Content.size() == sizeof(int) && (Content[0] < ' ' || Content[sizeof(int) - 1] == '\0')) {
        int Binary = 0;
        Content.copy(reinterpret_cast<char*>(&Binary), sizeof Binary);
        if (Binary <= 0)
            return std::nullopt;
        return static_cast<pid_t>(Binary);
    }
    std::size_t At = Content.find_first_not_of(" \t");
    if (At == std::string_view::npos)
        return std::nullopt;
    long Value = 0;
    const std::size_t Start = At;
    for (; At < Content.size() && Content[At] >= '0' && Content[At] <= '9'; ++At) {
        Value = Value * 10 + (Content[At] - '0');
        if (Value > 0x3FFFFFFF)  // beyond any process id
            return std::nullopt;
    }
    if (At == Start || Value <= 0)
        return std::nullopt;
    return static_cast<pid_t>(Value);
}

std::string LockFileName(const std::string& DevicePath)
{
    std::string Name =
        DevicePath.rfind("/dev/", 0) == 0 ? DevicePath.substr(5) : fs::path(DevicePath).filename().string();
    for (char& Character : Name)
        if (Character == '/')
            Character = '_';
    return "LCK.." + Name;
}

std::optional<TPortHolder> FindPortHolder(const std::string& DevicePath,
                                          const std::vector<std::string>& LockDirectories)
{
    std::optional<pid_t> Holder = HolderFromLockTable(DevicePath, LockDirectories);
    if (!Holder)
        Holder = HolderFromProcessList(DevicePath);
    if (!Holder)
        return std::nullopt;
    return TPortHolder{ProgramName(*Holder), *Holder};
}

std::optional<TPortHolder> FindLockHolder(const std::string& DevicePath,
                                          const std::vector<std::string>& LockDirectories)
{
    const std::optional<pid_t> Holder = HolderFromLockTable(DevicePath, LockDirectories);
    if (!Holder)
        return std::nullopt;
    return TPortHolder{ProgramName(*Holder), *Holder};
}

std::optional<TPortHolder> FindFileLockHolder(const std::string& Path)
{
    struct stat Info {};
    if (::stat(Path.c_str(), &Info) != 0)
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:131090 0 EOF": kind, pid, then
    // the file as major:minor:inode, the device numbers in hexadecimal.
    // Waiters ("1: -> FLOCK ...") do not hold the lock; their kind reads "->".
    std::ifstream Table("/proc/locks");
    constexpr int MostLines = 100000;
    std::string Line;
    for (int Count = 0; Count < MostLines && std::getline(Table, Line); ++Count) {
        char Kind[16] = {};
        long Process = 0;
        unsigned Major = 0, Minor = 0;
        unsigned long long Inode = 0;
        if (std::sscanf(Line.c_str(), "%*d: %15s %*s %*s %ld %x:%x:%llu", Kind, &Process, &Major, &Minor, &Inode) !=
                5 ||
            std::string_view(Kind) != "FLOCK")
            continue;
        if (Major == ::major(Info.st_dev) && Minor == ::minor(Info.st_dev) && Inode == Info.st_ino &&
            Process != ::getpid() && Process > 0)
            return TPortHolder{ProgramName(static_cast<pid_t>(Process)), static_cast<pid_t>(Process)};
    }
    return std::nullopt;
}

bool OpenInThisProcess(const std::string& DevicePath)
{
    return HasOpen("/proc/self", CanonicalDevice(DevicePath));
}

std::string HolderText(const std::optional<TPortHolder>& Holder)
{
    if (!Holder)
        return "in use by another program";
    return "in use by " + Holder->Program + ", process " + std::to_string(Holder->Process);
}

}  // namespace varnolink
