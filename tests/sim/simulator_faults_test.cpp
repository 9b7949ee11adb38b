// SPDX-License-Identifier: MIT
// Each fault of the simulated module has its effect on the line.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"

namespace varnolink::sim::test {
namespace {

const std::string ReadStatus = "*01:0,00=00\r\n";
const std::string ReadId = "*02:0,00=00\r\n";
const std::string StatusReply = "*??:E01,00=00\r";
const std::string IdReply = "*??:E02,00=01\r";

class SimulatorFaultsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sim_ = std::make_unique<TModuleSimulator>();
        Sim_->Start();
        Host_ = std::make_unique<TPtyHost>(Sim_->DevicePath());
    }

    std::unique_ptr<TModuleSimulator> Sim_;
    std::unique_ptr<TPtyHost> Host_;
};

TEST_F(SimulatorFaultsTest, SilentFromTheNthRequestCountedFromSetFaults)
{
    EXPECT_EQ(Host_->Exchange(ReadStatus), StatusReply);
    TFaults Faults;
    Faults.SilentFromRequest = 2;
    Sim_->SetFaults(Faults);
    EXPECT_EQ(Host_->Exchange(ReadStatus), StatusReply);
    Host_->Write(ReadId);
    Host_->Write("*04:1,5A=00\r\n");
    ASSERT_TRUE(Sim_->WaitForRequests(4, 2000ms));
    EXPECT_EQ(Host_->ReadFor(200ms), "");
    const auto Log = Sim_->RequestLog();
    EXPECT_EQ(Log[2].Outcome, TRequestOutcome::Silenced);
    EXPECT_EQ(Log[3].Outcome, TRequestOutcome::Silenced);
    EXPECT_EQ(Sim_->State().Directions[0], 0x5A) << "a silenced write is still stored";

    Sim_->SetFaults({});
    EXPECT_EQ(Host_->Exchange(ReadId), IdReply);
}

TEST_F(SimulatorFaultsTest, SilentCodesGetNoReplyOthersDo)
{
    TFaults Faults;
    Faults.SilentCodes = {4, 99};
    Sim_->SetFaults(Faults);
    Host_->Write("*04:0,00=00\r\n");
    Host_->Write("*99:1,00=00\r\n");
    EXPECT_EQ(Host_->Exchange("*05:0,00=00\r\n"), "*??:E05,00=00\r");
    EXPECT_EQ(Host_->ReadFor(100ms), "");
}

TEST_F(SimulatorFaultsTest, UnstoredWritesAreAnsweredButTheOldValueStays)
{
    TFaults Faults;
    Faults.UnstoredCodes = {4};
    Sim_->SetFaults(Faults);
    EXPECT_EQ(Host_->Exchange("*04:1,5A=00\r\n"), "*??:E04,00=5A\r");
    EXPECT_EQ(Host_->Exchange("*04:0,00=00\r\n"), "*??:E04,00=00\r");
    EXPECT_EQ(Host_->Exchange("*05:1,A5=00\r\n"), "*??:E05,00=A5\r");
    EXPECT_EQ(Sim_->State().Directions[1], 0xA5) << "writes to other codes are kept";
}

TEST_F(SimulatorFaultsTest, DelayHoldsEachReplyBack)
{
    TFaults Faults;
    Faults.ReplyDelay = 150ms;
    Sim_->SetFaults(Faults);
    for (int I = 0; I < 2; ++I) {
        const auto Sent = TTestClock::now();
        EXPECT_EQ(Host_->Exchange(ReadStatus), StatusReply);
        EXPECT_GE(TTestClock::now() - Sent, 150ms);
    }
}

TEST_F(SimulatorFaultsTest, SplitRepliesArriveInSeparatePieces)
{
    TFaults Faults;
    Faults.SplitPieceBytes = 4;
    Faults.SplitGap = 40ms;
    Sim_->SetFaults(Faults);
    const auto Sent = TTestClock::now();
    Host_->Write(ReadId);
    const auto Chunks = Host_->ReadChunks(1);
    EXPECT_EQ(Joined(Chunks), IdReply);
    // 13 bytes in pieces of 4: three gaps of 40 ms.
    EXPECT_GE(Chunks.back().At - Sent, 120ms);
    EXPECT_GE(Chunks.size(), 2u);
    EXPECT_LE(Chunks.front().Bytes.size(), 4u);
}

TEST_F(SimulatorFaultsTest, NoiseGoesBeforeOrAfterTheReply)
{
    TFaults Faults;
    Faults.Noise.Text = "ab\x01";
    Faults.Noise.RandomBytes = 20;
    Sim_->SetFaults(Faults);
    const std::string Received = Host_->Exchange(ReadStatus);
    ASSERT_EQ(Received.size(), 3 + 20 + StatusReply.size());
    EXPECT_EQ(Received.substr(0, 3), "ab\x01");
    const std::string Random = Received.substr(3, 20);
    EXPECT_EQ(Random.find_first_of("*\r"), std::string::npos);
    EXPECT_EQ(Received.substr(23), StatusReply);

    Faults.Noise = {};
    Faults.Noise.Text = "zz\n";
    Faults.Noise.Placement = TNoisePlacement::AfterReply;
    Sim_->SetFaults(Faults);
    Host_->Write(ReadId);
    EXPECT_EQ(Host_->ReadLines(1, 2000ms, '\n'), IdReply + "zz\n");
}

TEST_F(SimulatorFaultsTest, LowerCaseDataOnly)
{
    TFaults Faults;
    Faults.LowerCaseData = true;
    Sim_->SetFaults(Faults);
    EXPECT_EQ(Host_->Exchange("*02:1,A5=00\r\n"), "*??:E02,00=a5\r");
    EXPECT_EQ(Host_->Exchange("*06:0,00=00\r\n"), "*??:E06,00=f0\r");
    EXPECT_EQ(Host_->Exchange("*00:0,00=00\r\n"), "*??:E00,00=VARNOLINK I/O 1.00a\r");
}

TEST_F(SimulatorFaultsTest, MalformedLinesBeforeOrInsteadOfTheReply)
{
    const std::vector<std::pair<TMalformedKind, std::string>> Shapes{
        {TMalformedKind::TooShort, "*??:E02,00=0\r"},        {TMalformedKind::TooLong, "*??:E02,00=010\r"},
        {TMalformedKind::BadCheckText, "*??;E02,00=01\r"},   {TMalformedKind::BadAddress, "*01:E02,00=01\r"},
        {TMalformedKind::NonDecimalCode, "*??:E0A,00=01\r"}, {TMalformedKind::Text, "*junk\r"},
    };
    for (const auto& [kind, line] : Shapes) {
        TFaults Faults;
        Faults.Malformed.Kind = kind;
        Faults.Malformed.Text = "*junk\r";
        Sim_->SetFaults(Faults);
        Host_->Write(ReadId);
        EXPECT_EQ(Host_->ReadLines(2), line + IdReply);

        Faults.Malformed.Placement = TMalformedPlacement::InsteadOfReply;
        Sim_->SetFaults(Faults);
        Host_->Write(ReadId);
        Host_->Write(ReadId);
        EXPECT_EQ(Host_->ReadLines(2), line + line);
    }
    TFaults Identity;
    Identity.Malformed.Kind = TMalformedKind::TooShort;
    Identity.Malformed.Placement = TMalformedPlacement::InsteadOfReply;
    Sim_->SetFaults(Identity);
    EXPECT_EQ(Host_->Exchange("*00:0,00=00\r\n"), "*??:E00,00=VARNOLINK I/O 1.00\r");
}

TEST_F(SimulatorFaultsTest, LineTimeEmulationPacesRequestAndReply)
{
    // A slow line: the reply's bytes come 67 ms apart, so even a reader that
    // a loaded machine holds up now and then sees them in several pieces.
    constexpr unsigned Baud = 150;
    TFaults Faults;
    Faults.LineBaud = Baud;
    Sim_->SetFaults(Faults);
    const auto CharacterTime = std::chrono::nanoseconds(10'000'000'000LL / Baud);
    const auto Sent = TTestClock::now();
    Host_->Write(ReadId);
    const auto Chunks = Host_->ReadChunks(1, 10s);
    ASSERT_EQ(Joined(Chunks), IdReply);
    // The request takes 13 character times to arrive; the reply's 13 bytes
    // start after that and follow one character time apart.
    EXPECT_GE(Chunks.front().At - Sent, 13 * CharacterTime);
    EXPECT_GE(Chunks.back().At - Sent, (13 + 12) * CharacterTime);
    EXPECT_GE(Chunks.size(), 4u);
}

TEST_F(SimulatorFaultsTest, EchoSendsEveryByteBackAheadOfTheReply)
{
    TFaults Faults;
    Faults.Echo = true;
    Sim_->SetFaults(Faults);
    // Bytes outside a frame are echoed too.
    Host_->Write("xy" + ReadId);
    EXPECT_EQ(Host_->ReadLines(2), "xy" + ReadId + IdReply);

    // A request's echo does not wait behind a reply that is held back.
    Faults.ReplyDelay = 10s;
    Sim_->SetFaults(Faults);
    Host_->Write(ReadStatus);
    EXPECT_EQ(Host_->ReadLines(1, 2000ms, '\n'), ReadStatus);
    Host_->Write(ReadId);
    EXPECT_EQ(Host_->ReadLines(1, 2000ms, '\n'), ReadId);
}

TEST_F(SimulatorFaultsTest, TwinRepliesFollowOrInterleave)
{
    const std::string TwinIdReply = "*??:E02,00=02\r";
    TFaults Faults;
    Faults.Twin = true;
    Sim_->SetFaults(Faults);
    Host_->Write(ReadId);
    EXPECT_EQ(Host_->ReadLines(2), IdReply + TwinIdReply);
    Host_->Write(ReadStatus);
    EXPECT_EQ(Host_->ReadLines(2), StatusReply + StatusReply);
    Host_->Write("*02:1,FF=00\r\n");
    EXPECT_EQ(Host_->ReadLines(2), "*??:E02,00=FF\r*??:E02,00=FF\r");
    Host_->Write(ReadId);
    EXPECT_EQ(Host_->ReadLines(2), "*??:E02,00=FF\r*??:E02,00=00\r");

    Faults.TwinOverlap = true;
    Faults.Malformed.Kind = TMalformedKind::Text;
    Faults.Malformed.Text = "ab";
    Sim_->SetFaults(Faults);
    Sim_->SetState({});
    // The module's "ab" and reply line, and the twin's line, a byte of each in turn.
    Host_->Write(ReadId);
    EXPECT_EQ(Host_->ReadLines(2), "a*b?*??:?E:0E20,20,00=00=20\r1\r");
}

}  // namespace
}  // namespace varnolink::sim::test
