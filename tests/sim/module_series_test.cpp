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

const std::string kReadIdentity = "*00:0,00=00\r\n";

// The twelve writes of a whole configuration (ID 2A, baud index 5, every
// port byte 5A), then the fourteen reads back.
const std::vector<std::string> kWriteAndVerify{
    "*02:1,2A=00\r\n", "*03:1,05=00\r\n", "*04:1,5A=00\r\n", "*05:1,5A=00\r\n", "*06:1,5A=00\r\n",
    "*07:1,5A=00\r\n", "*08:1,5A=00\r\n", "*09:1,5A=00\r\n", "*10:1,5A=00\r\n", "*11:1,5A=00\r\n",
    "*12:1,5A=00\r\n", "*13:1,5A=00\r\n", "*00:0,00=00\r\n", "*01:0,00=00\r\n", "*02:0,00=00\r\n",
    "*03:0,00=00\r\n", "*04:0,00=00\r\n", "*05:0,00=00\r\n", "*06:0,00=00\r\n", "*07:0,00=00\r\n",
    "*08:0,00=00\r\n", "*09:0,00=00\r\n", "*10:0,00=00\r\n", "*11:0,00=00\r\n", "*12:0,00=00\r\n",
    "*13:0,00=00\r\n"};

// A line in front of a TModuleSeries, the way the simulator drives it.
class SeriesLine {
public:
    explicit SeriesLine(TSeriesOptions options) : Series(options) {}

    // The reply line, or nullopt when nothing answers.
    std::optional<std::string> Send(const std::string& frame) {
        if (!Series.Attach(Now, State)) return std::nullopt;
        TModuleAnswer answer = AnswerRequest(frame, State);
        Series.Shape(frame, Now, answer, State);
        if (answer.Outcome != TRequestOutcome::Answered) return std::nullopt;
        return answer.Line;
    }
    // How many of `frames` got a reply.
    std::size_t SendAll(const std::vector<std::string>& frames) {
        std::size_t answered = 0;
        for (const auto& frame : frames) answered += Send(frame).has_value();
        return answered;
    }
    std::size_t Module() const { return Series.ModuleNumber(Now); }

    TModuleSeries Series;
    TModuleState State;
    TClock::time_point Now = TClock::now();
};

TSeriesOptions Series(std::size_t faulty = 0, std::size_t silent = 0) { return {true, 1000ms, faulty, silent}; }

TEST(ModuleSeriesTest, WithoutSeriesOneModuleStaysForever) {
    SeriesLine line(TSeriesOptions{false, 1000ms, 1, 1});
    EXPECT_EQ(line.SendAll(kWriteAndVerify), 26u);
    EXPECT_EQ(line.SendAll(kWriteAndVerify), 26u) << "neither unplugged, faulty nor silent";
    EXPECT_EQ(line.State.Directions[0], 0x5A);
    EXPECT_EQ(line.Module(), 1u);
}

TEST(ModuleSeriesTest, VerifiedModuleLeavesAndAFactoryModuleComesAfterTheGap) {
    SeriesLine line(Series());
    line.State.BiosVersion = "2.00b";
    EXPECT_EQ(line.SendAll(kWriteAndVerify), 26u);
    EXPECT_EQ(line.Module(), 0u);
    line.Now += 999ms;
    EXPECT_EQ(line.Send(kReadIdentity), std::nullopt);
    line.Now += 1ms;
    EXPECT_EQ(line.Send(kReadIdentity), "*??:E00,00=VARNOLINK I/O 2.00b");
    EXPECT_EQ(line.Module(), 2u);
    TModuleState factory;
    factory.BiosVersion = "2.00b";
    EXPECT_EQ(line.State, factory);
}

TEST(ModuleSeriesTest, ModuleStaysUntilEveryWrittenCodeIsReadBackAfterItsLastWrite) {
    SeriesLine line(Series());
    // Each code written and read at once; then code 13 written again.
    const std::vector<std::vector<std::string>> writeThenRead{
        {"*02:1,11=00\r\n", "*02:0,00=00\r\n"}, {"*03:1,04=00\r\n", "*03:0,00=00\r\n"},
        {"*04:1,11=00\r\n", "*04:0,00=00\r\n"}, {"*05:1,11=00\r\n", "*05:0,00=00\r\n"},
        {"*06:1,11=00\r\n", "*06:0,00=00\r\n"}, {"*07:1,11=00\r\n", "*07:0,00=00\r\n"},
        {"*08:1,11=00\r\n", "*08:0,00=00\r\n"}, {"*09:1,11=00\r\n", "*09:0,00=00\r\n"},
        {"*10:1,11=00\r\n", "*10:0,00=00\r\n"}, {"*11:1,11=00\r\n", "*11:0,00=00\r\n"},
        {"*12:1,11=00\r\n", "*12:0,00=00\r\n"}, {"*13:1,11=00\r\n", "*13:0,00=00\r\n"}};
    for (std::size_t i = 0; i < writeThenRead.size(); ++i) {
        line.SendAll(writeThenRead[i]);
        EXPECT_EQ(line.Module(), i + 1 < writeThenRead.size() ? 1u : 0u) << writeThenRead[i][0];
    }

    line.Now += 1s;
    line.SendAll(kWriteAndVerify);
    line.Now += 1s;
    line.SendAll(kWriteAndVerify);
    EXPECT_EQ(line.Send("*13:1,00=00\r\n"), std::nullopt) << "third module already gone";
    line.Now += 1s;
    EXPECT_EQ(line.SendAll(kWriteAndVerify), 26u);
    EXPECT_EQ(line.Module(), 0u);
    line.Now += 1s;
    EXPECT_EQ(line.Module(), 5u);
}

TEST(ModuleSeriesTest, FaultyAndSilentModulesTakeTheirTurn) {
    struct Case {
        std::size_t faulty, silent;
        std::vector<std::size_t> answeredPerModule;  // modules 1, 2, 3
        std::vector<std::string> p0DirectionEcho;
    };
    const std::vector<Case> cases{
        {2, 0, {26, 26, 26}, {"5A", "5B", "5A"}},
        {0, 2, {26, 6, 26}, {"5A", "5A", "5A"}},  // writes 02 to 07 answered, then silence
        {1, 3, {26, 26, 6}, {"5B", "5A", "5A"}},
    };
    for (const auto& c : cases) {
        SeriesLine line(Series(c.faulty, c.silent));
        for (std::size_t module = 1; module <= 3; ++module) {
            std::optional<std::string> echo;  // reply to the P0 direction write
            std::size_t answered = 0;
            for (const auto& frame : kWriteAndVerify) {
                const auto reply = line.Send(frame);
                answered += reply.has_value();
                if (frame == "*04:1,5A=00\r\n") echo = reply;
            }
            EXPECT_EQ(answered, c.answeredPerModule[module - 1]) << "module " << module;
            EXPECT_EQ(echo, "*??:E04,00=" + c.p0DirectionEcho[module - 1]) << "module " << module;
            EXPECT_EQ(line.Module(), 0u) << "module " << module << " unplugged";
            line.Now += 1s;
        }
    }
}

TEST(ModuleSeriesTest, CommandLineOptions) {
    const TCommandLine plain = ParseCommandLine({"--series"});
    EXPECT_EQ(plain.Options.Series, (TSeriesOptions{true, 1000ms, 0, 0}));
    const TCommandLine full = ParseCommandLine({"--series-gap=250", "--faulty-module", "3", "--silent-module=4"});
    EXPECT_EQ(full.Options.Series, (TSeriesOptions{true, 250ms, 3, 4})) << "a faulty or silent module implies --series";
    EXPECT_FALSE(ParseCommandLine({"--series-gap", "250"}).Options.Series.Enabled);
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--faulty-module", "0"}, {"--silent-module", "x"}, {"--series-gap", "-1"}, {"--series=1"}}) {
        EXPECT_THROW(ParseCommandLine(bad), std::invalid_argument) << bad[0];
    }
}

}  // namespace
}  // namespace varnolink::sim
