// SPDX-License-Identifier: MIT
// A commissioning run over the simulator standing for a series of modules:
// rows, IDs and results; the dry run and the operator's Enter; a stop in the
// middle of a module's writes. (A run stopped and started again with its log
// is tested through the program, tests/cli.)

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "main/engine/commission_loop.h"
#include "main/files/id_list.h"
#include "main/engine/series_commissioning.h"
#include "sim/module_simulator.h"
#include "tests/support/scratch_folder.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;

TModuleConfig Template()
{
    TModuleConfig Config = FactoryModuleConfig;
    Config.BaudIndex = 5;
    Config.Direction[0] = 0x5A;
    Config.PowerOnDefault[4] = 0x0F;
    return Config;
}

// Descriptor that the test makes readable: a stop, or the operator's Enter.
class TSignal {
public:
    TSignal() : Fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~TSignal() { ::close(Fd_); }
    TSignal(const TSignal&) = delete;
    TSignal& operator=(const TSignal&) = delete;
    int Fd() const { return Fd_; }
    void Raise()
    {
        const uint64_t One = 1;
        [[maybe_unused]] const ssize_t Written = ::write(Fd_, &One, sizeof One);
    }

private:
    int Fd_;
};

class TRecordingObserver final : public TCommissionObserver {
public:
    void WouldChange(std::size_t, uint8_t ID, const std::vector<std::string>& Changes) override
    {
        DryRuns.push_back({ID, Changes});
    }
    void ModuleFinished(std::size_t Number, const TCommissionRow& Row, std::chrono::milliseconds) override
    {
        Numbers.push_back(Number);
        if (AfterRow)
            AfterRow(Row);
    }
    void ConnectNextModule(bool) override
    {
        if (OnConnectNext)
            OnConnectNext();
    }

    std::vector<std::size_t> Numbers;
    std::vector<std::pair<uint8_t, std::vector<std::string>>> DryRuns;
    std::function<void(const TCommissionRow&)> AfterRow;
    std::function<void()> OnConnectNext;
};

class SeriesCommissioningTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        Connection_.reset();
        Sim_.reset();
    }

    void StartSimulator(varnolink::sim::TSeriesOptions Series,
                        std::function<void(const varnolink::sim::TRequestRecord&)> OnRequest = {})
    {
        varnolink::sim::TSimulatorOptions Options;
        Options.Series = Series;
        Options.OnRequest = std::move(OnRequest);
        Sim_ = std::make_unique<varnolink::sim::TModuleSimulator>(Options);
        Sim_->Start();
        Connection_ = std::make_unique<TModuleConnection>();
        Connection_->Open(Sim_->DevicePath());
    }

    // One run to its end; a log unless Plan is a dry run.
    TCommissionSummary Run(const std::string& IDs, int StopFd = -1, int EnterFd = -1, bool DryRun = false,
                           bool NextOnEnter = false)
    {
        std::unique_ptr<TCommissionLog> Log;
        TCommissionPlan Plan{Template(), ParseIDList(IDs), {}, DryRun, NextOnEnter, {}};
        if (!DryRun) {
            Log = std::make_unique<TCommissionLog>(LogPath_);
            Plan.Done = Log->Done();
        }
        TConnectionCommissionLine Line(*Connection_, Sim_->DevicePath(), 1500ms);
        TSeriesCommissioning Series(Line, Plan, Log.get(), Observer_);
        RunCommissionLoop(Series, StopFd, EnterFd);
        return Series.Summary();
    }

    std::vector<TCommissionRow> LogRows() const { return ParseCommissionLog(Folder_.Read(LogPath_), LogPath_); }

    test_support::TScratchFolder Folder_;
    const std::string LogPath_ = Folder_.Path("log.csv");
    std::unique_ptr<varnolink::sim::TModuleSimulator> Sim_;
    std::unique_ptr<TModuleConnection> Connection_;
    TRecordingObserver Observer_;
    TSignal Stop_;
};

TEST_F(SeriesCommissioningTest, FiveModulesWithAFaultyAndASilentOneInTheMiddle)
{
    StartSimulator({true, 1000ms, 2, 4});
    const TCommissionSummary Summary = Run("01-03");
    EXPECT_TRUE(Summary.Complete);
    EXPECT_EQ(Summary.Ok, 3u);
    EXPECT_EQ(Summary.Failed, 2u);
    EXPECT_EQ(Summary.Skipped, 0u);

    // A failed module's ID goes to the next module; only "ok" uses an ID up.
    struct TExpected {
        const char* IdAfter;
        TCommissionResult Result;
        const char* Detail;
    };
    const std::vector<TExpected> Expected{
        {"01", TCommissionResult::Ok, ""}, {"02", TCommissionResult::Mismatch, "direction.P0: wrote 5A, read 5B"},
        {"02", TCommissionResult::Ok, ""}, {"03", TCommissionResult::NoReply, "write P5 direction"},
        {"03", TCommissionResult::Ok, ""},
    };
    const auto Rows = LogRows();
    ASSERT_EQ(Rows.size(), Expected.size());
    for (std::size_t I = 0; I < Rows.size(); ++I) {
        SCOPED_TRACE("row " + std::to_string(I + 1));
        EXPECT_EQ(Rows[I].IdAfter, Expected[I].IdAfter);
        EXPECT_EQ(Rows[I].Result, Expected[I].Result);
        EXPECT_EQ(Rows[I].Detail, Expected[I].Detail);
        EXPECT_EQ(Rows[I].IdBefore, "01");
        EXPECT_EQ(Rows[I].Port, Sim_->DevicePath());
        EXPECT_EQ(Rows[I].BiosName, "VARNOLINK I/O");
        EXPECT_EQ(Rows[I].ConfigBefore, ModuleConfigHex(FactoryModuleConfig));
    }
    TModuleConfig Written = Template();
    Written.RemoteId = 0x01;
    EXPECT_EQ(Rows[0].ConfigAfter, ModuleConfigHex(Written));
    EXPECT_EQ(Rows[3].ConfigAfter, "");
    EXPECT_EQ(DoneIDs(Rows), (std::set<uint8_t>{1, 2, 3})) << "each ID on one good module";
    EXPECT_EQ(Observer_.Numbers, (std::vector<std::size_t>{1, 2, 2, 3, 3}));
    EXPECT_EQ(Sim_->ModuleNumber(), 0u) << "the fifth module was verified and left";
}

TEST_F(SeriesCommissioningTest, DryRunWritesNothingAndEnterTakesTheSameModuleAgain)
{
    StartSimulator({true, 1000ms, 0, 0});
    int Enter[2];
    ASSERT_EQ(::pipe(Enter), 0);
    Observer_.OnConnectNext = [&] { EXPECT_EQ(::write(Enter[1], "\n", 1), 1); };
    const TCommissionSummary Summary = Run("07,09", -1, Enter[0], true, true);
    ::close(Enter[0]);
    ::close(Enter[1]);

    EXPECT_TRUE(Summary.Complete);
    ASSERT_EQ(Observer_.DryRuns.size(), 2u);
    EXPECT_EQ(Observer_.DryRuns[1].first, 0x09);
    EXPECT_EQ(Observer_.DryRuns[1].second,
              (std::vector<std::string>{"remote_id 01 -> 09", "baud 9600 -> 38400", "direction.P0 00 -> 5A",
                                        "power_on_default.P5 FF -> 0F"}));
    for (const auto& Request : Sim_->RequestLog())
        EXPECT_EQ(Request.Frame[4], '0') << "a write was sent: " << Request.Frame;
    EXPECT_FALSE(std::filesystem::exists(LogPath_));
}

TEST_F(SeriesCommissioningTest, StopDuringTheWritesFinishesTheRequestAndRecordsInterrupted)
{
    // The simulator's thread raises the stop at the third write; the signal
    // outlives the simulator (a fixture member, the simulator ends in TearDown).
    StartSimulator({true, 1000ms, 0, 0}, [this, Writes = 0](const varnolink::sim::TRequestRecord& Request) mutable {
        if (Request.Frame[4] == '1' && ++Writes == 3)
            Stop_.Raise();
    });
    Connection_->SetStopDescriptor(Stop_.Fd());
    const TCommissionSummary Summary = Run("01-05", Stop_.Fd());
    EXPECT_TRUE(Summary.Interrupted);
    EXPECT_EQ(Summary.Failed, 1u);
    const auto Rows = LogRows();
    ASSERT_EQ(Rows.size(), 1u);
    EXPECT_EQ(Rows[0].Result, TCommissionResult::Interrupted);
    EXPECT_EQ(Rows[0].Detail, "written: remote_id baud direction.P0; not sent: direction.P1 direction.P2 direction.P4 "
                              "direction.P5 power_on_default.P0 power_on_default.P1 power_on_default.P2 "
                              "power_on_default.P4 power_on_default.P5");
    EXPECT_EQ(Rows[0].IdAfter, "01");
}

}  // namespace
