// SPDX-License-Identifier: MIT
// Parses varnolink's command line into TCliArguments, by the command table.
#include "cli/arguments.h"

#include <algorithm>
#include <span>

#include "cli/command_table.h"
#include "main/protocol/module_config.h"

namespace varnolink {

std::string CliCommandName(TCliCommand Command)
{
    for (const TCommandRow& Row : CliCommandTable())
        if (Row.Command == Command)
            return Row.Name;
    return {};
}

TCliCommand CliCommandIn(const std::vector<std::string>& Arguments)
{
    for (const std::string& Word : Arguments)
        if (const TCommandRow* Row = FindCliCommand(Word))
            return Row->Command;
    return TCliCommand::None;
}

bool CliWantsJson(const std::vector<std::string>& Arguments)
{
    return std::find(Arguments.begin(), Arguments.end(), "--json") != Arguments.end();
}

std::vector<TConfigField> KeepFieldsOf(const std::string& Name)
{
    std::vector<TConfigField> Fields;
    for (const TConfigField Field : ModuleConfigFields) {
        const bool InModule = Field == RemoteIdField || Field == BaudField;
        const std::string Group = InModule ? "module" : std::string(PortGridName(PortGridOf(Field)));
        if (Name == ModuleConfigFieldName(Field) || Name == Group)
            Fields.push_back(Field);
    }
    return Fields;
}

TCliArguments ParseCliArguments(const std::vector<std::string>& Arguments)
{
    TCliArguments Result;
    std::vector<std::string> Words;
    std::vector<const TOptionRow*> Given;  // checked once the command is known

    for (std::size_t Index = 0; Index < Arguments.size(); ++Index) {
        std::string Word = Arguments[Index];
        std::optional<std::string> Value;
        if (Word.rfind("--", 0) == 0) {
            if (const std::size_t Equals = Word.find('='); Equals != std::string::npos) {
                Value = Word.substr(Equals + 1);
                Word.resize(Equals);
            }
        }
        const TOptionRow* Option = FindCliOption(Word);
        if (Option == nullptr) {
            if (Word.size() > 1 && Word[0] == '-')
                throw EUsage("unknown option " + Word);
            Words.push_back(Arguments[Index]);
            continue;
        }
        const std::string Name = Option->Long;
        if (Option->Argument == nullptr) {
            if (Value)
                throw EUsage(Name + " takes no value");
            Value.emplace();
        } else {
            if (!Value) {
                if (Index + 1 == Arguments.size())
                    throw EUsage(Name + " needs a value");
                Value = Arguments[++Index];
            }
            if (Value->empty())
                throw EUsage(Name + " needs a value");
        }
        Given.push_back(Option);
        Option->Store(Result, *Value);
    }

    if (Result.Help || Result.Version) {
        // "varnolink write --help": the help of that command.
        if (const TCommandRow* Row = Words.empty() ? nullptr : FindCliCommand(Words.front()))
            Result.Command = Row->Command;
        return Result;
    }
    const std::span<const TCommandRow> Table = CliCommandTable();
    if (Words.empty()) {
        std::string Names;
        for (std::size_t Row = 0; Row < Table.size(); ++Row)
            Names += (Row == 0 ? "" : Row + 1 == Table.size() ? " or " : ", ") + std::string(Table[Row].Name);
        throw EUsage("no command given (" + Names + ")");
    }
    const TCommandRow* Command = FindCliCommand(Words.front());
    if (Command == nullptr)
        throw EUsage("unknown command \"" + Words.front() + "\"");
    Result.Command = Command->Command;

    const std::string Name = Words.front();
    for (const TOptionRow* Option : Given)
        if (!OptionTakenBy(*Option, Result.Command))
            throw EUsage(Name + " takes no " + Option->Long);
    switch (Command->Operands) {
    case TOperands::Ports:
        Result.Ports.assign(Words.begin() + 1, Words.end());
        if (Result.Speeds && Result.Ports.empty())
            throw EUsage(Name + " --speeds needs the PORT to search");
        break;
    case TOperands::Inventory:
        if (Words.size() < 2)
            throw EUsage(Name + " needs the plant's inventory: PLANT.csv");
        [[fallthrough]];
    case TOperands::File:
    case TOperands::None: {
        const std::size_t Taken = Command->Operands == TOperands::None ? 1 : 2;
        if (Words.size() > Taken)
            throw EUsage(Name + ": unexpected argument \"" + Words.back() + "\"");
        if (Words.size() < Taken)
            throw EUsage(Name + " needs a configuration FILE");
        if (Taken == 2)
            Result.File = Words[1];
        break;
    }
    }
    if (Command->NeedsPort && Result.Port.empty())
        throw EUsage(Name + " needs the port: -p PORT");
    if (Command->RequiredOption != nullptr &&
        std::none_of(Given.begin(), Given.end(), [Command](const TOptionRow* Option) {
            return std::string_view(Option->Long) == Command->RequiredOption;
        }))
        throw EUsage(Command->RequiredMessage);
    return Result;
}

}  // namespace varnolink
