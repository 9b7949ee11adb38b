// SPDX-License-Identifier: MIT
// The RS-485 choice of a session: its text form, refusals naming the bad
// item, and the port settings a choice gives; the line rates a port takes.
#include "main/engine/module_line_settings.h"
#include "main/engine/rs485_choice.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace varnolink;

TEST(Rs485Choice, ReadsEveryItemInAnyOrder)
{
    const struct {
        const char* Text;
        TRs485Choice Expected;
    } Rows[] = {
        {"rts-on-send", {true, false, 0, 0, false}},
        {"rts-after-send", {false, true, 0, 0, false}},
        {"rts-on-send,rts-after-send,delay-before=2,delay-after=15,rx-during-tx", {true, true, 2, 15, true}},
        {"delay-after=2147483647,rx-during-tx,rts-after-send", {false, true, 0, 2147483647, true}},
    };
    for (const auto& Row : Rows)
        EXPECT_EQ(ParseRs485Choice(Row.Text), Row.Expected) << Row.Text;
}

TEST(Rs485Choice, RefusalsNameTheBadItem)
{
    const struct {
        const char* Text;
        const char* Named;  // in the message
    } Rows[] = {
        {"", "empty"},
        {"rts-on-send,,rx-during-tx", "''"},
        {"RTS-ON-SEND", "'RTS-ON-SEND'"},
        {"rts-on-send,rts-on-send", "given twice"},
        {"rts-on-send=1", "'rts-on-send=1'"},
        {"rts-on-send,delay-before", "'delay-before'"},
        {"rts-on-send,delay-after=-1", "'delay-after=-1'"},
        {"rts-on-send,delay-after=1ms", "'delay-after=1ms'"},
        {"rts-on-send,delay-before=2147483648", "'delay-before=2147483648'"},
        {"delay-before=1,rx-during-tx", "rts-on-send or rts-after-send"},
    };
    for (const auto& Row : Rows) {
        try {
            ParseRs485Choice(Row.Text);
            ADD_FAILURE() << "accepted: " << Row.Text;
        } catch (const std::invalid_argument& E) {
            EXPECT_NE(std::string(E.what()).find(Row.Named), std::string::npos) << Row.Text << ": " << E.what();
        }
    }
}

TEST(Rs485Choice, ModuleLineSettingsTurnTheModeOnAsChosenAndOffWithoutAChoice)
{
    cport::TComPort Port;
    ApplyModuleLineSettings(Port, ParseRs485Choice("rts-after-send,delay-before=3,delay-after=4,rx-during-tx"));
    const cport::TComRs485& R = Port.Rs485();
    EXPECT_TRUE(R.Enabled() && !R.RtsOnSend() && R.RtsAfterSend() && R.RxDuringTx());
    EXPECT_EQ(R.DelayBeforeSendMs(), 3);
    EXPECT_EQ(R.DelayAfterSendMs(), 4);
    ApplyModuleLineSettings(Port);
    EXPECT_TRUE(!R.Enabled() && R.RtsOnSend() && !R.RtsAfterSend() && !R.RxDuringTx());
    EXPECT_EQ(R.DelayBeforeSendMs() + R.DelayAfterSendMs(), 0);
}

// Every rate of the module reaches the port as that rate; another falls back
// to the module's default line.
TEST(ModuleLineSettings, EachModuleRateIsThePortsOwnRate)
{
    for (const int Baud : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
        EXPECT_EQ(cport::BaudRateToInt(ModuleLineRate(Baud)), Baud);
    EXPECT_EQ(ModuleLineRate(1234), cport::br9600);
}
