// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "main/protocol/device_protocol.h"
#include "tests/protocol/protocol_fakes.h"

namespace {

struct TRequestCase {
    const char* Name;
    std::function<void(TDeviceProtocol&)> Build;
    std::string Frame;
    TJournal Marking;  // window calls before the first byte, in order
};

TJournal PortMarking(const std::string& Row)
{
    TJournal Marking{"Field " + Row + "=??"};
    for (int Bit = 0; Bit < 8; ++Bit)
        Marking.push_back("Caption " + Row + "." + std::to_string(Bit) + "=?");
    return Marking;
}

std::vector<TRequestCase> AllRequests()
{
    using P = TDeviceProtocol;
    return {
        {"ReadBIOSVersion", &P::ReadBIOSVersion, "*00:0,00=00\r\n", {"BiosName=", "BIOSVersion="}},
        {"ReadStatus", &P::ReadStatus, "*01:0,00=00\r\n", {"StatusDisplay="}},
        {"ReadIDCode", &P::ReadIDCode, "*02:0,00=00\r\n", {"IDDisplay="}},
        {"ReadBaudrate", &P::ReadBaudrate, "*03:0,00=00\r\n", {"ComboBaud=-1"}},
        {"Read_P0_Direction", &P::Read_P0_Direction, "*04:0,00=00\r\n", PortMarking("DIR0")},
        {"Read_P1_Direction", &P::Read_P1_Direction, "*05:0,00=00\r\n", PortMarking("DIR1")},
        {"Read_P2_Direction", &P::Read_P2_Direction, "*06:0,00=00\r\n", PortMarking("DIR2")},
        {"Read_P4_Direction", &P::Read_P4_Direction, "*07:0,00=00\r\n", PortMarking("DIR3")},
        {"Read_P5_Direction", &P::Read_P5_Direction, "*08:0,00=00\r\n", PortMarking("DIR4")},
        {"Read_P0_Default", &P::Read_P0_Default, "*09:0,00=00\r\n", PortMarking("DEF0")},
        {"Read_P1_Default", &P::Read_P1_Default, "*10:0,00=00\r\n", PortMarking("DEF1")},
        {"Read_P2_Default", &P::Read_P2_Default, "*11:0,00=00\r\n", PortMarking("DEF2")},
        {"Read_P4_Default", &P::Read_P4_Default, "*12:0,00=00\r\n", PortMarking("DEF3")},
        {"Read_P5_Default", &P::Read_P5_Default, "*13:0,00=00\r\n", PortMarking("DEF4")},
        {"SaveIDCode", [](P& D) { D.SaveIDCode("A5"); }, "*02:1,A5=00\r\n", {}},
        {"SaveBaudrate", [](P& D) { D.SaveBaudrate(3); }, "*03:1,03=00\r\n", {}},
        {"Save_P0_Direction", [](P& D) { D.Save_P0_Direction(0x01); }, "*04:1,01=00\r\n", {}},
        {"Save_P1_Direction", [](P& D) { D.Save_P1_Direction(0x23); }, "*05:1,23=00\r\n", {}},
        {"Save_P2_Direction", [](P& D) { D.Save_P2_Direction(0xF0); }, "*06:1,F0=00\r\n", {}},
        {"Save_P4_Direction", [](P& D) { D.Save_P4_Direction(0x4A); }, "*07:1,4A=00\r\n", {}},
        {"Save_P5_Direction", [](P& D) { D.Save_P5_Direction(0x5B); }, "*08:1,5B=00\r\n", {}},
        {"Save_P0_Default", [](P& D) { D.Save_P0_Default(0x0C); }, "*09:1,0C=00\r\n", {}},
        {"Save_P1_Default", [](P& D) { D.Save_P1_Default(0x1D); }, "*10:1,1D=00\r\n", {}},
        {"Save_P2_Default", [](P& D) { D.Save_P2_Default(0x2E); }, "*11:1,2E=00\r\n", {}},
        {"Save_P4_Default", [](P& D) { D.Save_P4_Default(0xFF); }, "*12:1,FF=00\r\n", {}},
        {"Save_P5_Default", [](P& D) { D.Save_P5_Default(0x00); }, "*13:1,00=00\r\n", {}},
        {"Save_Setup_to_Default", &P::Save_Setup_to_Default, "*99:1,00=00\r\n", {}},
        // Arguments the builders pass through unchecked.
        {"SaveIDCode empty", [](P& D) { D.SaveIDCode(""); }, "*02:1,=00\r\n", {}},
        {"SaveIDCode one digit", [](P& D) { D.SaveIDCode("7"); }, "*02:1,7=00\r\n", {}},
        {"SaveIDCode lower case", [](P& D) { D.SaveIDCode("a5"); }, "*02:1,a5=00\r\n", {}},
        {"SaveBaudrate 7", [](P& D) { D.SaveBaudrate(7); }, "*03:1,07=00\r\n", {}},
        {"SaveBaudrate none selected", [](P& D) { D.SaveBaudrate(-1); }, "*03:1,0-1=00\r\n", {}},
    };
}

class RequestBuilders : public ::testing::TestWithParam<TRequestCase>, protected TProtocolUnderTest {};

TEST_P(RequestBuilders, MarksFieldsThenWritesFrameOneBytePerCall)
{
    const TRequestCase& Case = GetParam();

    // A decoded reply first, so the builder's reset of the flag is visible.
    Protocol.AnalysisPacket(CodeReply("01", "00"));
    ASSERT_EQ(Protocol.ReplyReceived(), 1);
    Journal.clear();

    std::vector<int> FlagAtWrite;
    Port.BeforeWrite = [&] { FlagAtWrite.push_back(Protocol.ReplyReceived()); };

    Case.Build(Protocol);

    TJournal Expected = Case.Marking;
    for (const char Byte : Case.Frame)
        Expected.push_back("byte:" + std::string(1, Byte));
    EXPECT_EQ(Journal, Expected);
    EXPECT_EQ(Port.Written, Case.Frame);
    EXPECT_EQ(Port.WriteCalls, static_cast<int>(Case.Frame.size()));
    ASSERT_FALSE(FlagAtWrite.empty());
    EXPECT_EQ(FlagAtWrite.front(), 0) << "ReplyReceived must be 0 before the first byte";
    EXPECT_EQ(Protocol.ReplyReceived(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllRequests, RequestBuilders, ::testing::ValuesIn(AllRequests()),
                         [](const ::testing::TestParamInfo<TRequestCase>& Info) {
                             std::string Name = Info.param.Name;
                             for (char& Ch : Name)
                                 if (!std::isalnum(static_cast<unsigned char>(Ch)))
                                     Ch = '_';
                             return Name;
                         });

class RequestFailures : public ::testing::Test, protected TProtocolUnderTest {};

TEST_F(RequestFailures, RefusedWriteStopsTheFrameAndPropagates)
{
    Port.FailAtWrite = 4;
    EXPECT_THROW(Protocol.Save_P2_Direction(0xF0), TFakePortError);
    EXPECT_EQ(Port.Written, "*06:");
    EXPECT_EQ(Protocol.ReplyReceived(), 0);

    // The next request starts a whole new frame.
    Port.FailAtWrite = -1;
    Port.Written.clear();
    Protocol.Save_P2_Direction(0xF0);
    EXPECT_EQ(Port.Written, "*06:1,F0=00\r\n");
}

TEST_F(RequestFailures, RefusedFirstByteOfAReadLeavesTheMarkingDone)
{
    Port.FailAtWrite = 0;
    EXPECT_THROW(Protocol.Read_P4_Default(), TFakePortError);
    EXPECT_TRUE(Port.Written.empty());
    EXPECT_EQ(Journal.size(), 9u);
    EXPECT_EQ(Journal.front(), "Field DEF3=??");
}

TEST_F(RequestFailures, PortRowOutsideTheTableIsRefusedBeforeAnythingHappens)
{
    EXPECT_THROW(Protocol.ReadPort(TPortGrid::Direction, 5), std::out_of_range);
    EXPECT_THROW(Protocol.SavePort(TPortGrid::Default, -1, 0x12), std::out_of_range);
    EXPECT_TRUE(Journal.empty());
    EXPECT_EQ(Port.WriteCalls, 0);
}

}  // namespace
