// SPDX-License-Identifier: MIT
// Each fault of the simulated module has its effect on the line.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "sim/module_simulator.h"
#include "tests/sim/pty_host.h"

namespace varnolink::sim::test {
namespace {

const std::string kReadStatus = "*01:0,00=00\r\n";
const std::string kReadId = "*02:0,00=00\r\n";
const std::string kStatusReply = "*??:E01,00=00\r";
const std::string kIdReply = "*??:E02,00=01\r";

class SimulatorFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Sim = std::make_unique<TModuleSimulator>();
        Sim->Start();
        Host = std::make_unique<TPtyHost>(Sim->DevicePath());
    }

    std::unique_ptr<TModuleSimulator> Sim;
    std::unique_ptr<TPtyHost> Host;
};

TEST_F(SimulatorFaultsTest, SilentFromTheNthRequestCountedFromSetFaults) {
    EXPECT_EQ(Host->Exchange(kReadStatus), kStatusReply);
    TFaults faults;
    faults.SilentFromRequest = 2;
    Sim->SetFaults(faults);
    EXPECT_EQ(Host->Exchange(kReadStatus), kStatusReply);
    Host->Write(kReadId);
    Host->Write("*04:1,5A=00\r\n");
    ASSERT_TRUE(Sim->WaitForRequests(4, 2000ms));
    EXPECT_EQ(Host->ReadFor(200ms), "");
    const auto log = Sim->RequestLog();
    EXPECT_EQ(log[2].Outcome, TRequestOutcome::Silenced);
    EXPECT_EQ(log[3].Outcome, TRequestOutcome::Silenced);
    EXPECT_EQ(Sim->State().Directions[0], 0x5A) << "a silenced write is still stored";

    Sim->SetFaults({});
    EXPECT_EQ(Host->Exchange(kReadId), kIdReply);
}

TEST_F(SimulatorFaultsTest, SilentCodesGetNoReplyOthersDo) {
    TFaults faults;
    faults.SilentCodes = {4, 99};
    Sim->SetFaults(faults);
    Host->Write("*04:0,00=00\r\n");
    Host->Write("*99:1,00=00\r\n");
    EXPECT_EQ(Host->Exchange("*05:0,00=00\r\n"), "*??:E05,00=00\r");
    EXPECT_EQ(Host->ReadFor(100ms), "");
}

TEST_F(SimulatorFaultsTest, DelayHoldsEachReplyBack) {
    TFaults faults;
    faults.ReplyDelay = 150ms;
    Sim->SetFaults(faults);
    for (int i = 0; i < 2; ++i) {
        const auto sent = TTestClock::now();
        EXPECT_EQ(Host->Exchange(kReadStatus), kStatusReply);
        EXPECT_GE(TTestClock::now() - sent, 150ms);
    }
}

TEST_F(SimulatorFaultsTest, SplitRepliesArriveInSeparatePieces) {
    TFaults faults;
    faults.SplitPieceBytes = 4;
    faults.SplitGap = 40ms;
    Sim->SetFaults(faults);
    const auto sent = TTestClock::now();
    Host->Write(kReadId);
    const auto chunks = Host->ReadChunks(1);
    EXPECT_EQ(Joined(chunks), kIdReply);
    // 13 bytes in pieces of 4: three gaps of 40 ms.
    EXPECT_GE(chunks.back().at - sent, 120ms);
    EXPECT_GE(chunks.size(), 2u);
    EXPECT_LE(chunks.front().bytes.size(), 4u);
}

TEST_F(SimulatorFaultsTest, NoiseGoesBeforeOrAfterTheReply) {
    TFaults faults;
    faults.Noise.Text = "ab\x01";
    faults.Noise.RandomBytes = 20;
    Sim->SetFaults(faults);
    const std::string received = Host->Exchange(kReadStatus);
    ASSERT_EQ(received.size(), 3 + 20 + kStatusReply.size());
    EXPECT_EQ(received.substr(0, 3), "ab\x01");
    const std::string random = received.substr(3, 20);
    EXPECT_EQ(random.find_first_of("*\r"), std::string::npos);
    EXPECT_EQ(received.substr(23), kStatusReply);

    faults.Noise = {};
    faults.Noise.Text = "zz\n";
    faults.Noise.Placement = TNoisePlacement::AfterReply;
    Sim->SetFaults(faults);
    Host->Write(kReadId);
    EXPECT_EQ(Host->ReadLines(1, 2000ms, '\n'), kIdReply + "zz\n");
}

TEST_F(SimulatorFaultsTest, LowerCaseDataOnly) {
    TFaults faults;
    faults.LowerCaseData = true;
    Sim->SetFaults(faults);
    EXPECT_EQ(Host->Exchange("*02:1,A5=00\r\n"), "*??:E02,00=a5\r");
    EXPECT_EQ(Host->Exchange("*06:0,00=00\r\n"), "*??:E06,00=f0\r");
    EXPECT_EQ(Host->Exchange("*00:0,00=00\r\n"), "*??:E00,00=VARNOLINK I/O 1.00a\r");
}

TEST_F(SimulatorFaultsTest, MalformedLinesBeforeOrInsteadOfTheReply) {
    const std::vector<std::pair<TMalformedKind, std::string>> shapes{
        {TMalformedKind::TooShort, "*??:E02,00=0\r"},       {TMalformedKind::TooLong, "*??:E02,00=010\r"},
        {TMalformedKind::BadCheckText, "*??;E02,00=01\r"},  {TMalformedKind::BadAddress, "*01:E02,00=01\r"},
        {TMalformedKind::NonDecimalCode, "*??:E0A,00=01\r"}, {TMalformedKind::Text, "*junk\r"},
    };
    for (const auto& [kind, line] : shapes) {
        TFaults faults;
        faults.Malformed.Kind = kind;
        faults.Malformed.Text = "*junk\r";
        Sim->SetFaults(faults);
        Host->Write(kReadId);
        EXPECT_EQ(Host->ReadLines(2), line + kIdReply);

        faults.Malformed.Placement = TMalformedPlacement::InsteadOfReply;
        Sim->SetFaults(faults);
        Host->Write(kReadId);
        Host->Write(kReadId);
        EXPECT_EQ(Host->ReadLines(2), line + line);
    }
    TFaults identity;
    identity.Malformed.Kind = TMalformedKind::TooShort;
    identity.Malformed.Placement = TMalformedPlacement::InsteadOfReply;
    Sim->SetFaults(identity);
    EXPECT_EQ(Host->Exchange("*00:0,00=00\r\n"), "*??:E00,00=VARNOLINK I/O 1.00\r");
}

TEST_F(SimulatorFaultsTest, LineTimeEmulationPacesRequestAndReply) {
    TFaults faults;
    faults.LineBaud = 1200;  // 8.33 ms a character
    Sim->SetFaults(faults);
    const auto characterTime = std::chrono::nanoseconds(10'000'000'000LL / 1200);
    const auto sent = TTestClock::now();
    Host->Write(kReadId);
    const auto chunks = Host->ReadChunks(1);
    ASSERT_EQ(Joined(chunks), kIdReply);
    // The request takes 13 character times to arrive; the reply's 13 bytes
    // start after that and follow one character time apart.
    EXPECT_GE(chunks.front().at - sent, 13 * characterTime);
    EXPECT_GE(chunks.back().at - sent, (13 + 12) * characterTime);
    EXPECT_GE(chunks.size(), 4u);
}

}  // namespace
}  // namespace varnolink::sim::test
