// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "main/protocol/port_io.h"
#include "main/protocol/port_table.h"
#include "main/protocol/reply_assembler.h"
#include "main/protocol/reply_decoder.h"
#include "main/protocol/window_io.h"

// The module's line protocol as the main window drives it: the request
// builders, the receive handler that assembles reply lines, and the decoder
// that writes each reply into the window. Everything runs on the main thread;
// the window forwards its handlers here one to one and reads ReplyReceived()
// in its reply wait.
//
// Exceptions of the port (a refused write, a failed read) are not caught: a
// builder stops writing its frame at the failing byte and the error passes to
// its caller.
class TDeviceProtocol {
public:
    TDeviceProtocol(TProtocolWindow& Window, TProtocolPort& Port);
    TDeviceProtocol(const TDeviceProtocol&) = delete;
    TDeviceProtocol& operator=(const TDeviceProtocol&) = delete;

    // Received-characters handler: reads up to Count characters from the port
    // and feeds them to the line assembler, decoding each line at its CR.
    void ComPort1RxChar(int Count);

    // Checks one reply line and, if it is accepted, writes its value into
    // the window and sets ReplyReceived to 1. Other lines are ignored.
    void AnalysisPacket(const std::string& Line);

    // The reply line being received (bounded, see TReplyAssembler).
    const std::string& PacketBuffer() const { return Assembler_.Line(); }
    bool PacketBufferOverflowed() const { return Assembler_.Overflowed(); }

    // 0 from the moment a request is built, 1 once any reply has been decoded.
    uint8_t ReplyReceived() const { return ReplyReceived_; }

    // Read requests. Each clears ReplyReceived, blanks or marks the fields the
    // reply will fill, and writes its frame. None waits for the reply.
    void ReadBIOSVersion();
    void ReadStatus();
    void ReadIDCode();
    void ReadBaudrate();
    void ReadPort(TPortGrid Grid, int Row);

    void Read_P0_Direction() { ReadPort(TPortGrid::Direction, 0); }
    void Read_P1_Direction() { ReadPort(TPortGrid::Direction, 1); }
    void Read_P2_Direction() { ReadPort(TPortGrid::Direction, 2); }
    void Read_P4_Direction() { ReadPort(TPortGrid::Direction, 3); }
    void Read_P5_Direction() { ReadPort(TPortGrid::Direction, 4); }
    void Read_P0_Default() { ReadPort(TPortGrid::Default, 0); }
    void Read_P1_Default() { ReadPort(TPortGrid::Default, 1); }
    void Read_P2_Default() { ReadPort(TPortGrid::Default, 2); }
    void Read_P4_Default() { ReadPort(TPortGrid::Default, 3); }
    void Read_P5_Default() { ReadPort(TPortGrid::Default, 4); }

    // Write requests. Each clears ReplyReceived and writes its frame; the
    // window is not touched before sending.
    void SaveIDCode(const std::string& IDText);  // sent as it is, any length
    void SaveBaudrate(int Index);                // "0" + decimal index
    void SavePort(TPortGrid Grid, int Row, uint8_t Value);
    void Save_Setup_to_Default();

    void Save_P0_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 0, Value); }
    void Save_P1_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 1, Value); }
    void Save_P2_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 2, Value); }
    void Save_P4_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 3, Value); }
    void Save_P5_Direction(uint8_t Value) { SavePort(TPortGrid::Direction, 4, Value); }
    void Save_P0_Default(uint8_t Value) { SavePort(TPortGrid::Default, 0, Value); }
    void Save_P1_Default(uint8_t Value) { SavePort(TPortGrid::Default, 1, Value); }
    void Save_P2_Default(uint8_t Value) { SavePort(TPortGrid::Default, 2, Value); }
    void Save_P4_Default(uint8_t Value) { SavePort(TPortGrid::Default, 3, Value); }
    void Save_P5_Default(uint8_t Value) { SavePort(TPortGrid::Default, 4, Value); }

private:
    void Show(const TIdentityReply& Reply);
    void Show(const TStatusReply& Reply);
    void Show(const TIDCodeReply& Reply);
    void Show(const TBaudrateReply& Reply);
    void Show(const TPortReply& Reply);

    // One byte per WriteBytes call, from "*" to LF.
    void WriteFrame(const std::string& Frame);

    TProtocolWindow& Window_;
    TProtocolPort& Port_;
    TReplyAssembler Assembler_;
    uint8_t ReplyReceived_ = 0;
};
