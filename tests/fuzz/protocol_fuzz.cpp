// SPDX-License-Identifier: MIT
// Runs a chain on the chain session and feeds it arbitrary received bytes in
// arbitrary chunks on a fake clock, with now and then a stop; checks every
// event it reports and what it holds.
//
// Input layout: the first byte chooses the chunking (0: everything at once;
// n: pieces of 1..n bytes in a pseudo-random sequence seeded by n) and the
// chain (n % 5: identify, read, write, factory, none); the rest is the byte
// stream off the line. Between pieces the clock moves by up to 1.5 s, so
// chains also end without a reply.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "main/engine/chain_session.h"
#include "main/engine/wire_log.h"
#include "main/protocol/frames.h"
#include "main/protocol/hex.h"
#include "tests/fuzz/fuzz_input.h"

using namespace varnolink;
using fuzz_test::Require;

namespace {

bool SameSteps(const std::vector<TChainStep>& A, const std::vector<TChainStep>& B)
{
    return std::equal(A.begin(), A.end(), B.begin(), B.end(),
                      [](const TChainStep& X, const TChainStep& Y) { return X.Code == Y.Code && X.Mode == Y.Mode; });
}

// The values a decoded reply carries agree with its line.
void CheckReply(const TReplyDecoded& Decoded)
{
    Require(!Decoded.Raw.empty() && Decoded.Raw.back() == '\r', "decoded line without its CR");
    struct TCheck {
        void operator()(const TIdentityReply& R) const
        {
            Require(R.BiosName.size() == 13 && R.BiosVersion.size() == 5, "identity of the wrong size");
        }
        void operator()(const TStatusReply& R) const
        {
            Require(R.Data.size() == 2, "status data not two characters");
            Require((R.Status == TModuleStatus::Ready) == (R.Data == "00") &&
                        (R.Status == TModuleStatus::Error) == (R.Data == "01"),
                    "status does not match its data");
        }
        void operator()(const TIDCodeReply& R) const
        {
            Require(R.Data.size() == 2 && R.RemoteId == HexStr2ToByte(R.Data), "Remote ID is not its data");
        }
        void operator()(const TBaudrateReply& R) const
        {
            Require(R.Index >= 0 && R.Index <= 9, "baud index not a digit");
        }
        void operator()(const TPortReply& R) const
        {
            Require(IsPortRow(R.Row), "port row outside 0..4");
            Require(R.Data.size() == 2 && R.Value == HexStr2ToByte(R.Data), "port value is not its data");
        }
    };
    std::visit(TCheck{}, Decoded.Reply);
    const int Code = ReplyCode(Decoded.Reply);
    Require(Code >= CodeIdentity && Code <= CodeLastPort, "reply code outside 0..13");
}

class TFormatting final : public TWireObserver {
public:
    void OnWireEvent(const TWireEvent& Event) override
    {
        Require(!FormatWireEvent(Event).empty(), "empty wire-log line");
    }
};

TChainPlan PlanOf(unsigned Choice)
{
    switch (Choice % 5) {
    case 0:
        return TChainPlan::Identify();
    case 1:
        return TChainPlan::Read();
    case 2:
        return TChainPlan::Write({0xA7, 6, {0x5A, 0x01, 0x02, 0x04, 0x08}, {0xFE, 0x10, 0x20, 0x40, 0x80}});
    case 3:
        return TChainPlan::Factory();
    default:
        return {};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, std::size_t Size)
{
    const auto [Chunking, Stream] = fuzz_test::HeadedInput(Data, Size);

    TChainSession Session;
    TFormatting Formatting;
    TWireLog Log;
    Log.SetObserver(&Formatting);
    TSessionTime Now{};
    TChainPlan Plan = PlanOf(Chunking);
    std::vector<TChainStep> Steps = Plan.Steps;
    if (Plan.VerifyByReading)
        Steps.insert(Steps.end(), ReadChain.begin(), ReadChain.end());
    const bool Runs = !Steps.empty();
    if (Runs)
        Session.Start(std::move(Plan), Now);

    std::size_t Started = 0;
    std::size_t Ended = 0;
    std::string Written;
    std::string Frames;
    std::string Reported;  // every received byte an event carries, in order
    const auto Settle = [&] {
        Written += Session.TakeOutput();
        for (const TSessionEvent& Event : Session.TakeEvents()) {
            Log.Show(Event);
            if (const auto* Request = std::get_if<TRequestStarted>(&Event)) {
                Require(Started < Steps.size(), "more requests than steps");
                Require(Request->Step.Code == Steps[Started].Code && Request->Step.Mode == Steps[Started].Mode,
                        "request out of the plan's order");
                Require(Request->Frame == BuildRequestFrame(Request->Step.Code, Request->Step.Mode, Request->Argument),
                        "frame is not its step's");
                Frames += Request->Frame;
                ++Started;
            } else if (const auto* Decoded = std::get_if<TReplyDecoded>(&Event)) {
                CheckReply(*Decoded);
                Reported += Decoded->Raw;
            } else if (const auto* Ignored = std::get_if<TLineIgnored>(&Event)) {
                Require(!Ignored->Raw.empty() && !Ignored->Why.empty(), "ignored line without bytes or reason");
                Reported += Ignored->Raw;
            } else if (const auto* Echo = std::get_if<TEchoDropped>(&Event)) {
                Require(!Echo->Raw.empty() && Frames.find(Echo->Raw) != std::string::npos,
                        "an echo of a frame that was never sent");
                Reported += Echo->Raw;
            } else if (const auto* Dropped = std::get_if<TNoiseDropped>(&Event)) {
                Require(!Dropped->Raw.empty() && Dropped->Raw.size() <= 256, "dropped run empty or unbounded");
                Reported += Dropped->Raw;
            } else if (const auto* End = std::get_if<TChainEnded>(&Event)) {
                const TChainResult& R = End->Result;
                std::vector<TChainStep> Parts = R.Acknowledged;
                if (R.OnTheLine)
                    Parts.push_back(*R.OnTheLine);
                Parts.insert(Parts.end(), R.NotSent.begin(), R.NotSent.end());
                Require(SameSteps(Parts, Steps), "acknowledged, on the line and not sent do not partition the plan");
                Require(Started == R.Acknowledged.size() + (R.OnTheLine ? 1 : 0),
                        "sent is not acknowledged + on the line");
                Require((R.End == TChainEnd::NoReply) == (R.OnTheLine && R.Wait.count() > 0),
                        "no reply without its step");
                Require(R.End != TChainEnd::Completed || R.NotSent.empty(), "completed with steps not sent");
                Require(R.End != TChainEnd::Differs || !R.Differences.empty(), "differs without a difference");
                ++Ended;
            }
        }
        Require(Written == Frames, "output is not the frames of the requests started");
        Require(Session.PacketBuffer().size() <= TReplyAssembler::LineLimit, "PacketBuffer outgrew its limit");
        Require(Session.ReplyReceived() <= 1, "ReplyReceived not 0 or 1");
        Require(!Session.Running() || Session.NextDeadline(), "a running chain without a deadline");
    };
    Settle();

    uint32_t Random = Chunking * 2654435761u + 1;
    for (std::size_t Offset = 0; Offset < Stream.size();) {
        std::size_t Chunk = Stream.size() - Offset;
        if (Chunking != 0) {
            Random = Random * 1664525u + 1013904223u;
            Chunk = std::min<std::size_t>(Chunk, 1 + (Random >> 16) % Chunking);
        }
        Session.BytesReceived(Stream.substr(Offset, Chunk), Now);
        Offset += Chunk;
        Settle();
        Now += std::chrono::milliseconds((Random >> 4) % 1500);
        Session.TimePassed(Now);
        if ((Random >> 24) == 0x5A)
            Session.RequestStop();
        Settle();
    }
    Session.TimePassed(Now + std::chrono::hours(1));
    Settle();
    Require(!Session.Running(), "a chain outlived every deadline");
    Require(Ended == (Runs ? 1u : 0u), "not one end per chain");

    // Every received byte is reported once, in order, except an LF right
    // after a CR and what is still being collected (no CR, under 256 bytes).
    std::string Kept;
    for (std::size_t I = 0; I < Stream.size(); ++I)
        if (!(Stream[I] == '\n' && I > 0 && Stream[I - 1] == '\r'))
            Kept += Stream[I];
    Require(Kept.compare(0, Reported.size(), Reported) == 0, "reported bytes are not the received ones");
    const std::string_view Pending = std::string_view(Kept).substr(std::min(Reported.size(), Kept.size()));
    Require(Pending.size() < 256 && Pending.find('\r') == std::string_view::npos, "received bytes went unreported");
    return 0;
}
