// SPDX-License-Identifier: MIT
// Network port names and the TCP connection behind them.
#include "cport/net_address.h"
#include "loopback_listener.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

namespace {

using namespace cport;
using namespace std::chrono_literals;

struct TNameCase {
    const char* name;
    bool network;
    TNetKind kind;
    const char* host;
    const char* port;
    bool valid;
};

class NetAddressName : public ::testing::TestWithParam<TNameCase> {};

TEST_P(NetAddressName, Parses) {
    const TNameCase& c = GetParam();
    const auto address = NetAddressOf(c.name);
    ASSERT_EQ(address.has_value(), c.network);
    if (!c.network) return;
    EXPECT_EQ(address->Kind, c.kind);
    EXPECT_EQ(address->Valid, c.valid);
    if (c.valid) {
        EXPECT_EQ(address->Host, c.host);
        EXPECT_EQ(address->Port, c.port);
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

TNetAddress Loopback(const std::string& Port) { return *NetAddressOf("socket://127.0.0.1:" + Port); }

TEST(NetConnect, ConnectsWithNoDelayAndKeepalive) {
    net_test::TLoopbackListener listener;
    const TNetConnection connection = ConnectTcp(Loopback(listener.Port()), 5s);
    ASSERT_TRUE(connection.Socket) << connection.Reason;
    int on = 0;
    socklen_t length = sizeof on;
    ASSERT_EQ(::getsockopt(connection.Socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
    EXPECT_NE(on, 0);
    ASSERT_EQ(::getsockopt(connection.Socket.get(), SOL_SOCKET, SO_KEEPALIVE, &on, &length), 0);
    EXPECT_NE(on, 0);
}

TEST(NetConnect, RefusedConnectionSaysSo) {
    const std::string port = net_test::ClosedLoopbackPort();
    const TNetConnection connection = ConnectTcp(Loopback(port), 5s);
    EXPECT_FALSE(connection.Socket);
    EXPECT_EQ(connection.Error, ECONNREFUSED);
    EXPECT_EQ(connection.Reason, "Connection refused by 127.0.0.1:" + port);
}

TEST(NetConnect, UnknownHostSaysSo) {
    const TNetConnection connection = ConnectTcp(*NetAddressOf("rfc2217://no-such-host.invalid:2000"), 5s);
    EXPECT_FALSE(connection.Socket);
    EXPECT_NE(connection.Error, 0);
    EXPECT_EQ(connection.Reason.rfind("Host not found: no-such-host.invalid", 0), 0u) << connection.Reason;
}

TEST(NetConnect, MalformedNameIsRefusedWithoutLookup) {
    const TNetConnection connection = ConnectTcp(*NetAddressOf("socket://host"), 5s);
    EXPECT_EQ(connection.Error, EINVAL);
    EXPECT_NE(connection.Reason.find("socket://HOST:PORT"), std::string::npos);
}

}  // namespace
