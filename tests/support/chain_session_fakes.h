// SPDX-License-Identifier: MIT
#pragma once

// What the protocol and engine suites share: reply lines written out, a decoded reply
// in words, and a chain session on a clock that moves only when told, whose
// events are collected and shown to a wire log.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "main/engine/chain_session.h"
#include "main/engine/wire_log.h"
#include "main/protocol/hex.h"

using namespace varnolink;

// A 13-character reply: "*??:E" code "," "xx" "=" data.
inline std::string CodeReply(std::string_view Code, std::string_view Data, std::string_view Ignored = "00")
{
    if (Code.size() + Data.size() + Ignored.size() != 6)
        throw std::logic_error("not a 13-character reply");
    return "*??:E" + std::string(Code) + "," + std::string(Ignored) + "=" + std::string(Data);
}

// A 30-character identity reply with a 13-character name and 5-character version.
inline std::string IdentityReply(std::string_view Name, std::string_view Version, char Separator = ' ')
{
    if (Name.size() != 13 || Version.size() != 5)
        throw std::logic_error("not a 30-character identity reply");
    return "*??:E00,00=" + std::string(Name) + Separator + std::string(Version);
}

// A decoded reply with every value it carries: "name=... version=...",
// "status 01 Error", "id a5 (A5)", "baud 3", "DIR0 e1 (E1)" (data as it came,
// then the byte it stands for).
inline std::string Summary(const TDecodedReply& Reply)
{
    struct TWords {
        std::string operator()(const TIdentityReply& R) const
        {
            return "name=" + R.BiosName + " version=" + R.BiosVersion;
        }
        std::string operator()(const TStatusReply& R) const
        {
            const char* Status[] = {"Ready", "Error", "Other"};
            return "status " + R.Data + " " + Status[static_cast<int>(R.Status)];
        }
        std::string operator()(const TIDCodeReply& R) const
        {
            return "id " + R.Data + " (" + HexByteToStr2(R.RemoteId) + ")";
        }
        std::string operator()(const TBaudrateReply& R) const { return "baud " + std::to_string(R.Index); }
        std::string operator()(const TPortReply& R) const
        {
            return (R.Grid == TPortGrid::Direction ? "DIR" : "DEF") + std::to_string(R.Row) + " " + R.Data + " (" +
                   HexByteToStr2(R.Value) + ")";
        }
    };
    return std::visit(TWords{}, Reply);
}

// Keeps the wire log's lines without their time stamps.
class TRecordingObserver final : public TWireObserver {
public:
    void OnWireEvent(const TWireEvent& Event) override { Lines.push_back(FormatWireEvent(Event).substr(14)); }
    std::vector<std::string> Lines;  // "<  *??:E06,00=0F<CR>  read P2 direction → 0F"
};

// A continuous session on a fake clock, its output and events collected.
struct TSessionUnderTest {
    TSessionUnderTest() { Wire.SetObserver(&WireLines); }

    void Start(TChainPlan Plan)
    {
        Session.Start(std::move(Plan), Now);
        Settle();
    }
    void Receive(std::string_view Bytes)
    {
        Session.BytesReceived(Bytes, Now);
        Settle();
    }
    void Pass(std::chrono::milliseconds Time)
    {
        Now += Time;
        Session.TimePassed(Now);
        Settle();
    }
    // Takes what the session has to send and its events.
    void Settle()
    {
        const std::string Output = Session.TakeOutput();
        if (!Output.empty())
            Sent.push_back(Output);
        for (TSessionEvent& Event : Session.TakeEvents()) {
            Wire.Show(Event);
            Events.push_back(std::move(Event));
        }
    }

    // The received side in words: each decoded reply (Summary), each line
    // ignored and each run of bytes dropped, with its raw bytes and why.
    std::vector<std::string> Heard() const
    {
        std::vector<std::string> Words;
        for (const TSessionEvent& Event : Events) {
            if (const auto* Decoded = std::get_if<TReplyDecoded>(&Event))
                Words.push_back(Summary(Decoded->Reply));
            else if (const auto* Ignored = std::get_if<TLineIgnored>(&Event))
                Words.push_back("ignored " + VisibleText(Ignored->Raw) + ": " + Ignored->Why);
            else if (const auto* Dropped = std::get_if<TNoiseDropped>(&Event))
                Words.push_back("dropped " + VisibleText(Dropped->Raw) + ": " + Dropped->Why);
        }
        return Words;
    }

    // How the last chain ended; fails the test when none has.
    const TChainResult& Result() const
    {
        for (auto Event = Events.rbegin(); Event != Events.rend(); ++Event)
            if (const auto* Ended = std::get_if<TChainEnded>(&*Event))
                return Ended->Result;
        throw std::logic_error("no chain has ended");
    }

    TSessionTime Now{};
    TChainSession Session;
    std::vector<std::string> Sent;  // each request frame, in order
    std::vector<TSessionEvent> Events;
    TRecordingObserver WireLines;
    TWireLog Wire;
};

// A field that may be absent, by name.
inline std::optional<std::string> FieldName(const std::optional<TConfigField>& Field)
{
    return Field ? std::optional(ModuleConfigFieldName(*Field)) : std::nullopt;
}

// A plan of single steps and the values their writes carry.
inline TChainPlan StepsPlan(std::vector<TChainStep> Steps, const TModuleConfig& Values = {})
{
    return {std::move(Steps), Values, nullptr, false, {}, {}};
}
