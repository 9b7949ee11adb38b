// SPDX-License-Identifier: MIT
#include "main/protocol/transaction_chains.h"

#include <stdexcept>

#include "main/protocol/device_protocol.h"
#include "main/protocol/hex.h"

TChainValues::~TChainValues() = default;
TChainDriver::~TChainDriver() = default;

std::string TConfigChainValues::RemoteIDText() const
{
    return HexByteToStr2(Config_.RemoteId);
}

namespace {

void BuildRead(TDeviceProtocol& Protocol, int Code)
{
    switch (Code) {
    case CodeIdentity:
        Protocol.ReadBIOSVersion();
        return;
    case CodeStatus:
        Protocol.ReadStatus();
        return;
    case CodeIDCode:
        Protocol.ReadIDCode();
        return;
    case CodeBaudrate:
        Protocol.ReadBaudrate();
        return;
    default:
        if (const std::optional<TPortSlot> Slot = PortSlotOfCode(Code)) {
            Protocol.ReadPort(Slot->Grid, Slot->Row);
            return;
        }
    }
    throw std::invalid_argument("no read request has the code " + std::to_string(Code));
}

void BuildWrite(TDeviceProtocol& Protocol, int Code, const TChainValues& Values)
{
    switch (Code) {
    case CodeIDCode:
        Protocol.SaveIDCode(Values.RemoteIDText());
        return;
    case CodeBaudrate:
        Protocol.SaveBaudrate(Values.BaudIndex());
        return;
    case CodeSetupToDefault:
        Protocol.Save_Setup_to_Default();
        return;
    default:
        if (const std::optional<TPortSlot> Slot = PortSlotOfCode(Code)) {
            Protocol.SavePort(Slot->Grid, Slot->Row, Values.PortByte(Slot->Grid, Slot->Row));
            return;
        }
    }
    throw std::invalid_argument("no write request has the code " + std::to_string(Code));
}

std::string SettingName(int Code)
{
    switch (Code) {
    case CodeIdentity:
        return "identity";
    case CodeStatus:
        return "status";
    case CodeIDCode:
        return "Remote ID";
    case CodeBaudrate:
        return "baud rate";
    case CodeSetupToDefault:
        return "setup as default";
    default:
        if (const std::optional<TPortSlot> Slot = PortSlotOfCode(Code))
            return PortRowName(Slot->Row) + (Slot->Grid == TPortGrid::Direction ? " direction" : " power-on default");
        return "code " + std::to_string(Code);
    }
}

}  // namespace

void BuildChainRequest(TDeviceProtocol& Protocol, const TChainStep& Step, const TChainValues& Values)
{
    if (Step.Mode == TRequestMode::Read)
        BuildRead(Protocol, Step.Code);
    else
        BuildWrite(Protocol, Step.Code, Values);
}

std::string DescribeRequest(int Code, TRequestMode Mode)
{
    return (Mode == TRequestMode::Read ? "read " : "write ") + SettingName(Code);
}

std::string DescribeStep(const TChainStep& Step)
{
    return DescribeRequest(Step.Code, Step.Mode);
}

TChainOutcome RunChain(std::span<const TChainStep> Steps, TChainDriver& Driver)
{
    TChainOutcome Outcome;
    for (const TChainStep& Step : Steps) {
        if (!Driver.MayGoOn()) {
            Outcome.End = TChainEnd::Stopped;
            return Outcome;
        }
        Driver.SendStep(Step);
        if (!Driver.WaitForReply()) {
            Outcome.End = TChainEnd::NoReply;
            return Outcome;
        }
        ++Outcome.StepsAnswered;
    }
    return Outcome;
}
