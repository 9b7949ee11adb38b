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

std::string CodeText(int code) { return {static_cast<char>('0' + code / 10), static_cast<char>('0' + code % 10)}; }
std::string Read(int code) { return "*" + CodeText(code) + ":0,00=00\r\n"; }
std::string Write(int code, const std::string& argument) { return "*" + CodeText(code) + ":1," + argument + "=00\r\n"; }

// The twelve writes of a whole configuration (ID 2A, baud index 5, every
// port byte 5A), then the fourteen reads back.
std::vector<std::string> WriteAndVerify() {
    std::vector<std::string> frames{Write(2, "2A"), Write(3, "05")};
    for (int code = kCodeFirstDirection; code <= kCodeLastPort; ++code) frames.push_back(Write(code, "5A"));
    for (int code = kCodeIdentity; code <= kCodeLastPort; ++code) frames.push_back(Read(code));
    return frames;
}

// A line in front of a TModuleSeries, the way the simulator drives it.
class SeriesLine {
public:
    explicit SeriesLine(SeriesOptions options) : Series(options) {}

    // The reply line, or nullopt when nothing answers.
    std::optional<std::string> Send(const std::string& frame) {
        if (!Series.Attach(Now, State)) return std::nullopt;
        ModuleAnswer answer = AnswerRequest(frame, State);
        Series.Shape(frame, Now, answer, State);
        if (answer.outcome != RequestOutcome::kAnswered) return std::nullopt;
        return answer.line;
    }
    // How many of `frames` got a reply.
    std::size_t SendAll(const std::vector<std::string>& frames) {
        std::size_t answered = 0;
        for (const auto& frame : frames) answered += Send(frame).has_value();
        return answered;
    }
    std::size_t Module() const { return Series.ModuleNumber(Now); }

    TModuleSeries Series;
    ModuleState State;
    TClock::time_point Now = TClock::now();
};

SeriesOptions Series(std::size_t faulty = 0, std::size_t silent = 0) { return {true, 1000ms, faulty, silent}; }

TEST(ModuleSeriesTest, WithoutSeriesOneModuleStaysForever) {
    SeriesLine line(SeriesOptions{false, 1000ms, 1, 1});
    EXPECT_EQ(line.SendAll(WriteAndVerify()), 26u);
    EXPECT_EQ(line.SendAll(WriteAndVerify()), 26u) << "neither unplugged, faulty nor silent";
    EXPECT_EQ(line.State.directions[0], 0x5A);
    EXPECT_EQ(line.Module(), 1u);
}

TEST(ModuleSeriesTest, VerifiedModuleLeavesAndAFactoryModuleComesAfterTheGap) {
    SeriesLine line(Series());
    line.State.biosVersion = "2.00b";
    EXPECT_EQ(line.SendAll(WriteAndVerify()), 26u);
    EXPECT_EQ(line.Module(), 0u);
    line.Now += 999ms;
    EXPECT_EQ(line.Send(Read(kCodeIdentity)), std::nullopt);
    line.Now += 1ms;
    EXPECT_EQ(line.Send(Read(kCodeIdentity)), "*??:E00,00=VARNOLINK I/O 2.00b");
    EXPECT_EQ(line.Module(), 2u);
    ModuleState factory;
    factory.biosVersion = "2.00b";
    EXPECT_EQ(line.State, factory);
}

TEST(ModuleSeriesTest, ModuleStaysUntilEveryWrittenCodeIsReadBackAfterItsLastWrite) {
    SeriesLine line(Series());
    // Each code written and read at once; then code 13 written again.
    for (int code = kCodeRemoteId; code <= kCodeLastPort; ++code) {
        line.SendAll({Write(code, code == kCodeBaudIndex ? "04" : "11"), Read(code)});
        EXPECT_EQ(line.Module(), code < kCodeLastPort ? 1u : 0u) << "code " << code;
    }

    line.Now += 1s;
    line.SendAll(WriteAndVerify());
    line.Now += 1s;
    line.SendAll(WriteAndVerify());
    EXPECT_EQ(line.Send(Write(13, "00")), std::nullopt) << "third module already gone";
    line.Now += 1s;
    EXPECT_EQ(line.SendAll(WriteAndVerify()), 26u);
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
            for (const auto& frame : WriteAndVerify()) {
                const auto reply = line.Send(frame);
                answered += reply.has_value();
                if (frame == Write(4, "5A")) echo = reply;
            }
            EXPECT_EQ(answered, c.answeredPerModule[module - 1]) << "module " << module;
            EXPECT_EQ(echo, "*??:E04,00=" + c.p0DirectionEcho[module - 1]) << "module " << module;
            EXPECT_EQ(line.Module(), 0u) << "module " << module << " unplugged";
            line.Now += 1s;
        }
    }
}

TEST(ModuleSeriesTest, CommandLineOptions) {
    const CommandLine plain = ParseCommandLine({"--series"});
    EXPECT_EQ(plain.options.series, (SeriesOptions{true, 1000ms, 0, 0}));
    const CommandLine full = ParseCommandLine({"--series-gap=250", "--faulty-module", "3", "--silent-module=4"});
    EXPECT_EQ(full.options.series, (SeriesOptions{true, 250ms, 3, 4})) << "a faulty or silent module implies --series";
    EXPECT_FALSE(ParseCommandLine({"--series-gap", "250"}).options.series.enabled);
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--faulty-module", "0"}, {"--silent-module", "x"}, {"--series-gap", "-1"}, {"--series=1"}}) {
        EXPECT_THROW(ParseCommandLine(bad), std::invalid_argument) << bad[0];
    }
}

}  // namespace
}  // namespace varnolink::sim
