// SPDX-License-Identifier: MIT
// Network port names (the connection behind them is in tcp_connecting.cpp).
#include "cport/net_address.h"

#include "cport/comport.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace cport {

namespace {

bool StartsWithNoCase(const std::string& Text, const char* Prefix, size_t& Length)
{
    Length = std::strlen(Prefix);
    if (Text.size() < Length)
        return false;
    for (size_t I = 0; I < Length; ++I)
        if (std::tolower(static_cast<unsigned char>(Text[I])) != Prefix[I])
            return false;
    return true;
}

bool ValidPort(const std::string& Port)
{
    if (Port.empty() || Port.size() > 5 || Port[0] == '0')
        return false;
    unsigned long Value = 0;
    for (char C : Port) {
        if (!std::isdigit(static_cast<unsigned char>(C)))
            return false;
        Value = Value * 10 + static_cast<unsigned long>(C - '0');
    }
    return Value >= 1 && Value <= 65535;
}

bool ValidHost(const std::string& Host)
{
    if (Host.empty() || Host.size() > 253)
        return false;
    for (char C : Host) {
        const auto U = static_cast<unsigned char>(C);
        if (!std::isalnum(U) && C != '.' && C != '-' && C != '_' && C != ':')
            return false;
    }
    return true;
}

}  // namespace

std::string TNetAddress::Endpoint() const
{
    if (Host.find(':') != std::string::npos)
        return "[" + Host + "]:" + Port;
    return Host + ":" + Port;
}

std::optional<TNetAddress> NetAddressOf(const std::string& Port)
{
    TNetAddress Address;
    size_t Skip = 0;
    if (StartsWithNoCase(Port, "socket://", Skip))
        Address.Kind = TNetKind::nkRaw;
    else if (StartsWithNoCase(Port, "rfc2217://", Skip))
        Address.Kind = TNetKind::nkRfc2217;
    else
        return std::nullopt;
    const std::string Rest = Port.substr(Skip);
    size_t Colon;
    if (!Rest.empty() && Rest[0] == '[') {
        const size_t Close = Rest.find(']');
        if (Close == std::string::npos || Close + 1 >= Rest.size() || Rest[Close + 1] != ':')
            return Address;
        Address.Host = Rest.substr(1, Close - 1);
        Colon = Close + 1;
        if (Address.Host.find(':') == std::string::npos)
            return Address;
    } else {
        Colon = Rest.rfind(':');
        if (Colon == std::string::npos)
            return Address;
        Address.Host = Rest.substr(0, Colon);
        if (Address.Host.find(':') != std::string::npos)
            return Address;  // IPv6 needs brackets
    }
    Address.Port = Rest.substr(Colon + 1);
    Address.Valid = ValidHost(Address.Host) && ValidPort(Address.Port);
    return Address;
}

TPortNameKind PortNameKind(const std::string& Port)
{
    const std::optional<TNetAddress> Address = NetAddressOf(Port);
    if (!Address)
        return TPortNameKind::pnDevice;
    return Address->Valid ? TPortNameKind::pnNetwork : TPortNameKind::pnMalformedNetwork;
}

}  // namespace cport
