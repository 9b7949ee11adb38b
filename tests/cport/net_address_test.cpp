// SPDX-License-Identifier: MIT
// Network port names and the TCP connection behind them.
#include "cport/net_address.h"
#include "cport/tcp_connecting.h"
#include "loopback_listener.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace {

using namespace cport;
using namespace std::chrono_literals;

struct TNameCase {
    const char* Name;
    bool Network;
    TNetKind Kind;
    const char* Host;
    const char* Port;
    bool Valid;
};

class NetAddressName : public ::testing::TestWithParam<TNameCase> {};

TEST_P(NetAddressName, Parses)
{
    const TNameCase& C = GetParam();
    const auto Address = NetAddressOf(C.Name);
    ASSERT_EQ(Address.has_value(), C.Network);
    if (!C.Network)
        return;
    EXPECT_EQ(Address->Kind, C.Kind);
    EXPECT_EQ(Address->Valid, C.Valid);
    if (C.Valid) {
        EXPECT_EQ(Address->Host, C.Host);
        EXPECT_EQ(Address->Port, C.Port);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, NetAddressName,
    ::testing::Values(TNameCase{"COM1", false, TNetKind::nkRaw, "", "", false},
                      TNameCase{"/dev/pts/3", false, TNetKind::nkRaw, "", "", false},
                      TNameCase{"socket://127.0.0.1:2000", true, TNetKind::nkRaw, "127.0.0.1", "2000", true},
                      TNameCase{"RFC2217://box.local:7000", true, TNetKind::nkRfc2217, "box.local", "7000", true},
                      TNameCase{"rfc2217://[::1]:65535", true, TNetKind::nkRfc2217, "::1", "65535", true},
                      TNameCase{"socket://host", true, TNetKind::nkRaw, "", "", false},
                      TNameCase{"socket://:2000", true, TNetKind::nkRaw, "", "", false},
                      TNameCase{"socket://host:0", true, TNetKind::nkRaw, "", "", false},
                      TNameCase{"socket://host:65536", true, TNetKind::nkRaw, "", "", false},
                      TNameCase{"socket://host:20x", true, TNetKind::nkRaw, "", "", false},
                      TNameCase{"rfc2217://::1:2000", true, TNetKind::nkRfc2217, "", "", false},
                      TNameCase{"rfc2217://[::1]2000", true, TNetKind::nkRfc2217, "", "", false},
                      TNameCase{"socket://a b:1", true, TNetKind::nkRaw, "", "", false}));

TNetAddress Loopback(const std::string& Port)
{
    return *NetAddressOf("socket://127.0.0.1:" + Port);
}

TEST(NetConnect, ConnectsWithNoDelayAndKeepalive)
{
    net_test::TLoopbackListener Listener;
    const TNetConnection Connection = ConnectTcp(Loopback(Listener.Port()), 5s);
    ASSERT_TRUE(Connection.Socket) << Connection.Reason;
    int on = 0;
    socklen_t Length = sizeof on;
    ASSERT_EQ(::getsockopt(Connection.Socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, &Length), 0);
    EXPECT_NE(on, 0);
    ASSERT_EQ(::getsockopt(Connection.Socket.get(), SOL_SOCKET, SO_KEEPALIVE, &on, &Length), 0);
    EXPECT_NE(on, 0);
}

TEST(NetConnect, RefusedConnectionSaysSo)
{
    const std::string Port = net_test::ClosedLoopbackPort();
    const TNetConnection Connection = ConnectTcp(Loopback(Port), 5s);
    EXPECT_FALSE(Connection.Socket);
    EXPECT_EQ(Connection.Error, ECONNREFUSED);
    EXPECT_EQ(Connection.Reason, "Connection refused by 127.0.0.1:" + Port);
}

TEST(NetConnect, UnknownHostSaysSo)
{
    const TNetConnection Connection = ConnectTcp(*NetAddressOf("rfc2217://no-such-host.invalid:2000"), 5s);
    EXPECT_FALSE(Connection.Socket);
    EXPECT_NE(Connection.Error, 0);
    EXPECT_EQ(Connection.Reason.rfind("Host not found: no-such-host.invalid", 0), 0u) << Connection.Reason;
}

// A connection made in steps with its name looked up aside, driven as the
// engine's loop drives it: a wait for its descriptor or its deadline, then a
// step. A numeric host is never looked up aside.
TNetConnection ConnectInSteps(const std::string& Name, bool& LookedUpAside)
{
    TTcpConnecting Connecting(*NetAddressOf(Name), 5s, true);
    LookedUpAside = !Connecting.Done() && Connecting.WaitEvents() == POLLIN;
    const auto Limit = std::chrono::steady_clock::now() + 30s;
    while (!Connecting.Done() && std::chrono::steady_clock::now() < Limit) {
        const auto Left =
            std::chrono::ceil<std::chrono::milliseconds>(Connecting.Deadline() - std::chrono::steady_clock::now());
        pollfd P{Connecting.Fd(), Connecting.WaitEvents(), 0};
        ::poll(&P, 1, static_cast<int>(std::clamp<int64_t>(Left.count(), 0, 1000)));
        Connecting.Step();
    }
    EXPECT_TRUE(Connecting.Done()) << Name;
    return Connecting.TakeResult();
}

TEST(NetConnectInSteps, NamesAreLookedUpAsideAndNumbersAtOnce)
{
    net_test::TLoopbackListener Listener;
    bool Aside = true;
    const TNetConnection Numeric = ConnectInSteps("socket://127.0.0.1:" + Listener.Port(), Aside);
    EXPECT_TRUE(Numeric.Socket) << Numeric.Reason;
    EXPECT_FALSE(Aside);
    const TNetConnection Named = ConnectInSteps("socket://localhost:" + Listener.Port(), Aside);
    EXPECT_TRUE(Named.Socket) << Named.Reason;
    const TNetConnection Unknown = ConnectInSteps("rfc2217://nonexistent.invalid:2000", Aside);
    EXPECT_FALSE(Unknown.Socket);
    EXPECT_EQ(Unknown.Error, EHOSTUNREACH);
    EXPECT_EQ(Unknown.Reason.rfind("Host not found: nonexistent.invalid (", 0), 0u) << Unknown.Reason;
}

// A numeric IPv6 host is taken at once as well, connected in steps, and
// comes back tuned like any other connection.
TEST(NetConnectInSteps, NumericIpv6HostConnectsAtOnce)
{
    TUniqueFd Listener(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 Address{};
    Address.sin6_family = AF_INET6;
    Address.sin6_addr = in6addr_loopback;
    socklen_t Length = sizeof Address;
    if (!Listener || ::bind(Listener.get(), reinterpret_cast<sockaddr*>(&Address), Length) != 0)
        GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_EQ(::listen(Listener.get(), 1), 0);
    ASSERT_EQ(::getsockname(Listener.get(), reinterpret_cast<sockaddr*>(&Address), &Length), 0);
    bool Aside = true;
    const TNetConnection Connection =
        ConnectInSteps("socket://[::1]:" + std::to_string(ntohs(Address.sin6_port)), Aside);
    ASSERT_TRUE(Connection.Socket) << Connection.Reason;
    EXPECT_FALSE(Aside);
    int On = 0;
    Length = sizeof On;
    ASSERT_EQ(::getsockopt(Connection.Socket.get(), IPPROTO_TCP, TCP_NODELAY, &On, &Length), 0);
    EXPECT_NE(On, 0);
}

TEST(NetConnect, MalformedNameIsRefusedWithoutLookup)
{
    const TNetConnection Connection = ConnectTcp(*NetAddressOf("socket://host"), 5s);
    EXPECT_EQ(Connection.Error, EINVAL);
    EXPECT_NE(Connection.Reason.find("socket://HOST:PORT"), std::string::npos);
}

}  // namespace
