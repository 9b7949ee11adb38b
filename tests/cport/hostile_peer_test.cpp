// SPDX-License-Identifier: MIT
// rfc2217:// ports against servers that never stop talking: command floods,
// a sub-negotiation that never ends, random bytes, option requests whose
// answers are never read. Open, ReadBytes and Close each end within their
// limit, whatever keeps arriving, and a read against a flood leaves the
// processor nearly idle.
#include "cport/net_device.h"
#include "device_pty.h"
#include "telnet_peer.h"
#include "tests/support/process_cpu.h"

#include <time.h>

#include <random>
#include <string>

namespace {

using namespace cport;
using namespace device_test;
using net_test::TFlood;
using net_test::TTelnetPeer;
using test_support::ProcessCpuSeconds;

const std::string Nops = "\xff\xf1";                // IAC NOP
const std::string EndlessSub = "\xff\xfa\x2c\x6b";  // IAC SB COM-PORT NOTIFY-MODEMSTATE, no IAC SE
const std::string OptionRequest = "\xff\xfd\x63";   // IAC DO 99: answered WONT every time

// Bytes of any value, but never the server's DO COM-PORT-OPTION.
std::string RandomBytes()
{
    std::mt19937 Generator(25);
    std::string Bytes(4096, '\0');
    for (char& C : Bytes)
        C = static_cast<char>(Generator() == 0x2c ? 0x2d : Generator() & 0xff);
    return Bytes;
}

struct THostileCase {
    const char* Name;
    TFlood Flood;
};

const THostileCase Cases[] = {
    {"command_flood", {"", Nops, true}},
    {"endless_subnegotiation", {EndlessSub, "x", true}},
    {"random_bytes", {"", RandomBytes(), true}},
    {"unread_option_flood", {"", OptionRequest, false}},
};

class HostilePeer : public ::testing::TestWithParam<THostileCase> {};

// A port open on a well-behaved peer that then floods, its reads waiting at
// most ReadLimitMs. The port closes before its peer goes.
struct TFloodedPort {
    TFloodedPort(const TFlood& Flood, int ReadLimitMs)
    {
        Port.SetPort(Peer.Url());
        WaitingReads(Port, ReadLimitMs);
        Port.Open();
        Peer.Flood(Flood);
    }

    TTelnetPeer Peer;
    TComPort Port;
};

// The peer floods from the connection on and never agrees: the open fails
// within the negotiation limit, measured from its start.
TEST_P(HostilePeer, OpenEndsWithinTheNegotiationLimit)
{
    TFlood Flood = GetParam().Flood;
    Flood.ReadsClient = false;
    TTelnetPeer Peer({}, Flood);
    TComPort Port;
    Port.SetPort(Peer.Url());
    const auto Started = Clock::now();
    EXPECT_EQ(RaisedBy([&] { Port.Open(); }).ErrorCode(), CError_OpenFailed);
    EXPECT_LT(Clock::now() - Started, 3s + 1s);
    EXPECT_FALSE(Port.Connected());
}

// A port open on a well-behaved peer that then floods: a read with a 2 s
// limit keeps it, and Close returns within a second.
TEST_P(HostilePeer, ReadBytesAndCloseEndInTime)
{
    TFloodedPort Flooded(GetParam().Flood, 2000);
    TComPort& Port = Flooded.Port;
    char Buffer[64];
    auto Started = Clock::now();
    try {
        Port.ReadBytes(Buffer, sizeof Buffer);
    } catch (const EComPort& E) {
        EXPECT_EQ(E.ErrorCode(), CError_ReadFailed) << E.what();  // the deaf server counts as gone
    }
    EXPECT_LT(Clock::now() - Started, 2s + 2s);
    Started = Clock::now();
    Port.Close();
    EXPECT_LT(Clock::now() - Started, 1s);
}

INSTANTIATE_TEST_SUITE_P(Floods, HostilePeer, ::testing::ValuesIn(Cases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

struct TCpuCase {
    const char* Name;
    TFlood Flood;
    int ReadError;  // the errno the read fails with; 0: it runs to its limit
};

const TCpuCase CpuCases[] = {
    {"command_flood", {"", Nops, true}, 0},
    {"option_request_flood", {"", OptionRequest, true}, 0},
    {"endless_subnegotiation", {EndlessSub, "x", true}, EPROTO},
};

class HostilePeerCpu : public ::testing::TestWithParam<TCpuCase> {};

// A read of at most a second against the flood: commands pause the reading
// once their budget is spent, a sub-negotiation without end breaks the
// stream; either way the process stays far below a core (a busy reader
// used a whole second).
TEST_P(HostilePeerCpu, ReadAgainstTheFloodUsesLittleCpu)
{
    TFloodedPort Flooded(GetParam().Flood, 1000);
    TComPort& Port = Flooded.Port;
    const double Before = ProcessCpuSeconds();
    char Buffer[64];
    int Error = 0;
    try {
        EXPECT_EQ(Port.ReadBytes(Buffer, sizeof Buffer), 0);
    } catch (const EComPort& E) {
        Error = E.SystemErrorCode();
    }
    EXPECT_LT(ProcessCpuSeconds() - Before, 0.3) << "CPU seconds during a read of at most one second";
    EXPECT_EQ(Error, GetParam().ReadError);
    Port.Close();
}

// A paused reading resumes: the data behind a flood of commands far larger
// than one read takes (so that the reading pauses several times) arrives.
TEST(HostilePeerFlood, DataBehindTheFloodArrives)
{
    TTelnetPeer Peer;
    TComPort Port;
    Port.SetPort(Peer.Url());
    WaitingReads(Port, 5000);
    Port.Open();
    std::string Flood;
    while (Flood.size() < 16 * TRfc2217Device::FloodBudget)
        Flood += Nops;
    Peer.Send(Flood + "data");
    char Buffer[4];
    ASSERT_EQ(Port.ReadBytes(Buffer, sizeof Buffer), 4);
    EXPECT_EQ(std::string(Buffer, sizeof Buffer), "data");
}

INSTANTIATE_TEST_SUITE_P(Floods, HostilePeerCpu, ::testing::ValuesIn(CpuCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
