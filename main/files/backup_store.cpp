// SPDX-License-Identifier: MIT
// Backups of a module's configuration, kept before anything is written.
#include "main/files/backup_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "main/files/config_file.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

std::string PlainName(const std::string& Text)
{
    std::string Name;
    for (const char C : Text)
        Name += std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '-' || C == '.' ? C : '-';
    // Runs of replaced characters read as one.
    std::string Tidy;
    for (const char C : Name)
        if (C != '-' || Tidy.empty() || Tidy.back() != '-')
            Tidy += C;
    while (!Tidy.empty() && Tidy.front() == '-')
        Tidy.erase(Tidy.begin());
    while (!Tidy.empty() && Tidy.back() == '-')
        Tidy.pop_back();
    return Tidy;
}

// "2026-12-09T22:15:00Z" -> "20261209T221500Z".
std::string CompactTime(const std::string& Iso)
{
    std::string Compact;
    for (const char C : Iso)
        if (C != '-' && C != ':')
            Compact += C;
    return Compact;
}

}  // namespace

void MakeFolders(const std::string& Folder)
{
    for (std::size_t Slash = Folder.find('/', 1);; Slash = Folder.find('/', Slash + 1)) {
        const std::string Part = Folder.substr(0, Slash);
        if (::mkdir(Part.c_str(), 0700) != 0 && errno != EEXIST)
            throw EConfigFile(Part, 0, "", std::string("cannot make the folder: ") + std::strerror(errno));
        if (Slash == std::string::npos)
            return;
    }
}

std::string DefaultBackupFolder()
{
    const char* State = std::getenv("XDG_STATE_HOME");
    if (State != nullptr && State[0] == '/')
        return std::string(State) + "/varnolink/backups";
    const char* Home = std::getenv("HOME");
    return std::string(Home != nullptr && Home[0] != '\0' ? Home : "/tmp") + "/.local/state/varnolink/backups";
}

std::string BackupFileName(const TBackupOrigin& Origin, const TModuleConfig& Config)
{
    std::string Name = CompactTime(Origin.ReadAt);
    if (!Origin.ModuleName.empty())
        Name += "_" + PlainName(Origin.ModuleName);
    std::string Port = Origin.Port;
    if (Port.rfind("/dev/", 0) == 0)
        Port.erase(0, 5);
    Name += "_" + PlainName(Port) + "_id-" + HexByteToStr2(Config.RemoteId) + ".ini";
    return Name;
}

std::string SaveBackup(const std::string& Folder, const TBackupOrigin& Origin, const TModuleConfig& Config)
{
    MakeFolders(Folder);
    // Two backups within one second get the same name: the later one takes
    // a number rather than replace the earlier.
    const std::string Name = BackupFileName(Origin, Config);
    std::string Path = Folder + "/" + Name;
    for (int Copy = 2; ::access(Path.c_str(), F_OK) == 0 && Copy < 1000; ++Copy)
        Path = Folder + "/" + Name.substr(0, Name.size() - 4) + "-" + std::to_string(Copy) + ".ini";
    std::string Text = "# backup taken before writing";
    if (!Origin.ModuleName.empty())
        Text += " module " + Origin.ModuleName;
    Text += " on " + Origin.Port + "\n";
    Text += ConfigFileText(Config, &Origin.Identity, Origin.ReadAt);
    SaveConfigFile(Path, Text);
    return Path;
}

}  // namespace varnolink
