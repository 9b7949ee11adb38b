// SPDX-License-Identifier: MIT
// The command table against what documents it: the manual page's synopsis
// and its lists of commands and options, and the bash completion. A command
// or option added to the program and not to them (or left there after it is
// gone) fails here.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_table.h"

using namespace varnolink;

namespace {

using TNames = std::set<std::string>;

std::vector<std::string> LinesOf(const char* Path)
{
    std::ifstream In(Path);
    EXPECT_TRUE(In) << Path;
    std::vector<std::string> Lines;
    for (std::string Line; std::getline(In, Line);)
        Lines.push_back(Line);
    return Lines;
}

// The words of a roff request line as they print: no font changes, quotes
// or brackets, "\-" as "-".
std::vector<std::string> RoffWords(std::string Line)
{
    Line = std::regex_replace(Line, std::regex(R"(\\f[BIRP])"), " ");
    Line = std::regex_replace(Line, std::regex(R"(\\-)"), "-");
    std::vector<std::string> Words;
    std::istringstream In(Line.substr(Line.find(' ') == std::string::npos ? Line.size() : Line.find(' ')));
    for (std::string Word; In >> Word;) {
        const std::size_t First = Word.find_first_not_of("\"[|");
        const std::size_t Last = Word.find_last_not_of("\"]|,.)");
        if (First != std::string::npos && Last != std::string::npos && First <= Last)
            Words.push_back(Word.substr(First, Last - First + 1));
    }
    return Words;
}

bool IsOption(const std::string& Word)
{
    return Word.size() > 1 && Word[0] == '-' && Word[1] != '-' ? Word.size() == 2 : Word.rfind("--", 0) == 0;
}

TNames TableCommands()
{
    TNames Names;
    for (const TCommandRow& Row : CliCommandTable())
        Names.insert(Row.Name);
    return Names;
}

// Every name of the options Command takes: long and short.
TNames OptionsOf(TCliCommand Command)
{
    TNames Names;
    for (const TOptionRow& Option : CliOptionTable())
        if (OptionTakenBy(Option, Command)) {
            Names.insert(Option.Long);
            if (Option.Short != nullptr)
                Names.insert(Option.Short);
        }
    return Names;
}

TNames AllOptions()
{
    TNames Names;
    for (const TCommandRow& Row : CliCommandTable())
        Names.merge(OptionsOf(Row.Command));
    return Names;
}

TNames Split(const std::string& Text, const char* Separators)
{
    TNames Names;
    std::size_t Start = 0;
    while ((Start = Text.find_first_not_of(Separators, Start)) != std::string::npos) {
        const std::size_t End = Text.find_first_of(Separators, Start);
        Names.insert(Text.substr(Start, End - Start));
        Start = End;
    }
    return Names;
}

// The manual page: each synopsis block's command with the options it shows,
// and the commands and options that head an entry (.TP) in its sections.
class ManualPage : public testing::Test {
protected:
    void SetUp() override
    {
        bool InSynopsis = false;
        bool Term = false;
        std::string Command;
        TNames Shown;
        for (const std::string& Line : LinesOf(VARNOLINK_MAN_PAGE)) {
            if (Line.rfind(".SH", 0) == 0)
                InSynopsis = Line == ".SH SYNOPSIS";
            const bool ThisTerm = std::exchange(Term, Line == ".TP");
            if (Line.rfind(".SY", 0) == 0) {
                Command.clear();
                Shown.clear();
            } else if (Line == ".YS") {
                Synopsis[Command].merge(Shown);
            } else if (Line.rfind(".B", 0) == 0 || Line.rfind(".I", 0) == 0 || Line.rfind(".R", 0) == 0) {
                const std::vector<std::string> Words = RoffWords(Line);
                for (const std::string& Word : Words) {
                    if (InSynopsis && Command.empty() && TableCommands().count(Word) != 0)
                        Command = Word;
                    else if (InSynopsis && IsOption(Word))
                        Shown.insert(Word);
                    else if (ThisTerm && IsOption(Word))
                        TermOptions.insert(Word);
                }
                if (ThisTerm && !Words.empty() && TableCommands().count(Words.front()) != 0)
                    TermCommands.insert(Words.front());
            }
        }
    }

    std::map<std::string, TNames> Synopsis;  // command -> the options its synopsis shows
    TNames TermOptions, TermCommands;
};

TEST_F(ManualPage, SynopsisShowsEveryCommandWithOptionsItTakes)
{
    for (const TCommandRow& Row : CliCommandTable()) {
        ASSERT_EQ(Synopsis.count(Row.Name), 1u) << Row.Name << " has no synopsis";
        const TNames Taken = OptionsOf(Row.Command);
        for (const std::string& Option : Synopsis[Row.Name])
            EXPECT_EQ(Taken.count(Option), 1u) << "the synopsis of " << Row.Name << " shows " << Option;
    }
    EXPECT_EQ(Synopsis.size(), CliCommandTable().size()) << "a synopsis of a command the program lacks";
}

TEST_F(ManualPage, EveryCommandAndOptionHasItsEntry)
{
    EXPECT_EQ(TermCommands, TableCommands());
    EXPECT_EQ(TermOptions, AllOptions());
}

// The completion script: its list of commands, the options it offers each
// command, and the options after which it completes a value.
class BashCompletion : public testing::Test {
protected:
    void SetUp() override
    {
        const std::regex CommandList(R"re(^\s*local commands="([^"]*)")re");
        const std::regex CommandCase(R"re(^\s*([a-z|]+)\) command=\$word)re");
        const std::regex Shared(R"re(^\s*local options="([^"]*)")re");
        const std::regex PerCommand(R"re(^\s*([a-z|]+)\) options\+=" ([^"]*)")re");
        const std::regex ValueCase(R"re(^\s*(-[-a-z0-9|]*)\))re");
        for (const std::string& Line : LinesOf(VARNOLINK_BASH_COMPLETION)) {
            std::smatch Match;
            if (std::regex_search(Line, Match, CommandList))
                Commands = Split(Match[1], " ");
            else if (std::regex_search(Line, Match, CommandCase))
                CaseCommands = Split(Match[1], "|");
            else if (std::regex_search(Line, Match, Shared))
                SharedOptions = Split(Match[1], " ");
            else if (std::regex_search(Line, Match, PerCommand))
                for (const std::string& Command : Split(Match[1], "|"))
                    Offered[Command] = Split(Match[2], " ");
            else if (std::regex_search(Line, Match, ValueCase))
                ValueOptions.merge(Split(Match[1], "|"));
        }
    }

    TNames Commands, CaseCommands, SharedOptions, ValueOptions;
    std::map<std::string, TNames> Offered;
};

TEST_F(BashCompletion, OffersEveryCommand)
{
    EXPECT_EQ(Commands, TableCommands());
    EXPECT_EQ(CaseCommands, TableCommands());
}

TEST_F(BashCompletion, OffersEachCommandTheOptionsItTakes)
{
    ASSERT_FALSE(SharedOptions.empty());
    for (const TCommandRow& Row : CliCommandTable()) {
        TNames Options = SharedOptions;
        Options.merge(TNames(Offered[Row.Name]));
        EXPECT_EQ(Options, OptionsOf(Row.Command)) << Row.Name;
    }
    for (const auto& [Command, Options] : Offered)
        EXPECT_EQ(TableCommands().count(Command), 1u) << Command;
}

TEST_F(BashCompletion, CompletesAValueAfterEveryOptionThatTakesOne)
{
    TNames Expected;
    for (const TOptionRow& Option : CliOptionTable())
        if (Option.Argument != nullptr) {
            Expected.insert(Option.Long);
            if (Option.Short != nullptr)
                Expected.insert(Option.Short);
        }
    EXPECT_EQ(ValueOptions, Expected);
}

// COMMAND --help: that command's usage, with the options it takes and no
// other.
TEST(CommandHelp, ShowsItsCommandsOptionsOnly)
{
    for (const TCommandRow& Row : CliCommandTable()) {
        const TCliArguments Parsed = ParseCliArguments({Row.Name, "--help"});
        EXPECT_TRUE(Parsed.Help);
        EXPECT_EQ(Parsed.Command, Row.Command) << Row.Name;
        const std::string Text = CliCommandUsageText(Row.Command);
        EXPECT_NE(Text.find(std::string("Usage: varnolink [--json] [-v|-q] ") + Row.Name), std::string::npos);
        for (const TOptionRow& Option : CliOptionTable()) {
            const std::string Term =
                "\n  " + (Option.Short != nullptr ? Option.Short + std::string(", ") : std::string(4, ' ')) +
                Option.Long;
            const std::size_t At = Text.find(Term);
            const bool Listed =
                At != std::string::npos && (Text[At + Term.size()] == ' ' || Text[At + Term.size()] == '\n');
            EXPECT_EQ(Listed, OptionTakenBy(Option, Row.Command)) << Row.Name << " " << Option.Long;
        }
    }
    EXPECT_EQ(CliCommandUsageText(TCliCommand::None), CliUsageText());
}

}  // namespace
