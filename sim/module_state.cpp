// SPDX-License-Identifier: MIT
#include "sim/module_state.h"

#include <stdexcept>

namespace varnolink::sim {

namespace {

void ValidateReplyText(const std::string& Text, std::size_t Length, const char* What)
{
    if (Text.size() != Length) {
        throw std::invalid_argument(std::string(What) + " must have exactly " + std::to_string(Length) +
                                    " characters, got \"" + Text + "\"");
    }
    for (char C : Text) {
        const auto Byte = static_cast<unsigned char>(C);
        // "*" would start a new reply line at the host; control characters
        // would end or disturb it.
        if (Byte < 0x20 || Byte >= 0x7F || C == '*') {
            throw std::invalid_argument(std::string(What) + " holds a character that cannot be sent in a reply line");
        }
    }
}

}  // namespace

void TModuleState::RestoreFactorySettings()
{
    const TModuleState FactoryState = Factory();
    RemoteId = FactoryState.RemoteId;
    BaudIndex = FactoryState.BaudIndex;
    Directions = FactoryState.Directions;
    Defaults = FactoryState.Defaults;
}

std::uint8_t& TModuleState::PortByte(int Code)
{
    if (Code >= CodeFirstDirection && Code < CodeFirstDefault) {
        return Directions[static_cast<std::size_t>(Code - CodeFirstDirection)];
    }
    if (Code >= CodeFirstDefault && Code <= CodeLastPort) {
        return Defaults[static_cast<std::size_t>(Code - CodeFirstDefault)];
    }
    throw std::out_of_range("not a port code: " + std::to_string(Code));
}

std::uint8_t TModuleState::PortByte(int Code) const
{
    return const_cast<TModuleState&>(*this).PortByte(Code);
}

void TModuleState::Validate() const
{
    if (BaudIndex < 0 || BaudIndex > 7) {
        throw std::invalid_argument("baud index must be 0..7, got " + std::to_string(BaudIndex));
    }
    ValidateReplyText(BiosName, BiosNameLength, "BIOS name");
    ValidateReplyText(BiosVersion, BiosVersionLength, "BIOS version");
}

}  // namespace varnolink::sim
