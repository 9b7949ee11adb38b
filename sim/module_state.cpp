// SPDX-License-Identifier: MIT
#include "sim/module_state.h"

#include <stdexcept>

namespace varnolink::sim {

namespace {

void ValidateReplyText(const std::string& text, std::size_t length, const char* what) {
    if (text.size() != length) {
        throw std::invalid_argument(std::string(what) + " must have exactly " +
                                    std::to_string(length) + " characters, got \"" + text + "\"");
    }
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // "*" would start a new reply line at the host; control characters
        // would end or disturb it.
        if (byte < 0x20 || byte >= 0x7F || c == '*') {
            throw std::invalid_argument(std::string(what) + " holds a character that cannot be sent in a reply line");
        }
    }
}

}  // namespace

void ModuleState::RestoreFactorySettings() {
    const ModuleState factory = Factory();
    remoteId = factory.remoteId;
    baudIndex = factory.baudIndex;
    directions = factory.directions;
    defaults = factory.defaults;
}

std::uint8_t& ModuleState::PortByte(int code) {
    if (code >= kCodeFirstDirection && code < kCodeFirstDefault) {
        return directions[static_cast<std::size_t>(code - kCodeFirstDirection)];
    }
    if (code >= kCodeFirstDefault && code <= kCodeLastPort) {
        return defaults[static_cast<std::size_t>(code - kCodeFirstDefault)];
    }
    throw std::out_of_range("not a port code: " + std::to_string(code));
}

std::uint8_t ModuleState::PortByte(int code) const {
    return const_cast<ModuleState&>(*this).PortByte(code);
}

void ModuleState::Validate() const {
    if (baudIndex < 0 || baudIndex > 7) {
        throw std::invalid_argument("baud index must be 0..7, got " + std::to_string(baudIndex));
    }
    ValidateReplyText(biosName, kBiosNameLength, "BIOS name");
    ValidateReplyText(biosVersion, kBiosVersionLength, "BIOS version");
}

}  // namespace varnolink::sim
