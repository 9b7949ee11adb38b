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

std::string UrlOf(const TSer2NetServer& Server, TKind Kind)
{
    return Kind == TKind::Raw ? Server.RawUrl() : Server.Rfc2217Url();
}

std::string AllByteValues()
{
    std::string All;
    for (int V = 0; V < 256; ++V)
        All.push_back(static_cast<char>(V));
    return All + "\xff\xff";
}

class NetSer2Net : public ::testing::TestWithParam<TKind> {
protected:
    TPtyPair Line_;
    TSer2NetServer Server_{Line_.SlavePath()};
    TComPort Port_;

    void SetUp() override
    {
        Port_.SetPort(UrlOf(Server_, GetParam()));
        Port_.SetEvents({});
        WaitingReads(Port_, 5000);
    }
};

// Every byte value, 0xFF included (doubled on the telnet wire, never on the
// line), goes both ways unchanged.
TEST_P(NetSer2Net, EveryByteValueBothWays)
{
    Port_.Open();
    const std::string All = AllByteValues();
    EXPECT_EQ(Port_.WriteBytes(All.data(), static_cast<int32_t>(All.size())), static_cast<int32_t>(All.size()));
    EXPECT_EQ(Line_.Read(All.size(), 5000ms), All);

    Line_.Write(All);
    std::string Got(All.size(), '\0');
    EXPECT_EQ(Port_.ReadBytes(Got.data(), static_cast<int32_t>(Got.size())), static_cast<int32_t>(All.size()));
    EXPECT_EQ(Got, All);
    Port_.Close();
}

// The server going away is device loss: reported once as leIOError through
// the event thread, and the port still closes.
TEST_P(NetSer2Net, ServerKilledIsDeviceLoss)
{
    event_test::OwnerLoop Loop;
    event_test::Watchdog Watchdog("ServerKilledIsDeviceLoss", 60s);
    std::vector<TComErrors> errors;
    Port_.SetEvents(AllComEvents);
    Port_.OnError = [&](TComponent*, TComErrors Errors) { errors.push_back(Errors); };
    Port_.Open();
    Server_.Kill();
    ASSERT_TRUE(Loop.ServeUntil([&] { return !errors.empty(); }, 10s));
    Loop.ServeFor(300ms);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].Contains(leIOError));
    Port_.Close();
    EXPECT_FALSE(Port_.Connected());
}

INSTANTIATE_TEST_SUITE_P(Kinds, NetSer2Net, ::testing::Values(TKind::Raw, TKind::Rfc2217),
                         [](const auto& Info) { return Info.param == TKind::Raw ? "socket" : "rfc2217"; });

class NetSer2NetRfc2217 : public ::testing::Test {
protected:
    TPtyPair Line_;
    TSer2NetServer Server_{Line_.SlavePath()};
    TComPort Port_;

    void SetUp() override
    {
        Port_.SetPort(Server_.Rfc2217Url());
        Port_.SetEvents({});
    }
};

// Rate and character format set on the open port reach the line: the
// pseudo-terminal's record (read through its master) changes.
TEST_F(NetSer2NetRfc2217, LineSettingsReachThePseudoTerminal)
{
    Port_.Open();
    EXPECT_EQ(Line_.SlaveRecord().c_ospeed, 9600u);

    Port_.SetBaudRate(br19200);
    TKernelTermios Record = Line_.SlaveRecord();
    EXPECT_EQ(Record.c_ospeed, 19200u);
    EXPECT_EQ(Record.c_cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_EQ(Record.c_cflag & (PARENB | CSTOPB), 0u);

    // The server takes (acknowledges) every format; a pseudo-terminal keeps
    // only the stop bits of it (the kernel holds ptys at CS8 without parity).
    Port_.SetDataBits(dbSeven);
    Port_.Parity().SetBits(prEven);
    Port_.SetStopBits(sbTwoStopBits);
    EXPECT_NE(Line_.SlaveRecord().c_cflag & CSTOPB, 0u);
    Port_.SetStopBits(sbOneStopBit);
    EXPECT_EQ(Line_.SlaveRecord().c_cflag & CSTOPB, 0u);

    Port_.SetBaudRate(br115200);
    EXPECT_EQ(Line_.SlaveRecord().c_ospeed, 115200u);
    Port_.Close();
}

// A port opened again right after its close finds the server ready for it,
// and the bytes of each session reach the line.
TEST_F(NetSer2NetRfc2217, OpensAgainRightAfterAClose)
{
    for (int Round = 0; Round < 20; ++Round) {
        SCOPED_TRACE(Round);
        ASSERT_NO_THROW(Port_.Open());
        ASSERT_EQ(Port_.WriteBytes("x", 1), 1);
        EXPECT_EQ(Line_.Read(1, 5000ms), "x");
        Port_.Close();
    }
}

// socket:// to a telnet server is refused, and says what to use instead.
TEST_F(NetSer2NetRfc2217, RawNameForTelnetServerIsRefused)
{
    Port_.SetPort("socket://127.0.0.1:" + std::to_string(Server_.Rfc2217Port()));
    const EComPort Error = RaisedBy([&] { Port_.Open(); });
    EXPECT_EQ(Error.ErrorCode(), CError_OpenFailed);
    EXPECT_NE(std::string(Error.what()).find("open it as rfc2217://127.0.0.1:"), std::string::npos) << Error.what();
    EXPECT_FALSE(Port_.Connected());
}

}  // namespace
