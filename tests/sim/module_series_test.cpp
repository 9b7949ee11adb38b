// SPDX-License-Identifier: MIT
// A simulator standing for a series of modules: when one module is unplugged
// and the next plugged in, and how faulty and silent modules answer.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "sim/command_line.h"
#include "sim/module_series.h"

namespace varnolink::sim {
namespace {

using namespace std::chrono_literals;

const std::string ReadIdentity = "*00:0,00=00\r\n";

// The twelve writes of a whole configuration (ID 2A, baud index 5, every
// port byte 5A), then the fourteen reads back.
const std::vector<std::string> WriteAndVerify{
    "*02:1,2A=00\r\n", "*03:1,05=00\r\n", "*04:1,5A=00\r\n", "*05:1,5A=00\r\n", "*06:1,5A=00\r\n", "*07:1,5A=00\r\n",
    "*08:1,5A=00\r\n", "*09:1,5A=00\r\n", "*10:1,5A=00\r\n", "*11:1,5A=00\r\n", "*12:1,5A=00\r\n", "*13:1,5A=00\r\n",
    "*00:0,00=00\r\n", "*01:0,00=00\r\n", "*02:0,00=00\r\n", "*03:0,00=00\r\n", "*04:0,00=00\r\n", "*05:0,00=00\r\n",
    "*06:0,00=00\r\n", "*07:0,00=00\r\n", "*08:0,00=00\r\n", "*09:0,00=00\r\n", "*10:0,00=00\r\n", "*11:0,00=00\r\n",
    "*12:0,00=00\r\n", "*13:0,00=00\r\n"};

// A line in front of a TModuleSeries, the way the simulator drives it.
class SeriesLine {
public:
    explicit SeriesLine(TSeriesOptions Options) : Series(Options) {}

    // The reply line, or nullopt when nothing answers.
    std::optional<std::string> Send(const std::string& Frame)
    {
        if (!Series.Attach(Now, State))
            return std::nullopt;
        TModuleAnswer Answer = AnswerRequest(Frame, State);
        Series.Shape(Frame, Now, Answer, State);
        if (Answer.Outcome != TRequestOutcome::Answered)
            return std::nullopt;
        return Answer.Line;
    }
    // How many of `frames` got a reply.
    std::size_t SendAll(const std::vector<std::string>& Frames)
    {
        std::size_t Answered = 0;
        for (const auto& Frame : Frames)
            Answered += Send(Frame).has_value();
        return Answered;
    }
    std::size_t Module() const { return Series.ModuleNumber(Now); }

    TModuleSeries Series;
    TModuleState State;
    TClock::time_point Now = TClock::now();
};

TSeriesOptions Series(std::size_t Faulty = 0, std::size_t Silent = 0)
{
    return {true, 1000ms, Faulty, Silent};
}

TEST(ModuleSeriesTest, WithoutSeriesOneModuleStaysForever)
{
    SeriesLine Line(TSeriesOptions{false, 1000ms, 1, 1});
    EXPECT_EQ(Line.SendAll(WriteAndVerify), 26u);
    EXPECT_EQ(Line.SendAll(WriteAndVerify), 26u) << "neither unplugged, faulty nor silent";
    EXPECT_EQ(Line.State.Directions[0], 0x5A);
    EXPECT_EQ(Line.Module(), 1u);
}

TEST(ModuleSeriesTest, VerifiedModuleLeavesAndAFactoryModuleComesAfterTheGap)
{
    SeriesLine Line(Series());
    Line.State.BiosVersion = "2.00b";
    EXPECT_EQ(Line.SendAll(WriteAndVerify), 26u);
    EXPECT_EQ(Line.Module(), 0u);
    Line.Now += 999ms;
    EXPECT_EQ(Line.Send(ReadIdentity), std::nullopt);
    Line.Now += 1ms;
    EXPECT_EQ(Line.Send(ReadIdentity), "*??:E00,00=VARNOLINK I/O 2.00b");
    EXPECT_EQ(Line.Module(), 2u);
    TModuleState Factory;
    Factory.BiosVersion = "2.00b";
    EXPECT_EQ(Line.State, Factory);
}

TEST(ModuleSeriesTest, ModuleStaysUntilEveryWrittenCodeIsReadBackAfterItsLastWrite)
{
    SeriesLine Line(Series());
    // Each code written and read at once; then code 13 written again.
    const std::vector<std::vector<std::string>> WriteThenRead{
        {"*02:1,11=00\r\n", "*02:0,00=00\r\n"}, {"*03:1,04=00\r\n", "*03:0,00=00\r\n"},
        {"*04:1,11=00\r\n", "*04:0,00=00\r\n"}, {"*05:1,11=00\r\n", "*05:0,00=00\r\n"},
        {"*06:1,11=00\r\n", "*06:0,00=00\r\n"}, {"*07:1,11=00\r\n", "*07:0,00=00\r\n"},
        {"*08:1,11=00\r\n", "*08:0,00=00\r\n"}, {"*09:1,11=00\r\n", "*09:0,00=00\r\n"},
        {"*10:1,11=00\r\n", "*10:0,00=00\r\n"}, {"*11:1,11=00\r\n", "*11:0,00=00\r\n"},
        {"*12:1,11=00\r\n", "*12:0,00=00\r\n"}, {"*13:1,11=00\r\n", "*13:0,00=00\r\n"}};
    for (std::size_t I = 0; I < WriteThenRead.size(); ++I) {
        Line.SendAll(WriteThenRead[I]);
        EXPECT_EQ(Line.Module(), I + 1 < WriteThenRead.size() ? 1u : 0u) << WriteThenRead[I][0];
    }

    Line.Now += 1s;
    Line.SendAll(WriteAndVerify);
    Line.Now += 1s;
    Line.SendAll(WriteAndVerify);
    EXPECT_EQ(Line.Send("*13:1,00=00\r\n"), std::nullopt) << "third module already gone";
    Line.Now += 1s;
    EXPECT_EQ(Line.SendAll(WriteAndVerify), 26u);
    EXPECT_EQ(Line.Module(), 0u);
    Line.Now += 1s;
    EXPECT_EQ(Line.Module(), 5u);
}

TEST(ModuleSeriesTest, FaultyAndSilentModulesTakeTheirTurn)
{
    struct Case {
        std::size_t Faulty, Silent;
        std::vector<std::size_t> AnsweredPerModule;  // modules 1, 2, 3
        std::vector<std::string> P0DirectionEcho;
    };
    const std::vector<Case> Cases{
        {2, 0, {26, 26, 26}, {"5A", "5B", "5A"}},
        {0, 2, {26, 6, 26}, {"5A", "5A", "5A"}},  // writes 02 to 07 answered, then silence
        {1, 3, {26, 26, 6}, {"5B", "5A", "5A"}},
    };
    for (const auto& C : Cases) {
        SeriesLine Line(Series(C.Faulty, C.Silent));
        for (std::size_t Module = 1; Module <= 3; ++Module) {
            std::optional<std::string> Echo;  // reply to the P0 direction write
            std::size_t Answered = 0;
            for (const auto& Frame : WriteAndVerify) {
                const auto Reply = Line.Send(Frame);
                Answered += Reply.has_value();
                if (Frame == "*04:1,5A=00\r\n")
                    Echo = Reply;
            }
            EXPECT_EQ(Answered, C.AnsweredPerModule[Module - 1]) << "module " << Module;
            EXPECT_EQ(Echo, "*??:E04,00=" + C.P0DirectionEcho[Module - 1]) << "module " << Module;
            EXPECT_EQ(Line.Module(), 0u) << "module " << Module << " unplugged";
            Line.Now += 1s;
        }
    }
}

TEST(ModuleSeriesTest, CommandLineOptions)
{
    const TCommandLine Plain = ParseCommandLine({"--series"});
    EXPECT_EQ(Plain.Options.Series, (TSeriesOptions{true, 1000ms, 0, 0}));
    const TCommandLine Full = ParseCommandLine({"--series-gap=250", "--faulty-module", "3", "--silent-module=4"});
    EXPECT_EQ(Full.Options.Series, (TSeriesOptions{true, 250ms, 3, 4})) << "a faulty or silent module implies --series";
    EXPECT_FALSE(ParseCommandLine({"--series-gap", "250"}).Options.Series.Enabled);
    for (const auto& Bad : std::vector<std::vector<std::string>>{
             {"--faulty-module", "0"}, {"--silent-module", "x"}, {"--series-gap", "-1"}, {"--series=1"}}) {
        EXPECT_THROW(ParseCommandLine(Bad), std::invalid_argument) << Bad[0];
    }
}

}  // namespace
}  // namespace varnolink::sim
