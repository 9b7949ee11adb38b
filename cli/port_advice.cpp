// SPDX-License-Identifier: MIT
// The plain-words advice that leads a port failure's message.
#include "cli/port_advice.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "cli/arguments.h"
#include "cport/comport.h"
#include "main/engine/module_connection.h"
#include "main/engine/rs485_choice.h"
#include "main/engine/module_errors.h"
#include "main/ports/port_candidates.h"
#include "main/ports/port_holder.h"

namespace varnolink {

namespace {

// "HOST:PORT" of "socket://HOST:PORT".
std::string Endpoint(const std::string& PortName)
{
    const std::size_t Scheme = PortName.find("://");
    return Scheme == std::string::npos ? PortName : PortName.substr(Scheme + 3);
}

std::string NetworkAdvice(const std::string& PortName, int SystemError, const std::string& Message)
{
    const std::string Where = Endpoint(PortName);
    const std::string Host = Where.substr(0, Where.rfind(':'));
    if (Message.find("Host not found") != std::string::npos)
        return "unknown host \"" + Host + "\": check the name in " + PortName + " (or give the address)";
    if (SystemError == ECONNREFUSED)
        return Where + " refused the connection: is the serial server running and listening on that port?";
    // A server that took the connection and then did not take up the serial
    // line: the address and the network are fine, the kind of server is not.
    if (SystemError == ETIMEDOUT && Message.find("RFC 2217") != std::string::npos)
        return Where +
               " accepted the connection but did not negotiate the serial line (RFC 2217) in time: is it an RFC 2217 "
               "server? try socket://" +
               Where;
    if (SystemError == ETIMEDOUT)
        return Where + " did not answer in time: check the address, the network and any firewall between";
    return {};
}

bool InList(const std::vector<gid_t>& Groups, gid_t Group)
{
    return std::find(Groups.begin(), Groups.end(), Group) != Groups.end();
}

// The groups of this process, and those the user's account lists (which a
// session started before the user was added does not have yet).
std::vector<gid_t> ProcessGroups()
{
    std::vector<gid_t> Groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    Groups.resize(static_cast<std::size_t>(std::max(::getgroups(static_cast<int>(Groups.size()), Groups.data()), 0)));
    Groups.push_back(::getegid());
    return Groups;
}

std::vector<gid_t> AccountGroups(const passwd& User)
{
    int Count = 64;
    std::vector<gid_t> Groups(static_cast<std::size_t>(Count));
    if (::getgrouplist(User.pw_name, User.pw_gid, Groups.data(), &Count) < 0) {
        Groups.resize(static_cast<std::size_t>(Count));
        ::getgrouplist(User.pw_name, User.pw_gid, Groups.data(), &Count);
    }
    Groups.resize(static_cast<std::size_t>(std::max(Count, 0)));
    return Groups;
}

}  // namespace

std::string PermissionAdvice(const std::string& Device)
{
    struct stat Info {};
    if (::stat(Device.c_str(), &Info) != 0)
        return {};
    const group* Group = ::getgrgid(Info.st_gid);
    const std::string Name = Group ? Group->gr_name : std::to_string(Info.st_gid);
    const passwd* User = ::getpwuid(::geteuid());
    const std::string UserName = User ? User->pw_name : "$USER";
    const std::string Lead = "permission denied: " + Device + " belongs to the group \"" + Name + "\"";
    if (InList(ProcessGroups(), Info.st_gid)) {
        char Mode[8];
        std::snprintf(Mode, sizeof Mode, "%04o", static_cast<unsigned>(Info.st_mode & 07777));
        return Lead + " and you are in it, but the device does not let its group read and write (mode " + Mode +
               "): ask the administrator";
    }
    if (User && InList(AccountGroups(*User), Info.st_gid))
        return Lead + "; you were added to it after you logged in: log out and in again (or run: newgrp " + Name + ")";
    return Lead + " and you are not in it: sudo usermod -aG " + Name + " " + UserName + ", then log out and in again";
}

std::string PortAdvice(const std::string& PortName, int SystemError, const std::string& ComponentMessage)
{
    if (IsNetworkPortName(PortName))
        return NetworkAdvice(PortName, SystemError, ComponentMessage);
    const std::string Device = cport::TComPort::DevicePathOf(PortName);
    switch (SystemError) {
    case EACCES:
    case EPERM:
        return PermissionAdvice(Device);
    case EBUSY:
    case EWOULDBLOCK:
        return "the port " + Device + " is busy, " + HolderText(FindPortHolder(Device)) +
               ": end that program (or close its port) and try again";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "there is no serial device " + Device + ": is the adapter plugged in? 'varnolink ports' lists the ports";
    default:
        return {};
    }
}

void RefuseSystemConsole(const std::string& PortName)
{
    if (IsNetworkPortName(PortName))
        return;
    const std::string Device = cport::TComPort::DevicePathOf(PortName);
    if (IsSystemConsole(Device))
        throw EModulePort("cannot open " + Device +
                              ": it is the system console (see /proc/consoles); pick another "
                              "port ('varnolink ports' lists them)",
                          0);
}

void OpenModulePort(TModuleConnection& Connection, const TCliArguments& Arguments)
{
    RefuseSystemConsole(Arguments.Port);
    if (!Arguments.Rs485.empty())
        Connection.SetRs485(ParseRs485Choice(Arguments.Rs485));
    if (Arguments.LineSpeed)
        Connection.SetLineSpeed(*Arguments.LineSpeed);
    Connection.Open(Arguments.Port);
}

}  // namespace varnolink
