// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "main/protocol/device_protocol.h"
#include "main/protocol/port_io.h"
#include "main/protocol/window_io.h"

// One sequence of everything the protocol does to the outside, so tests can
// check the order of window marking and frame bytes. Window calls are logged
// as "<element>=<text>", each written byte as "byte:<char>".
using TJournal = std::vector<std::string>;

inline std::string GridRowName(TPortGrid Grid, int Row)
{
    return (Grid == TPortGrid::Direction ? "DIR" : "DEF") + std::to_string(Row);
}

class TRecordingWindow final : public TProtocolWindow {
public:
    explicit TRecordingWindow(TJournal& Journal) : Journal_(Journal) {}

    void SetBiosNameDisplay(const std::string& Text) override { Log("BiosName=" + Text); }
    void SetBIOSVersionDisplay(const std::string& Text) override { Log("BIOSVersion=" + Text); }
    void SetStatusConnect(const std::string& Text) override { Log("StatusConnect=" + Text); }
    void SetStatusDisplay(const std::string& Text) override { Log("StatusDisplay=" + Text); }
    void SetIDDisplay(const std::string& Text) override { Log("IDDisplay=" + Text); }
    void SetComboBaudIndex(int Index) override { Log("ComboBaud=" + std::to_string(Index)); }
    void DisplayPortReply(TPortGrid Grid, int Row, const std::string& Data) override
    {
        Log("Reply " + GridRowName(Grid, Row) + "=" + Data);
    }
    void SetByteFieldText(TPortGrid Grid, int Row, const std::string& Text) override
    {
        Log("Field " + GridRowName(Grid, Row) + "=" + Text);
    }
    void SetBitCaption(TPortGrid Grid, int Row, int Bit, const std::string& Caption) override
    {
        Log("Caption " + GridRowName(Grid, Row) + "." + std::to_string(Bit) + "=" + Caption);
    }

private:
    void Log(std::string Entry) { Journal_.push_back(std::move(Entry)); }
    TJournal& Journal_;
};

struct TFakePortError : std::runtime_error {
    TFakePortError() : std::runtime_error("write refused") {}
};

// Records every WriteBytes call (each must carry exactly one byte) and serves
// ReadText from a queue of scripted received bytes.
class TFakePort final : public TProtocolPort {
public:
    explicit TFakePort(TJournal& Journal) : Journal_(Journal) {}

    int WriteBytes(const void* Buffer, int Count) override
    {
        EXPECT_EQ(Count, 1) << "the protocol writes one byte per call";
        if (BeforeWrite)
            BeforeWrite();
        if (FailAtWrite == WriteCalls)
            throw TFakePortError();
        ++WriteCalls;
        const std::string Bytes(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count));
        Written += Bytes;
        Journal_.push_back("byte:" + Bytes);
        return Count;
    }

    int ReadText(std::string& Text, int Count) override
    {
        ++ReadCalls;
        const std::size_t Take =
            std::min(static_cast<std::size_t>(Count), Incoming_.size() - ReadPos_);
        Text.assign(Incoming_, ReadPos_, Take);
        ReadPos_ += Take;
        if (ReadPos_ == Incoming_.size()) {
            Incoming_.clear();
            ReadPos_ = 0;
        }
        return static_cast<int>(Take);
    }

    void Receive(std::string_view Bytes) { Incoming_ += Bytes; }
    std::size_t Pending() const { return Incoming_.size() - ReadPos_; }

    std::string Written;
    int WriteCalls = 0;
    int ReadCalls = 0;
    int FailAtWrite = -1;                // index of the write call that throws
    std::function<void()> BeforeWrite;  // runs at every write call, before it

private:
    TJournal& Journal_;
    std::string Incoming_;
    std::size_t ReadPos_ = 0;
};

// The protocol core between a recording window and a fake port, with one
// journal of both: what every protocol suite sets up.
struct TProtocolUnderTest {
    // Delivers bytes as one received-characters event.
    void Event(std::string_view Bytes)
    {
        Port.Receive(Bytes);
        Protocol.ComPort1RxChar(static_cast<int>(Bytes.size()));
    }

    TJournal Journal;
    TRecordingWindow Window{Journal};
    TFakePort Port{Journal};
    TDeviceProtocol Protocol{Window, Port};
};

// A 13-character reply: "*??:E" code "," "xx" "=" data.
inline std::string CodeReply(std::string_view Code, std::string_view Data,
                             std::string_view Ignored = "00")
{
    if (Code.size() + Data.size() + Ignored.size() != 6)
        throw std::logic_error("not a 13-character reply");
    return "*??:E" + std::string(Code) + "," + std::string(Ignored) + "=" + std::string(Data);
}

// A 30-character identity reply with a 13-character name and 5-character version.
inline std::string IdentityReply(std::string_view Name, std::string_view Version,
                                 char Separator = ' ')
{
    if (Name.size() != 13 || Version.size() != 5)
        throw std::logic_error("not a 30-character identity reply");
    return "*??:E00,00=" + std::string(Name) + Separator + std::string(Version);
}
