// SPDX-License-Identifier: MIT
// The errors of a conversation with a module, made from the way a chain
// ended.
#include "main/engine/module_errors.h"

#include <cerrno>

#include "main/protocol/baud_table.h"

namespace varnolink {

EModuleNoReply::EModuleNoReply(TChainResult Chain)
    : EModuleConnection("no reply to " + DescribeStep(*Chain.OnTheLine) + " within " +
                            std::to_string(Chain.Wait.count()) + " ms",
                        std::move(Chain))
{}

EModuleStopped::EModuleStopped(TChainResult Chain) : EModuleConnection("stopped on request", std::move(Chain)) {}

void RaiseChainEnd(const TChainResult& Result, const std::string& DevicePath)
{
    switch (Result.End) {
    case TChainEnd::Completed:
    case TChainEnd::Differs:
        return;
    case TChainEnd::NoReply:
        throw EModuleNoReply(Result);
    case TChainEnd::Stopped:
        throw EModuleStopped(Result);
    case TChainEnd::DeviceLost:
        throw EModulePort("the device " + DevicePath + " has stopped working (unplugged or switched off?)" +
                              (Result.Reason.empty() ? "" : ": " + Result.Reason),
                          EIO, Result);
    case TChainEnd::PortError:
        throw EModulePort(Result.Reason, EIO, Result);
    case TChainEnd::TwoModules:
        throw EModuleReply(Result.Reason.empty() ? TwoModulesText : Result.Reason, Result);
    }
}

TModuleReading ReadingOf(const TModuleRecord& Record)
{
    const int Index = Record.Config().BaudIndex;
    if (Index < 0 || Index >= BaudRateEntryCount)
        throw EModuleReply("the module reported the baud-rate index " + std::to_string(Index) +
                           ", which names no rate");
    return Record.Reading();
}

}  // namespace varnolink
