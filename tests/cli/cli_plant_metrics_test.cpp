// SPDX-License-Identifier: MIT
// audit --metrics: the formatter's series and escaping, the previous file
// read back, and the program against the simulated plant, its file checked
// by promtool and served by a real node_exporter scraped over HTTP.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "main/reports/plant_metrics.h"
#include "sim/plant_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/cli/json_output.h"
#include "tests/cli/varnolink_program.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;
using TLabels = std::map<std::string, std::string>;
using cli_test::Program;

// The value of the one sample of Name whose labels include Labels; none when
// there is none. Label values are unescaped; fails the test on a line that
// does not parse or on two samples matching.
std::optional<double> ValueOf(const std::string& Text, const std::string& Name, const TLabels& Labels = {})
{
    std::optional<double> Found;
    std::istringstream Lines(Text);
    for (std::string Line; std::getline(Lines, Line);) {
        if (Line.empty() || Line[0] == '#' || Line.compare(0, Name.size(), Name) != 0 ||
            (Line[Name.size()] != '{' && Line[Name.size()] != ' '))
            continue;
        TLabels Have;
        std::size_t At = Name.size();
        if (Line[At] == '{') {
            ++At;
            while (At < Line.size() && Line[At] != '}') {
                const std::size_t Equals = Line.find("=\"", At);
                if (Equals == std::string::npos) {
                    ADD_FAILURE() << "no label in " << Line;
                    return std::nullopt;
                }
                const std::string Key = Line.substr(At, Equals - At);
                std::string Value;
                for (At = Equals + 2; At < Line.size() && Line[At] != '"'; ++At)
                    Value +=
                        Line[At] == '\\' && At + 1 < Line.size() ? (Line[++At] == 'n' ? '\n' : Line[At]) : Line[At];
                Have[Key] = Value;
                At += At + 1 < Line.size() && Line[At + 1] == ',' ? 2 : 1;
            }
        }
        bool Matches = true;
        for (const auto& [Key, Value] : Labels)
            Matches = Matches && Have.count(Key) && Have[Key] == Value;
        if (!Matches)
            continue;
        EXPECT_FALSE(Found) << "two samples of " << Name << " match";
        Found = std::stod(Line.substr(Line.rfind(' ') + 1));
    }
    return Found;
}

TPlantRow Row(const std::string& Name, TPlantOutcome Outcome, std::size_t Differences = 0)
{
    TPlantRow Row;
    Row.Module = {Name, "socket://gw:4001", "hall 2", std::nullopt};
    Row.Outcome = Outcome;
    Row.Differences.resize(Differences);
    if (Outcome == TPlantOutcome::Ok || Outcome == TPlantOutcome::Differs) {
        Row.Identity = TModuleIdentity{"VARNOLINK-IO", "1.00a", "Ready"};
        Row.RemoteId = 0x1F;
    }
    return Row;
}

TEST(PlantMetrics, LabelValuesAreEscaped)
{
    const std::pair<std::string, std::string> Cases[] = {
        {"plain", "plain"},
        {"C:\\plant", "C:\\\\plant"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"two\nlines", "two\\nlines"},
        {"\\\"\n", "\\\\\\\"\\n"},
    };
    for (const auto& [Value, Escaped] : Cases)
        EXPECT_EQ(MetricsLabelValue(Value), Escaped) << Value;

    // In the text, and read back to what it was.
    TPlantRow Odd = Row("pump \"A\"\\2\nnew", TPlantOutcome::Ok);
    const std::string Text = PlantMetricsText("plants/\"x\".csv", {Odd}, {});
    EXPECT_EQ(ValueOf(Text, "varnolink_module_reached", {{"name", Odd.Module.Name}, {"inventory", "plants/\"x\".csv"}}),
              1);
}

TEST(PlantMetrics, ModulesReachedDifferingAndUnreadAndTheRunsCounts)
{
    const std::string Text =
        PlantMetricsText("plant.csv",
                         {Row("good", TPlantOutcome::Ok), Row("drifted", TPlantOutcome::Differs, 3),
                          Row("silent", TPlantOutcome::NoReply), Row("held", TPlantOutcome::Busy)},
                         {12.5, 1765000000, std::nullopt});
    struct TCase {
        std::string Metric;
        TLabels Labels;
        std::optional<double> Value;
    };
    const TCase Cases[] = {
        {"varnolink_module_reached", {{"name", "good"}, {"port", "socket://gw:4001"}, {"location", "hall 2"}}, 1},
        {"varnolink_module_reached", {{"name", "drifted"}}, 1},
        {"varnolink_module_reached", {{"name", "silent"}}, 0},
        {"varnolink_module_reached", {{"name", "held"}}, 0},
        {"varnolink_module_holds_file", {{"name", "good"}}, 1},
        {"varnolink_module_holds_file", {{"name", "drifted"}}, 0},
        {"varnolink_module_holds_file", {{"name", "silent"}}, 0},
        {"varnolink_module_differing_fields", {{"name", "good"}}, 0},
        {"varnolink_module_differing_fields", {{"name", "drifted"}}, 3},
        {"varnolink_module_differing_fields", {{"name", "silent"}}, std::nullopt},
        {"varnolink_module_info",
         {{"name", "good"}, {"bios_name", "VARNOLINK-IO"}, {"bios_version", "1.00a"}, {"remote_id", "1F"}},
         1},
        {"varnolink_module_info", {{"name", "silent"}}, std::nullopt},
        {"varnolink_audit_modules", {{"result", "ok"}}, 1},
        {"varnolink_audit_modules", {{"result", "differs"}}, 1},
        {"varnolink_audit_modules", {{"result", "no reply"}}, 1},
        {"varnolink_audit_modules", {{"result", "busy"}}, 1},
        {"varnolink_audit_modules", {{"result", "port error"}}, 0},
        {"varnolink_audit_duration_seconds", {}, 12.5},
        {"varnolink_audit_end_timestamp_seconds", {{"inventory", "plant.csv"}}, 1765000000},
        {"varnolink_audit_last_good_timestamp_seconds", {}, std::nullopt},
    };
    for (const TCase& Case : Cases)
        EXPECT_EQ(ValueOf(Text, Case.Metric, Case.Labels), Case.Value) << Case.Metric;
    for (const char* Family : {"varnolink_module_reached", "varnolink_module_info", "varnolink_audit_modules",
                               "varnolink_audit_last_good_timestamp_seconds"}) {
        EXPECT_NE(Text.find(std::string("# HELP ") + Family + " "), std::string::npos) << Family;
        EXPECT_NE(Text.find(std::string("# TYPE ") + Family + " gauge\n"), std::string::npos) << Family;
    }
}

TEST(PlantMetrics, LastGoodRunIsThisRunOnlyWhenEveryModuleHeldItsFileAndIsReadBack)
{
    struct TCase {
        std::vector<TPlantRow> Rows;
        std::optional<double> Before, Expected;
    };
    const TCase Cases[] = {
        {{Row("a", TPlantOutcome::Ok), Row("b", TPlantOutcome::Ok)}, 100, 2000},
        {{Row("a", TPlantOutcome::Ok), Row("b", TPlantOutcome::Differs, 1)}, 100, 100},
        {{Row("a", TPlantOutcome::Ok), Row("b", TPlantOutcome::Stopped)}, std::nullopt, std::nullopt},
        {{}, 100, 100},
    };
    for (const TCase& Case : Cases) {
        const std::string Text = PlantMetricsText("p.csv", Case.Rows, {1, 2000, Case.Before});
        EXPECT_EQ(ValueOf(Text, "varnolink_audit_last_good_timestamp_seconds"), Case.Expected);
        const TPreviousMetrics Back = PreviousPlantMetrics(Text);
        EXPECT_FALSE(Back.Damaged);
        EXPECT_EQ(Back.LastGood, Case.Expected);
    }

    const std::string Good = PlantMetricsText("p.csv", {Row("a", TPlantOutcome::Ok)}, {1, 2000, std::nullopt});
    const std::string LastGood = "varnolink_audit_last_good_timestamp_seconds{inventory=\"p.csv\"} ";
    for (const std::string& Damaged : {std::string(), std::string("garbage\n"), Good.substr(0, Good.size() - 1),
                                       Good.substr(0, Good.find(LastGood)) + LastGood + "soon\n",
                                       Good.substr(0, Good.find(LastGood)) + LastGood + "-5\n"})
        EXPECT_TRUE(PreviousPlantMetrics(Damaged).Damaged) << Damaged;
}

// A program on PATH; empty when there is none.
std::string OnPath(const std::string& Name)
{
    std::istringstream Folders(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string Folder; std::getline(Folders, Folder, ':');)
        if (!Folder.empty() && ::access((Folder + "/" + Name).c_str(), X_OK) == 0)
            return Folder + "/" + Name;
    return {};
}

// The body of GET Path from 127.0.0.1:Port, read to the end within Timeout
// (at most 16 MiB); empty when the server did not answer in time.
std::string HttpGet(uint16_t Port, const std::string& Path, std::chrono::milliseconds Timeout)
{
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    struct TSocket {
        int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ~TSocket()
        {
            if (Fd >= 0)
                ::close(Fd);
        }
    } Socket;
    const int Fd = Socket.Fd;
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Fd < 0 || ::connect(Fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0)
        return {};
    const std::string Request = "GET " + Path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(Fd, Request.data(), Request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Request.size()))
        return {};
    std::string Reply;
    constexpr std::size_t Limit = 16 * 1024 * 1024;
    char Buffer[65536];
    for (;;) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
        pollfd Ready{Fd, POLLIN, 0};
        if (Left.count() <= 0 || ::poll(&Ready, 1, static_cast<int>(Left.count())) <= 0)
            return {};
        const ssize_t Got = ::recv(Fd, Buffer, sizeof Buffer, 0);
        if (Got < 0)
            return {};
        if (Got == 0)
            break;
        Reply.append(Buffer, static_cast<std::size_t>(Got));
        if (Reply.size() > Limit)
            return {};
    }
    const std::size_t Body = Reply.find("\r\n\r\n");
    return Reply.rfind("HTTP/1.", 0) == 0 && Reply.find(" 200 ") < Body ? Reply.substr(Body + 4) : std::string();
}

class PlantMetricsFile : public testing::Test {
protected:
    void Start(std::size_t Count, std::set<std::size_t> Differ, std::set<std::size_t> Silent)
    {
        sim::TPlantOptions Options;
        Options.Count = Count;
        Options.LineTiming = false;
        Options.Differ = std::move(Differ);
        Options.Silent = std::move(Silent);
        Plant_ = std::make_unique<sim::TPlantSimulator>(std::move(Options));
        sim::WritePlantInventory(*Plant_, Scratch_.Path(""));
        std::filesystem::create_directory(Scratch_.Path("textfile"));
    }
    cli_test::TFinished Audit(const std::vector<std::string>& More = {})
    {
        std::vector<std::string> Arguments{"audit", Inventory_, "--metrics", Metrics_};
        Arguments.insert(Arguments.end(), More.begin(), More.end());
        return cli_test::Run(Program, Arguments);
    }
    std::optional<double> LastGood() const
    {
        return ValueOf(test_support::TScratchFolder::Read(Metrics_), "varnolink_audit_last_good_timestamp_seconds");
    }
    double Ended() const
    {
        return ValueOf(test_support::TScratchFolder::Read(Metrics_), "varnolink_audit_end_timestamp_seconds")
            .value_or(-1);
    }

    test_support::TScratchFolder Scratch_;
    std::unique_ptr<sim::TPlantSimulator> Plant_;
    const std::string Inventory_ = Scratch_.Path("plant.csv");
    const std::string Metrics_ = Scratch_.Path("textfile/varnolink-plant.prom");
};

TEST_F(PlantMetricsFile, PromtoolAcceptsTheFileAndNodeExporterServesTheAuditsValues)
{
    Start(3, {2}, {3});
    const double Before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const cli_test::TFinished Run = Audit({"--json"});
    const double After = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_EQ(Run.ExitCode, 3) << Run.Err;
    const auto Differences = cli_test::Json(Run)["rows"][1]["differences"].toArray().size();
    ASSERT_GT(Differences, 0);
    EXPECT_EQ(std::filesystem::directory_iterator(Scratch_.Path("textfile"))->path().string(), Metrics_)
        << "the temporary file is gone";

    const std::string Promtool = OnPath("promtool");
    const std::string Exporter = OnPath("prometheus-node-exporter");
    if (Promtool.empty() || Exporter.empty())
        GTEST_SKIP() << "promtool or prometheus-node-exporter is not installed (scripts/install-deps)";
    const cli_test::TFinished Check =
        cli_test::Run("/bin/sh", {"-c", "exec \"$0\" check metrics <\"$1\"", Promtool, Metrics_});
    EXPECT_EQ(Check.ExitCode, 0) << Check.Out << Check.Err;

    cli_test::TChildProcess Served(Exporter, {"--web.listen-address=127.0.0.1:0",
                                              "--collector.textfile.directory=" + Scratch_.Path("textfile"),
                                              "--collector.disable-defaults", "--collector.textfile"});
    // The line after the one naming the port it listens on.
    ASSERT_TRUE(Served.WaitForErr("TLS is disabled", 30s)) << Served.ErrSoFar();
    const std::string Log = Served.ErrSoFar();
    const std::string Listening = "msg=\"Listening on\" address=127.0.0.1:";
    ASSERT_NE(Log.find(Listening), std::string::npos) << Log;
    const auto Port = static_cast<uint16_t>(std::stoi(Log.substr(Log.find(Listening) + Listening.size())));
    const std::string Scraped = HttpGet(Port, "/metrics", 30s);
    ASSERT_FALSE(Scraped.empty()) << "no answer on port " << Port;

    struct TCase {
        std::string Metric;
        TLabels Labels;
        std::optional<double> Value;
    };
    const TCase Cases[] = {
        {"node_textfile_scrape_error", {}, 0},
        {"varnolink_module_reached", {{"name", "module-001"}, {"location", "cabinet 1"}, {"inventory", Inventory_}}, 1},
        {"varnolink_module_reached", {{"name", "module-002"}}, 1},
        {"varnolink_module_reached", {{"name", "module-003"}, {"port", Plant_->PortName(3)}}, 0},
        {"varnolink_module_holds_file", {{"name", "module-001"}}, 1},
        {"varnolink_module_holds_file", {{"name", "module-002"}}, 0},
        {"varnolink_module_holds_file", {{"name", "module-003"}}, 0},
        {"varnolink_module_differing_fields", {{"name", "module-002"}}, static_cast<double>(Differences)},
        {"varnolink_module_differing_fields", {{"name", "module-003"}}, std::nullopt},
        {"varnolink_module_info", {{"name", "module-001"}, {"remote_id", "01"}, {"bios_version", "1.00a"}}, 1},
        {"varnolink_audit_modules", {{"result", "ok"}}, 1},
        {"varnolink_audit_modules", {{"result", "differs"}}, 1},
        {"varnolink_audit_modules", {{"result", "no reply"}}, 1},
        {"varnolink_audit_last_good_timestamp_seconds", {}, std::nullopt},
    };
    for (const TCase& Case : Cases)
        EXPECT_EQ(ValueOf(Scraped, Case.Metric, Case.Labels), Case.Value) << Case.Metric;
    const double End = ValueOf(Scraped, "varnolink_audit_end_timestamp_seconds").value_or(-1);
    EXPECT_GE(End, Before);
    EXPECT_LE(End, After);
    const double Duration = ValueOf(Scraped, "varnolink_audit_duration_seconds").value_or(-1);
    EXPECT_GT(Duration, 0);
    EXPECT_LE(Duration, After - Before);
}

TEST_F(PlantMetricsFile, TheLastGoodRunIsCarriedOverUntilAFileIsDamaged)
{
    Start(1, {}, {});
    ASSERT_EQ(Audit().ExitCode, 0);
    const double Good = Ended();
    EXPECT_EQ(LastGood(), Good);

    Plant_->SetState(1, sim::PlantDifferingState(1));
    ASSERT_EQ(Audit().ExitCode, 4);
    EXPECT_GE(Ended(), Good);
    EXPECT_EQ(LastGood(), Good) << "a drifting plant keeps the time it was last good";

    Scratch_.Write("textfile/varnolink-plant.prom", "varnolink_audit_last_good_timestamp_seconds 12");
    const cli_test::TFinished Damaged = Audit();
    EXPECT_EQ(Damaged.ExitCode, 4);
    EXPECT_NE(Damaged.Err.find("warning: the previous metrics " + Metrics_ + " are damaged"), std::string::npos)
        << Damaged.Err;
    EXPECT_EQ(LastGood(), std::nullopt);
}

}  // namespace
