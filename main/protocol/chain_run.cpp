// SPDX-License-Identifier: MIT
#include "main/protocol/chain_run.h"

#include "main/protocol/command_codes.h"

namespace {

// The field a write step sets, by name.
std::string FieldOfWrite(int Code)
{
    if (Code == CodeIDCode)
        return ModuleConfigFieldName(0);
    if (Code == CodeBaudrate)
        return ModuleConfigFieldName(1);
    return ModuleConfigFieldName(2 + (Code - CodeFirstDirection));
}

}  // namespace

TWrittenFields WrittenFields(std::span<const TChainStep> Chain, std::size_t Answered)
{
    TWrittenFields Fields;
    for (std::size_t Index = 0; Index < Answered && Index < Chain.size(); ++Index)
        if (Chain[Index].Mode == TRequestMode::Write)
            Fields.push_back(FieldOfWrite(Chain[Index].Code));
    return Fields;
}

void RunWholeChain(std::span<const TChainStep> Chain, TChainDriver& Driver, TConfigRecorder& Recorder,
                   std::chrono::milliseconds Wait, const TWrittenFields& Earlier)
{
    Recorder.Forget();
    const TChainOutcome Outcome = RunChain(Chain, Driver);
    if (Outcome.End == TChainEnd::Completed)
        return;
    TWrittenFields Written = Earlier;
    for (std::string& Field : WrittenFields(Chain, Outcome.StepsAnswered))
        Written.push_back(std::move(Field));
    if (Outcome.End == TChainEnd::Stopped)
        throw EModuleStopped(std::move(Written));
    throw EModuleNoReply(Chain[Outcome.StepsAnswered], Wait, std::move(Written));
}

TModuleReading RecordedReading(const TConfigRecorder& Recorder)
{
    if (!Recorder.Answered(CodeBaudrate))
        throw EModuleReply("the module reported the baud-rate index " + std::to_string(Recorder.Config().BaudIndex) +
                           ", which names no rate");
    return {Recorder.Identity(), Recorder.Config()};
}
