// SPDX-License-Identifier: MIT
// Network ports against the real server: ser2net in the foreground with a
// raw and a telnet(rfc2217) accepter on a pseudo-terminal whose master the
// test holds as the far end of the line.
#include "device_pty.h"
#include "event_test_support.h"
#include "ser2net_server.h"

#include <termios.h>

#include <atomic>
#include <string>

namespace {

using namespace cport;
using namespace device_test;
using net_test::TSer2NetServer;

enum class TKind { Raw, Rfc2217 };

std::string UrlOf(const TSer2NetServer& Server, TKind Kind) {
    return Kind == TKind::Raw ? Server.RawUrl() : Server.Rfc2217Url();
}

std::string AllByteValues() {
    std::string all;
    for (int v = 0; v < 256; ++v) all.push_back(static_cast<char>(v));
    return all + "\xff\xff";
}

class NetSer2Net : public ::testing::TestWithParam<TKind> {
protected:
    PtyPair line;
    TSer2NetServer server{line.SlavePath()};
    TComPort port;

    void SetUp() override {
        port.SetPort(UrlOf(server, GetParam()));
        port.SetEvents({});
        WaitingReads(port, 5000);
    }
};

// Every byte value, 0xFF included (doubled on the telnet wire, never on the
// line), goes both ways unchanged.
TEST_P(NetSer2Net, EveryByteValueBothWays) {
    port.Open();
    const std::string all = AllByteValues();
    EXPECT_EQ(port.WriteBytes(all.data(), static_cast<int32_t>(all.size())), static_cast<int32_t>(all.size()));
    EXPECT_EQ(line.Read(all.size(), 5000ms), all);

    line.Write(all);
    std::string got(all.size(), '\0');
    EXPECT_EQ(port.ReadBytes(got.data(), static_cast<int32_t>(got.size())), static_cast<int32_t>(all.size()));
    EXPECT_EQ(got, all);
    port.Close();
}

// The server going away is device loss: reported once as leIOError through
// the event thread, and the port still closes.
TEST_P(NetSer2Net, ServerKilledIsDeviceLoss) {
    event_test::OwnerLoop loop;
    event_test::Watchdog watchdog("ServerKilledIsDeviceLoss", 60s);
    std::vector<TComErrors> errors;
    port.SetEvents(AllComEvents);
    port.OnError = [&](TComponent*, TComErrors Errors) { errors.push_back(Errors); };
    port.Open();
    server.Kill();
    ASSERT_TRUE(loop.ServeUntil([&] { return !errors.empty(); }, 10s));
    loop.ServeFor(300ms);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].Contains(leIOError));
    port.Close();
    EXPECT_FALSE(port.Connected());
}

INSTANTIATE_TEST_SUITE_P(Kinds, NetSer2Net, ::testing::Values(TKind::Raw, TKind::Rfc2217),
                         [](const auto& Info) { return Info.param == TKind::Raw ? "socket" : "rfc2217"; });

class NetSer2NetRfc2217 : public ::testing::Test {
protected:
    PtyPair line;
    TSer2NetServer server{line.SlavePath()};
    TComPort port;

    void SetUp() override {
        port.SetPort(server.Rfc2217Url());
        port.SetEvents({});
    }
};

// Rate and character format set on the open port reach the line: the
// pseudo-terminal's record (read through its master) changes.
TEST_F(NetSer2NetRfc2217, LineSettingsReachThePseudoTerminal) {
    port.Open();
    EXPECT_EQ(line.SlaveRecord().c_ospeed, 9600u);

    port.SetBaudRate(br19200);
    TKernelTermios record = line.SlaveRecord();
    EXPECT_EQ(record.c_ospeed, 19200u);
    EXPECT_EQ(record.c_cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_EQ(record.c_cflag & (PARENB | CSTOPB), 0u);

    // The server takes (acknowledges) every format; a pseudo-terminal keeps
    // only the stop bits of it (the kernel holds ptys at CS8 without parity).
    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prEven);
    port.SetStopBits(sbTwoStopBits);
    EXPECT_NE(line.SlaveRecord().c_cflag & CSTOPB, 0u);
    port.SetStopBits(sbOneStopBit);
    EXPECT_EQ(line.SlaveRecord().c_cflag & CSTOPB, 0u);

    port.SetBaudRate(br115200);
    EXPECT_EQ(line.SlaveRecord().c_ospeed, 115200u);
    port.Close();
}

// socket:// to a telnet server is refused, and says what to use instead.
TEST_F(NetSer2NetRfc2217, RawNameForTelnetServerIsRefused) {
    port.SetPort("socket://127.0.0.1:" + std::to_string(server.Rfc2217Port()));
    const EComPort error = RaisedBy([&] { port.Open(); });
    EXPECT_EQ(error.ErrorCode(), CError_OpenFailed);
    EXPECT_NE(std::string(error.what()).find("open it as rfc2217://127.0.0.1:"), std::string::npos) << error.what();
    EXPECT_FALSE(port.Connected());
}

}  // namespace
