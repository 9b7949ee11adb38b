// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "main/protocol/command_codes.h"
#include "main/protocol/frames.h"
#include "main/protocol/module_config.h"
#include "main/protocol/port_table.h"

namespace varnolink {

// The configuration transactions as tables of request steps. The chain
// session (main/engine/chain_session.h) runs them, one request at a time,
// for the window, the command line and commissioning alike.
struct TChainStep {
    int Code;
    TRequestMode Mode;
};

namespace chain_detail {

constexpr TChainStep Read(int Code)
{
    return {Code, TRequestMode::Read};
}

constexpr TChainStep Write(int Code)
{
    return {Code, TRequestMode::Write};
}

}  // namespace chain_detail

// The module's BIOS name and version, as a check that a module answers.
inline constexpr std::array<TChainStep, 1> IdentityChain{chain_detail::Read(CodeIdentity)};

// Everything the module holds: identity, status, Remote ID, baud rate, then
// the port directions and the power-on defaults, P0 to P5 each.
inline constexpr std::array<TChainStep, 14> ReadChain{
    chain_detail::Read(0),  chain_detail::Read(1),  chain_detail::Read(2),  chain_detail::Read(3),
    chain_detail::Read(4),  chain_detail::Read(5),  chain_detail::Read(6),  chain_detail::Read(7),
    chain_detail::Read(8),  chain_detail::Read(9),  chain_detail::Read(10), chain_detail::Read(11),
    chain_detail::Read(12), chain_detail::Read(13),
};

// The twelve writable settings in the same order as they are read.
inline constexpr std::array<TChainStep, 12> SaveChain{
    chain_detail::Write(2),  chain_detail::Write(3),  chain_detail::Write(4),  chain_detail::Write(5),
    chain_detail::Write(6),  chain_detail::Write(7),  chain_detail::Write(8),  chain_detail::Write(9),
    chain_detail::Write(10), chain_detail::Write(11), chain_detail::Write(12), chain_detail::Write(13),
};

// Identity and status first, then the twelve writes (with the factory
// values as the values, see FactoryModuleConfig).
inline constexpr std::array<TChainStep, 14> FactoryChain{
    chain_detail::Read(0),   chain_detail::Read(1),   chain_detail::Write(2),  chain_detail::Write(3),
    chain_detail::Write(4),  chain_detail::Write(5),  chain_detail::Write(6),  chain_detail::Write(7),
    chain_detail::Write(8),  chain_detail::Write(9),  chain_detail::Write(10), chain_detail::Write(11),
    chain_detail::Write(12), chain_detail::Write(13),
};

// Where a write takes its value from. Asked when its request is built, not
// before: the window answers from its fields as they are at that moment.
class TChainValues {
public:
    virtual ~TChainValues();
    virtual std::string RemoteIDText() const = 0;  // sent as it is
    virtual int BaudIndex() const = 0;
    virtual uint8_t PortByte(TPortGrid Grid, int Row) const = 0;
};

// The values of a configuration.
class TConfigChainValues final : public TChainValues {
public:
    explicit TConfigChainValues(const TModuleConfig& Config) : Config_(Config) {}
    std::string RemoteIDText() const override;
    int BaudIndex() const override { return Config_.BaudIndex; }
    uint8_t PortByte(TPortGrid Grid, int Row) const override { return Config_.PortByte(Grid, Row); }

private:
    TModuleConfig Config_;
};

// The argument of a step's request ("00" for every read), taking a write's
// value from Values, and the whole frame.
std::string StepArgument(const TChainStep& Step, const TChainValues& Values);
std::string BuildStepFrame(const TChainStep& Step, const TChainValues& Values);

// What a request does, in words: "read identity", "read P2 direction",
// "write Remote ID", "write baud rate".
std::string DescribeRequest(int Code, TRequestMode Mode);
std::string DescribeStep(const TChainStep& Step);

// The configuration field a request with Code reads or writes; empty for
// the identity, the status and code 99.
std::optional<TConfigField> ConfigFieldOfCode(int Code);

}  // namespace varnolink
