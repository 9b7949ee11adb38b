// SPDX-License-Identifier: MIT
// A save (twelve writes, then fourteen reads compared with what was written)
// ended at every one of its 26 steps: by silence, a lost device, a stop, and
// in the read-back by a value that differs. Each ending reports exactly which
// steps the module acknowledged, which one was on the line and which were
// never sent, and the configuration fields of each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "main/protocol/port_table.h"
#include "tests/support/chain_session_fakes.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;

const TModuleConfig Wanted{0xA7, 6, {0x5A, 0x01, 0x02, 0x04, 0x08}, {0xFE, 0x10, 0x20, 0x40, 0x80}};

// The steps of the save, written out, and the fields its writes carry.
const Names SaveSteps{"W02", "W03", "W04", "W05", "W06", "W07", "W08", "W09", "W10", "W11", "W12", "W13", "R00",
                      "R01", "R02", "R03", "R04", "R05", "R06", "R07", "R08", "R09", "R10", "R11", "R12", "R13"};
const Names SaveFields{"remote_id",           "baud",
                       "direction.P0",        "direction.P1",
                       "direction.P2",        "direction.P4",
                       "direction.P5",        "power_on_default.P0",
                       "power_on_default.P1", "power_on_default.P2",
                       "power_on_default.P4", "power_on_default.P5"};
constexpr std::size_t Writes = 12;

std::string Named(const TChainStep& Step)
{
    char Text[8];
    std::snprintf(Text, sizeof Text, "%c%02d", Step.Mode == TRequestMode::Write ? 'W' : 'R', Step.Code);
    return Text;
}

Names Named(const std::vector<TChainStep>& Steps)
{
    Names Text;
    for (const TChainStep& Step : Steps)
        Text.push_back(Named(Step));
    return Text;
}

Names Slice(const Names& All, std::size_t From, std::size_t To)
{
    From = std::min(From, All.size());
    return {All.begin() + static_cast<std::ptrdiff_t>(From),
            All.begin() + static_cast<std::ptrdiff_t>(std::min(To, All.size()))};
}

// The module's reply to Step when it holds Held.
std::string ReplyTo(const TChainStep& Step, const TModuleConfig& Held)
{
    const auto Code = [&](const std::string& Data) {
        return CodeReply((Step.Code < 10 ? "0" : "") + std::to_string(Step.Code), Data) + "\r";
    };
    if (Step.Code == CodeIdentity)
        return IdentityReply("VARNOLINK I/O", "1.00a") + "\r";
    if (Step.Code == CodeStatus)
        return Code("00");
    if (Step.Code == CodeIDCode)
        return Code(HexByteToStr2(Held.RemoteId));
    if (Step.Code == CodeBaudrate)
        return Code("0" + std::to_string(Held.BaudIndex));
    const TPortSlot Slot = *PortSlotOfCode(Step.Code);
    return Code(HexByteToStr2(Held.PortByte(Slot.Grid, Slot.Row)));
}

// Every value and the identity other than what was written.
TModuleConfig Otherwise(const TModuleConfig& Config)
{
    TModuleConfig Other = Config;
    Other.RemoteId ^= 0xFF;
    Other.BaudIndex = (Config.BaudIndex + 1) % 8;
    for (int Row = 0; Row < PortRowCount; ++Row) {
        Other.Direction[static_cast<std::size_t>(Row)] ^= 0xFF;
        Other.PowerOnDefault[static_cast<std::size_t>(Row)] ^= 0xFF;
    }
    return Other;
}

enum class TEnding { NoReply, DeviceLost, Stop, Mismatch };
const char* const EndingNames[] = {"NoReply", "DeviceLost", "Stop", "Mismatch"};

struct TEndingCase {
    std::size_t Step;  // index in SaveSteps
    TEnding How;
};

std::vector<TEndingCase> EveryEnding()
{
    std::vector<TEndingCase> Cases;
    for (std::size_t Step = 0; Step < SaveSteps.size(); ++Step) {
        for (const TEnding How : {TEnding::NoReply, TEnding::DeviceLost, TEnding::Stop})
            Cases.push_back({Step, How});
        if (Step >= Writes)
            Cases.push_back({Step, TEnding::Mismatch});
    }
    return Cases;
}

class SaveEndings : public ::testing::TestWithParam<TEndingCase>, protected TSessionUnderTest {
protected:
    void Answer(const TModuleConfig& Held)
    {
        ASSERT_TRUE(Session.OnTheLine());
        Receive(ReplyTo(*Session.OnTheLine(), Held));
    }
};

TEST_P(SaveEndings, ReportWhatTheModuleHolds)
{
    const auto [At, How] = GetParam();
    Start(TChainPlan::Write(Wanted));
    for (std::size_t Step = 0; Step < At; ++Step)
        Answer(Wanted);
    ASSERT_EQ(Named(*Session.OnTheLine()), SaveSteps[At]);

    // Which steps each part should hold: [0, Acked) acknowledged, then the
    // one on the line (if any), then the rest not sent.
    std::size_t Acked = At;
    bool OnLine = true;
    TChainEnd End = TChainEnd::Stopped;
    Names Differences;
    switch (How) {
    case TEnding::NoReply:
        Pass(TChainSession::DefaultReplyWait - 1ms);
        ASSERT_TRUE(Session.Running()) << "ended before its wait";
        Pass(1ms);
        End = TChainEnd::NoReply;
        break;
    case TEnding::DeviceLost:
        Session.DeviceLost("gone");
        Settle();
        End = TChainEnd::DeviceLost;
        break;
    case TEnding::Stop:
        Session.RequestStop();
        Settle();
        ASSERT_TRUE(Session.Running()) << "the request on the line finishes first";
        Answer(Wanted);
        Acked = At + 1;
        OnLine = false;
        // After the last answer nothing is left to stop: the chain completes.
        if (Acked == SaveSteps.size())
            End = TChainEnd::Completed;
        break;
    case TEnding::Mismatch: {
        Answer(Otherwise(Wanted));
        while (Session.Running())
            Answer(Wanted);
        Acked = SaveSteps.size();
        OnLine = false;
        // The identity and the status are read, not compared.
        const int Code = std::stoi(SaveSteps[At].substr(1));
        End = Code >= CodeIDCode ? TChainEnd::Differs : TChainEnd::Completed;
        if (Code >= CodeIDCode)
            Differences = {SaveFields[static_cast<std::size_t>(Code - CodeIDCode)]};
        break;
    }
    }
    ASSERT_FALSE(Session.Running());
    const TChainResult& Got = Result();
    const std::size_t Unsent = Acked + (OnLine ? 1 : 0);
    EXPECT_EQ(Got.End, End);
    EXPECT_EQ(Named(Got.Acknowledged), Slice(SaveSteps, 0, Acked));
    EXPECT_EQ(Got.OnTheLine ? std::optional(Named(*Got.OnTheLine)) : std::nullopt,
              OnLine ? std::optional(SaveSteps[At]) : std::nullopt);
    EXPECT_EQ(Named(Got.NotSent), Slice(SaveSteps, Unsent, SaveSteps.size()));
    EXPECT_EQ(ModuleConfigFieldNames(Got.WrittenFields()), Slice(SaveFields, 0, Acked));
    EXPECT_EQ(FieldName(Got.UnconfirmedField()), OnLine && At < Writes ? std::optional(SaveFields[At]) : std::nullopt);
    EXPECT_EQ(ModuleConfigFieldNames(Got.UnsentFields()), Slice(SaveFields, Unsent, Writes));
    EXPECT_EQ(ModuleConfigFieldNames(Got.Differences), Differences);
    EXPECT_EQ(Got.Reason, How == TEnding::DeviceLost ? "gone" : "");
    EXPECT_EQ(Got.Wait, How == TEnding::NoReply ? TChainSession::DefaultReplyWait : 0ms);
    // Nothing goes out after the end, not even to a late reply.
    EXPECT_EQ(Sent.size(), Unsent);
    Receive(ReplyTo(TChainStep{CodeStatus, TRequestMode::Read}, Wanted));
    EXPECT_EQ(Sent.size(), Unsent);
    EXPECT_FALSE(Session.NextDeadline());
}

INSTANTIATE_TEST_SUITE_P(EveryStep, SaveEndings, ::testing::ValuesIn(EveryEnding()),
                         [](const ::testing::TestParamInfo<TEndingCase>& Info) {
                             return SaveSteps[Info.param.Step] + "_" + EndingNames[static_cast<int>(Info.param.How)];
                         });

}  // namespace
