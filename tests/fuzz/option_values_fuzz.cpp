// SPDX-License-Identifier: MIT
// Feeds arbitrary text to the parsers of values an operator types: the list
// of Remote IDs, the RS-485 choice and a network port's address. Each must
// refuse with its own error type only, and what it accepts, written in its
// plain form and parsed again, must come back the same.
//
// Input: the first byte picks the parser (0: ID list, 1: RS-485 choice,
// 2: network address, by its value modulo 3), the rest is the text.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cport/comport.h"
#include "cport/net_address.h"
#include "main/engine/rs485_choice.h"
#include "main/files/id_list.h"
#include "tests/fuzz/fuzz_input.h"

using namespace varnolink;
using fuzz_test::Require;

namespace {

void CheckIdList(std::string_view Text)
{
    const auto Accepted = fuzz_test::Accepted<EIDList>([Text] { return ParseIDList(Text); });
    if (!Accepted)
        return;
    const std::vector<uint8_t>& IDs = *Accepted;
    Require(!IDs.empty() && IDs.size() <= 256, "an accepted list with no ID or more IDs than there are");
    // Each ID alone, in the order given: the same list again.
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string Plain;
    for (const uint8_t ID : IDs)
        Plain += std::string(Plain.empty() ? "" : ",") + Hex[ID >> 4] + Hex[ID & 15];
    const auto Again = fuzz_test::Accepted<EIDList>([&Plain] { return ParseIDList(Plain); });
    Require(Again.has_value(), "the plain form of an accepted list is refused (an ID twice?)");
    Require(*Again == IDs, "the plain form of a list reads back differently");
}

std::string PlainText(const TRs485Choice& Choice)
{
    std::string Text;
    const auto Add = [&Text](const std::string& Item) { Text += (Text.empty() ? "" : ",") + Item; };
    if (Choice.RtsOnSend)
        Add("rts-on-send");
    if (Choice.RtsAfterSend)
        Add("rts-after-send");
    Add("delay-before=" + std::to_string(Choice.DelayBeforeSendMs));
    Add("delay-after=" + std::to_string(Choice.DelayAfterSendMs));
    if (Choice.RxDuringTx)
        Add("rx-during-tx");
    return Text;
}

void CheckRs485(std::string_view Text)
{
    const auto Accepted = fuzz_test::Accepted<std::invalid_argument>([Text] { return ParseRs485Choice(Text); });
    if (!Accepted)
        return;
    const TRs485Choice& Choice = *Accepted;
    Require(Choice.RtsOnSend || Choice.RtsAfterSend, "accepted without an RTS level");
    Require(Choice.DelayBeforeSendMs >= 0 && Choice.DelayAfterSendMs >= 0, "a negative delay");
    const auto Again =
        fuzz_test::Accepted<std::invalid_argument>([&Choice] { return ParseRs485Choice(PlainText(Choice)); });
    Require(Again.has_value(), "the plain form of an accepted choice is refused");
    Require(*Again == Choice, "the plain form of a choice reads back differently");
}

void CheckNetAddress(const std::string& Text)
{
    const std::optional<cport::TNetAddress> Address = cport::NetAddressOf(Text);
    const cport::TPortNameKind Kind = cport::PortNameKind(Text);
    if (!Address) {
        Require(Kind == cport::TPortNameKind::pnDevice, "no address, yet not a device name");
        return;
    }
    Require(Address->Host.size() + Address->Port.size() <= Text.size(), "more address than text");
    if (!Address->Valid) {
        Require(Kind == cport::TPortNameKind::pnMalformedNetwork, "a malformed address not named so");
        return;
    }
    Require(Kind == cport::TPortNameKind::pnNetwork, "a valid address not named a network port");
    const std::string Scheme = Address->Kind == cport::TNetKind::nkRaw ? "socket://" : "rfc2217://";
    const std::optional<cport::TNetAddress> Again = cport::NetAddressOf(Scheme + Address->Endpoint());
    Require(Again && Again->Valid && Again->Kind == Address->Kind && Again->Host == Address->Host &&
                Again->Port == Address->Port,
            "an address written as scheme and endpoint reads back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const auto [Parser, Text] = fuzz_test::HeadedInput(Data, Size);
    switch (Parser % 3) {
    case 0:
        CheckIdList(Text);
        break;
    case 1:
        CheckRs485(Text);
        break;
    default:
        CheckNetAddress(std::string(Text));
        break;
    }
    return 0;
}
