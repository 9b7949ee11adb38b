// SPDX-License-Identifier: MIT
// The request frames and descriptions of chain steps, and the setting
// each request code stands for.
#include "main/protocol/transaction_chains.h"

#include <stdexcept>

#include "main/protocol/frames.h"
#include "main/protocol/hex.h"

namespace varnolink {

TChainValues::~TChainValues() = default;

std::string TConfigChainValues::RemoteIDText() const
{
    return HexByteToStr2(Config_.RemoteId);
}

namespace {

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

std::string StepArgument(const TChainStep& Step, const TChainValues& Values)
{
    if (Step.Mode == TRequestMode::Read) {
        if (Step.Code < CodeIdentity || Step.Code > CodeLastPort)
            throw std::invalid_argument("no read request has the code " + std::to_string(Step.Code));
        return std::string(NoArgument);
    }
    switch (Step.Code) {
    case CodeIDCode:
        return Values.RemoteIDText();  // sent as it is, any length
    case CodeBaudrate:
        return BaudrateArgument(Values.BaudIndex());
    case CodeSetupToDefault:
        return std::string(NoArgument);
    default:
        if (const std::optional<TPortSlot> Slot = PortSlotOfCode(Step.Code))
            return PortByteArgument(Values.PortByte(Slot->Grid, Slot->Row));
    }
    throw std::invalid_argument("no write request has the code " + std::to_string(Step.Code));
}

std::string BuildStepFrame(const TChainStep& Step, const TChainValues& Values)
{
    return BuildRequestFrame(Step.Code, Step.Mode, StepArgument(Step, Values));
}

std::string DescribeRequest(int Code, TRequestMode Mode)
{
    return (Mode == TRequestMode::Read ? "read " : "write ") + SettingName(Code);
}

std::string DescribeStep(const TChainStep& Step)
{
    return DescribeRequest(Step.Code, Step.Mode);
}

std::optional<TConfigField> ConfigFieldOfCode(int Code)
{
    if (Code == CodeIDCode)
        return RemoteIdField;
    if (Code == CodeBaudrate)
        return BaudField;
    if (const std::optional<TPortSlot> Slot = PortSlotOfCode(Code))
        return PortField(Slot->Grid, Slot->Row);
    return std::nullopt;
}

}  // namespace varnolink
