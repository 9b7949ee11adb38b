// SPDX-License-Identifier: MIT
// varnolink's plant commands as a program against the simulated plant (a
// raw TCP port per module): every row result and exit code, rows sharing a
// port, a module dropping out during apply, Ctrl-C during apply, backup then
// apply of the backup, find, a bad inventory, and the --json object and the
// HTML report telling the same story.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "sim/plant_simulator.h"
#include "tests/cli/child_process.h"
#include "tests/cli/json_output.h"
#include "tests/cli/request_gate.h"
#include "tests/cli/varnolink_program.h"
#include "tests/support/scratch_folder.h"

namespace {

using namespace std::chrono_literals;
using cli_test::Json;
using cli_test::Program;
using cli_test::TFinished;
using varnolink::sim::TPlantOptions;
using varnolink::sim::TPlantSimulator;

TFinished Varnolink(const std::vector<std::string>& Arguments)
{
    return cli_test::Run(Program, Arguments);
}

// The "result" of every row, in order.
std::vector<std::string> Results(const QJsonObject& Object)
{
    std::vector<std::string> List;
    for (const QJsonValue& Row : Object["rows"].toArray())
        List.push_back(Row["result"].toString().toStdString());
    return List;
}

std::size_t WriteFrames(const TPlantSimulator& Plant, std::size_t Number)
{
    const std::vector<std::string> Frames = Plant.Requests(Number);
    return static_cast<std::size_t>(
        std::count_if(Frames.begin(), Frames.end(), [](const std::string& F) { return F.find(":1,") == 3; }));
}

class PlantCommands : public testing::Test {
protected:
    // A plant without line timing; its inventory in the scratch folder.
    void Start(TPlantOptions Options)
    {
        Plant_ = std::make_unique<TPlantSimulator>(std::move(Options));
        varnolink::sim::WritePlantInventory(*Plant_, Scratch_.Path(""));
        Inventory_ = Scratch_.Path("plant.csv");
    }
    static TPlantOptions Plant(std::size_t Count)
    {
        TPlantOptions Options;
        Options.Count = Count;
        Options.LineTiming = false;
        return Options;
    }
    // Inventory lines: the header, then the modules' lines as numbered.
    std::string InventoryOf(const std::vector<std::size_t>& Lines, const std::string& Name)
    {
        std::ifstream In(Inventory_);
        std::vector<std::string> All;
        for (std::string Line; std::getline(In, Line);)
            All.push_back(Line);
        std::string Text = All[0] + "\n";
        for (const std::size_t Line : Lines)
            Text += All[Line] + "\n";
        return Scratch_.Write(Name, Text);
    }

    test_support::TScratchFolder Scratch_;
    std::unique_ptr<TPlantSimulator> Plant_;
    std::string Inventory_;
};

TEST_F(PlantCommands, AuditRowsAndExitCodesAndTheReportTellsTheSameStory)
{
    TPlantOptions Options = Plant(3);
    Options.Differ = {2};
    Options.Silent = {3};
    Start(Options);

    const std::string Report = Scratch_.Path("audit.html");
    const TFinished All = Varnolink({"audit", Inventory_, "--json", "--report", Report});
    EXPECT_EQ(All.ExitCode, 3) << "an unreachable module outranks a differing one";
    const QJsonObject Object = Json(All);
    EXPECT_EQ(Results(Object), (std::vector<std::string>{"ok", "differs", "no reply"}));
    const QJsonObject Differing = Object["rows"][1].toObject();
    EXPECT_EQ(Differing["differences"][0]["field"].toString(), "direction.P0");
    EXPECT_EQ(Object["rows"][2]["request"].toString(), "read identity");
    EXPECT_EQ(Object["totals"]["unreachable"].toInt(), 1);
    for (std::size_t Number = 1; Number <= 3; ++Number)
        EXPECT_EQ(WriteFrames(*Plant_, Number), 0u);

    std::ifstream Page(Report);
    const std::string Html((std::istreambuf_iterator<char>(Page)), std::istreambuf_iterator<char>());
    std::vector<std::string> Cells;
    auto Match = QRegularExpression("<td class=\"result\">([^<]*)</td>").globalMatch(QString::fromStdString(Html));
    while (Match.hasNext())
        Cells.push_back(Match.next().captured(1).toStdString());
    EXPECT_EQ(Cells, Results(Object));

    EXPECT_EQ(Varnolink({"audit", InventoryOf({1, 2}, "reached.csv")}).ExitCode, 4);
    const TFinished Good = Varnolink({"audit", InventoryOf({1}, "good.csv")});
    EXPECT_EQ(Good.ExitCode, 0) << Good.Err;
    EXPECT_NE(Good.Out.find("1 module: 1 ok"), std::string::npos) << Good.Out;
}

TEST_F(PlantCommands, BackupThenApplyOfTheBackupRestoresEveryModuleExactly)
{
    Start(Plant(3));
    const std::string Folder = Scratch_.Path("backup");
    ASSERT_EQ(Varnolink({"backup", Inventory_, "-o", Folder}).ExitCode, 0);

    std::vector<varnolink::sim::TModuleState> Kept;
    for (std::size_t Number = 1; Number <= 3; ++Number) {
        Kept.push_back(Plant_->State(Number));
        Plant_->SetState(Number, varnolink::sim::PlantDifferingState(Number));
    }
    Plant_->SetState(2, Kept[1]);  // one module left as it was

    const TFinished Apply =
        Varnolink({"apply", Folder + "/plant.csv", "--json", "--backup-dir", Scratch_.Path("kept")});
    EXPECT_EQ(Apply.ExitCode, 0) << Apply.Err;
    const QJsonObject Object = Json(Apply);
    EXPECT_EQ(Results(Object), (std::vector<std::string>{"written", "unchanged", "written"}));
    EXPECT_EQ(Object["rows"][0]["written"].toArray().size(), 12);
    for (std::size_t Number = 1; Number <= 3; ++Number)
        EXPECT_EQ(Plant_->State(Number), Kept[Number - 1]) << "module " << Number;
    EXPECT_EQ(WriteFrames(*Plant_, 2), 0u) << "a module holding its file gets no write frame";
    EXPECT_TRUE(std::filesystem::exists(Object["rows"][0]["backup"].toString().toStdString()));
}

TEST_F(PlantCommands, ApplySaysWhatEachModuleHoldsWhenOneDropsOutAndRowsShareAPort)
{
    TPlantOptions Options = Plant(2);
    Options.Drop = {2};
    Options.DropAfterRequests = 20;  // the read's 14, then the sixth write
    Start(Options);
    for (std::size_t Number = 1; Number <= 2; ++Number)
        Plant_->SetState(Number, varnolink::sim::PlantDifferingState(Number));
    // Module 1 on two rows: written by the first, the second finds it done.
    const std::string Twice = Scratch_.Write(
        "twice.csv", "name,port,config\na," + Plant_->PortName(1) + ",module-001.ini\na-again," + Plant_->PortName(1) +
                         ",module-001.ini\nb," + Plant_->PortName(2) + ",module-002.ini\n");
    const TFinished Apply = Varnolink({"apply", Twice, "--json", "--backup-dir", Scratch_.Path("kept")});
    EXPECT_EQ(Apply.ExitCode, 3);
    const QJsonObject Object = Json(Apply);
    EXPECT_EQ(Results(Object), (std::vector<std::string>{"written", "unchanged", "port error"}));
    const QJsonObject Dropped = Object["rows"][2].toObject();
    EXPECT_EQ(Dropped["written"].toArray().size(), 5);
    EXPECT_EQ(Dropped["unconfirmed"].toString(), "direction.P4");
    EXPECT_EQ(Dropped["not_sent"].toArray().size(), 6);
}

TEST_F(PlantCommands, CtrlCDuringApplyEndsEveryLineAfterItsRequestAndReportsEachModule)
{
    TPlantOptions Options = Plant(3);
    Options.LineTiming = true;
    Start(Options);
    for (std::size_t Number = 1; Number <= 3; ++Number)
        Plant_->SetState(Number, varnolink::sim::PlantDifferingState(Number));
    // Each line passes 18 of its 40 requests (the read's 14, then four
    // writes) and holds the next one: Ctrl-C comes while every line is in
    // the middle of its writes, however slow the machine.
    cli_test::TRequestGate Gate({Plant_->Port(1), Plant_->Port(2), Plant_->Port(3)}, 18);
    std::string Inventory;
    {
        std::ifstream In(Inventory_);
        std::stringstream Text;
        Text << In.rdbuf();
        Inventory = Text.str();
    }
    for (std::size_t Number = 1; Number <= 3; ++Number) {
        const std::string Direct = Plant_->PortName(Number) + ",";
        Inventory.replace(Inventory.find(Direct), Direct.size(), Gate.PortName(Number - 1) + ",");
    }
    cli_test::TChildProcess Apply(
        Program, {"apply", Scratch_.Write("gated.csv", Inventory), "--json", "--backup-dir", Scratch_.Path("kept")},
        /*ErrOnTerminal=*/true);
    ASSERT_TRUE(Gate.WaitUntilAllHold(30s)) << "the writes never began on every module";
    for (std::size_t Number = 1; Number <= 3; ++Number)
        EXPECT_EQ(Plant_->Requests(Number).size(), 18u) << "module " << Number;
    Apply.Signal(SIGINT);
    // The stop is pending before any line can go on: each ends after the
    // request it has on the line.
    Gate.Release();
    const TFinished Run = Apply.Finish();
    EXPECT_EQ(Run.ExitCode, 130);
    const QJsonObject Object = Json(Run);
    for (const QJsonValue& Row : Object["rows"].toArray()) {
        EXPECT_EQ(Row["result"].toString(), "stopped");
        // Whatever the module acknowledged, had on the line or never got
        // adds up to the twelve fields of a write.
        const qsizetype Fields = Row["written"].toArray().size() + Row["not_sent"].toArray().size() +
                                 (Row["unconfirmed"].isString() ? 1 : 0);
        EXPECT_EQ(Fields, 12) << Run.Out;
    }
}

TEST_F(PlantCommands, FindNamesWhoAnswersOnEachPort)
{
    TPlantOptions Options = Plant(2);
    Options.Silent = {2};
    Start(Options);
    const TFinished Find = Varnolink({"find", Plant_->PortName(1), Plant_->PortName(2), "socket://127.0.0.1:1",
                                      "--wait", "300", "--inventory", Inventory_, "--json"});
    EXPECT_EQ(Find.ExitCode, 0);
    const QJsonObject Object = Json(Find);
    EXPECT_EQ(Results(Object), (std::vector<std::string>{"found", "no answer", "port error"}));
    EXPECT_EQ(Object["rows"][0]["inventory_module"].toString(), "module-001");
}

TEST_F(PlantCommands, ABadInventoryIsRefusedWithItsPlaceBeforeAnyPortIsOpened)
{
    Start(Plant(1));
    const struct {
        std::string Text, Message;
    } Cases[] = {
        {"name,config\nm,module-001.ini\n", ":1: column \"port\": missing from the header row"},
        {"name,port,config\nm,P,module-001.ini\nm,P,module-001.ini\n", ":3: column \"name\""},
        {"name,port,config\nm,P,missing.ini\n", ":2: column \"config\""},
    };
    for (const auto& Case : Cases) {
        const std::string Port = Plant_->PortName(1);
        std::string Text = Case.Text;
        for (std::size_t At; (At = Text.find(",P,")) != std::string::npos;)
            Text.replace(At, 3, "," + Port + ",");
        const TFinished Run = Varnolink({"audit", Scratch_.Write("bad.csv", Text)});
        EXPECT_EQ(Run.ExitCode, 1);
        EXPECT_NE(Run.Err.find(Case.Message), std::string::npos) << Run.Err;
    }
    EXPECT_EQ(Plant_->Connections(1), 0u);
}

}  // namespace

// A plant larger than the open-file limit allows at once is served in turns:
// no module is reported unreachable for want of descriptors.
TEST_F(PlantCommands, APlantBeyondTheOpenFileLimitIsServedInTurns)
{
    Start(Plant(120));
    const TFinished Audit =
        cli_test::Run("/usr/bin/prlimit", {"--nofile=300:300", Program, "audit", Inventory_, "--json"});
    EXPECT_EQ(Audit.ExitCode, 0) << Audit.Err;
    const std::vector<std::string> Rows = Results(Json(Audit));
    EXPECT_EQ(Rows.size(), 120u);
    EXPECT_EQ(std::count(Rows.begin(), Rows.end(), "ok"), 120);
}
