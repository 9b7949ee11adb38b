// SPDX-License-Identifier: MIT
// The connection object against the module simulator on a pseudo-terminal:
// the frames it sends, reading and writing a whole configuration, the
// read-back compare, where a silent module stops a chain, a stop request,
// what the wire log sees, and two connections on one thread.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "main/engine/module_connection.h"
#include "sim/module_simulator.h"
#include "tests/support/chain_session_fakes.h"
#include "tests/support/read_chain_frames.h"
#include "tests/support/started_simulator.h"

using namespace varnolink;

namespace {

using namespace std::chrono_literals;
using varnolink::sim::TFaults;
using varnolink::sim::TModuleSimulator;
using varnolink::sim::TModuleState;

const TModuleConfig Wanted{0xA7, 6, {0x5A, 0x01, 0x02, 0x04, 0x08}, {0xFE, 0x10, 0x20, 0x40, 0x80}};
using Names = std::vector<std::string>;

class ModuleConnection : public testing::Test {
protected:
    void Start(const TFaults& Faults = {}, const TModuleState& State = {})
    {
        Simulator_ = test_support::StartSimulator(State, Faults);
        Connection_.SetWireObserver(&Log_);
        Connection_.Open(Simulator_->DevicePath());
    }

    // Starts a module that replies ReplyDelay late, and a thread that does
    // Act once the module has had Requests requests.
    std::thread StartSlowThen(std::chrono::milliseconds ReplyDelay, std::size_t Requests, std::function<void()> Act)
    {
        TFaults Slow;
        Slow.ReplyDelay = ReplyDelay;
        Start(Slow);
        return std::thread([this, Requests, Act = std::move(Act)] {
            Simulator_->WaitForRequests(Requests, 5s);
            Act();
        });
    }

    // The log outlives the connection, which reports its closing to it.
    TRecordingObserver Log_;
    std::unique_ptr<TModuleSimulator> Simulator_;
    TModuleConnection Connection_;
};

TEST_F(ModuleConnection, ReadsTheWholeConfigurationWithTheReadChainsFrames)
{
    TModuleState State;
    State.RemoteId = 0x3C;
    State.BaudIndex = 7;
    State.Directions = {0x11, 0x22, 0x33, 0x44, 0x55};
    Start({}, State);
    const TModuleReading Reading = Connection_.ReadConfig();
    EXPECT_EQ(Reading.Config, (TModuleConfig{0x3C, 7, {0x11, 0x22, 0x33, 0x44, 0x55}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));
    EXPECT_EQ(Reading.Identity.BiosName, "VARNOLINK I/O");
    EXPECT_EQ(Reading.Identity.StatusText, "Ready");
    EXPECT_EQ(Simulator_->Requests(), test_support::ReadChainFrames);
}

// (The frames of both chains are checked on the session.)
TEST_F(ModuleConnection, WritesAndFactoryValuesAreReadBackAlike)
{
    TModuleState State;
    State.RemoteId = 0x99;
    Start({}, State);
    TWriteResult Result = Connection_.WriteConfig(Wanted);
    EXPECT_TRUE(Result.Differences.empty());
    EXPECT_EQ(Result.ReadBack.Config, Wanted);
    Result = Connection_.WriteFactory();
    EXPECT_TRUE(Result.Differences.empty());
    EXPECT_EQ(Result.ReadBack.Config, FactoryModuleConfig);
    EXPECT_EQ(Simulator_->Requests().size(), 26u + 28u);
}

TEST_F(ModuleConnection, SilenceMidWriteNamesTheRequestAndWhatWasWritten)
{
    TFaults Silent;
    Silent.SilentCodes = {6};
    Start(Silent);
    Connection_.SetReplyWait(300ms);
    try {
        Connection_.WriteConfig(Wanted);
        FAIL() << "a silent module was taken as written";
    } catch (const EModuleNoReply& Error) {
        EXPECT_EQ(Error.Step().Code, 6);
        EXPECT_EQ(Error.Step().Mode, TRequestMode::Write);
        EXPECT_EQ(ModuleConfigFieldNames(Error.Written()),
                  (Names{"remote_id", "baud", "direction.P0", "direction.P1"}));
        EXPECT_EQ(FieldName(Error.Chain()->UnconfirmedField()), "direction.P2");
        EXPECT_EQ(Error.Chain()->UnsentFields().size(), 7u);
        EXPECT_STREQ(Error.what(), "no reply to write P2 direction within 300 ms");
    }
    // The chain ends at the first silence: nothing after the P2 write.
    EXPECT_EQ(Simulator_->Requests().size(), 5u);
    EXPECT_EQ(Log_.Lines.back(), "!  no reply to write P2 direction within 300 ms");
}

// Another thread changes the module between its write and its read-back
// (the second request of the read-back has come when it does so).
TEST_F(ModuleConnection, ReadBackThatDiffersNamesTheField)
{
    std::thread Changer = StartSlowThen(20ms, 14, [this] {
        TModuleState Changed = Simulator_->State();
        Changed.Defaults[4] = 0x00;
        Simulator_->SetState(Changed);
    });
    const TWriteResult Result = Connection_.WriteConfig(Wanted);
    Changer.join();
    EXPECT_EQ(ModuleConfigFieldNames(Result.Differences), Names{"power_on_default.P5"});
    EXPECT_EQ(Result.ReadBack.Config.PowerOnDefault[4], 0x00);
}

TEST_F(ModuleConnection, StopRequestEndsAfterTheRequestOnTheLine)
{
    std::thread Stopper = StartSlowThen(200ms, 3, [this] { Connection_.RequestStop(); });
    try {
        Connection_.WriteConfig(Wanted);
        ADD_FAILURE() << "the write was not stopped";
    } catch (const EModuleStopped& Error) {
        EXPECT_EQ(ModuleConfigFieldNames(Error.Written()), (Names{"remote_id", "baud", "direction.P0"}));
    }
    Stopper.join();
    EXPECT_EQ(Simulator_->Requests().size(), 3u);
}

TEST_F(ModuleConnection, WireLogShowsFramesRepliesAndNoise)
{
    TFaults Noisy;
    Noisy.Noise.Text = "x\x07";
    Start(Noisy);
    Connection_.Identify();
    ASSERT_EQ(Log_.Lines.size(), 4u);
    EXPECT_EQ(Log_.Lines[0].substr(0, 10), "-  opened ");
    EXPECT_EQ(Log_.Lines[1], ">  *00:0,00=00<CR><LF>  read identity");
    EXPECT_EQ(Log_.Lines[2], "?  x<07>  dropped: not part of a reply line");
    EXPECT_EQ(Log_.Lines[3], "<  *??:E00,00=VARNOLINK I/O 1.00a<CR>  read identity \u2192 VARNOLINK I/O 1.00a");
}

// Each connection runs its own loop, and nothing is kept per thread: two on
// one thread, either destroyed first, leave the other reading its module.
TEST(ModuleConnections, TwoOnOneThreadOutliveEachOtherInEitherOrder)
{
    for (const bool FirstGoesFirst : {true, false}) {
        SCOPED_TRACE(FirstGoesFirst ? "first created, first destroyed" : "last created, first destroyed");
        std::vector<std::unique_ptr<TModuleSimulator>> Simulators;
        std::vector<std::unique_ptr<TModuleConnection>> Connections;
        for (const uint8_t Id : {0x11, 0x22}) {
            TModuleState State;
            State.RemoteId = Id;
            Simulators.push_back(test_support::StartSimulator(State));
            Connections.push_back(std::make_unique<TModuleConnection>());
            Connections.back()->Open(Simulators.back()->DevicePath());
        }
        EXPECT_EQ(Connections[0]->ReadConfig().Config.RemoteId, 0x11);
        EXPECT_EQ(Connections[1]->ReadConfig().Config.RemoteId, 0x22);
        const std::size_t Gone = FirstGoesFirst ? 0 : 1;
        const std::size_t Kept = 1 - Gone;
        Connections[Gone].reset();
        EXPECT_EQ(Connections[Kept]->Identify().BiosName, "VARNOLINK I/O");
        EXPECT_EQ(Connections[Kept]->ReadConfig().Config.RemoteId, Kept == 0 ? 0x11 : 0x22);
        // A new one beside the survivor works as well.
        Connections[Gone] = std::make_unique<TModuleConnection>();
        Connections[Gone]->Open(Simulators[Gone]->DevicePath());
        EXPECT_EQ(Connections[Gone]->ReadConfig().Config.RemoteId, Gone == 0 ? 0x11 : 0x22);
        EXPECT_EQ(Connections[Kept]->ReadConfig().Config.RemoteId, Kept == 0 ? 0x11 : 0x22);
    }
}

}  // namespace
