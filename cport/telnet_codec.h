// SPDX-License-Identifier: MIT
// Internal: the telnet stream of a network port with the COM-PORT-OPTION
// (serial line control over telnet), as a pure state machine. No I/O: the
// network device feeds it what the socket delivered and sends what it hands
// back.
//
// Incoming (Decode): data bytes come out with doubled IACs undoubled;
// commands, option negotiation and sub-negotiations never reach the data,
// also when a sequence is split across any number of reads. Negotiation is
// answered at once (the answer goes to Reply): the client wants BINARY and
// SUPPRESS-GO-AHEAD in both directions and offers COM-PORT-OPTION itself
// (WILL, which servers answer with DO); every other option is refused, once
// per option and direction: a server that asks again and again is not
// answered again and again, so that no negotiation runs in a loop. A
// sub-negotiation keeps at most SubLimit bytes; one that runs past
// SubEndLimit without its end breaks the stream (Broken): a server that
// never ends one would otherwise swallow all that follows.
// COM-PORT-OPTION messages of the server (acknowledgements and the
// line-state and modem-state notices) are collected as TComPortNotice.
//
// Outgoing: EscapeData doubles IACs; the request builders give complete
// sub-negotiations, with IACs inside their values doubled as well.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cport {

namespace telnet {

// Commands.
inline constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, GA = 249, NOP = 241,
                         SE = 240;
// Options.
// (The echo option is not called ECHO: <termios.h> defines that name as a macro.)
inline constexpr uint8_t BINARY = 0, EchoOption = 1, SGA = 3, ComPortOption = 44;

// COM-PORT-OPTION commands, client to server; the server answers with the
// same number plus ServerOffset.
enum TComPortCommand : uint8_t {
    cpSignature = 0,
    cpSetBaudRate = 1,
    cpSetDataSize = 2,
    cpSetParity = 3,
    cpSetStopSize = 4,
    cpSetControl = 5,
    cpNotifyLineState = 6,
    cpNotifyModemState = 7,
    cpFlowControlSuspend = 8,
    cpFlowControlResume = 9,
    cpSetLineStateMask = 10,
    cpSetModemStateMask = 11,
    cpPurgeData = 12
};
inline constexpr uint8_t ServerOffset = 100;

// Values of SET-PARITY, SET-STOPSIZE, SET-CONTROL and PURGE-DATA.
enum TComPortParity : uint8_t {
    cpParityNone = 1,
    cpParityOdd = 2,
    cpParityEven = 3,
    cpParityMark = 4,
    cpParitySpace = 5
};
enum TComPortStopSize : uint8_t { cpStopOne = 1, cpStopTwo = 2, cpStopOneAndHalf = 3 };
enum TComPortControl : uint8_t {
    cpOutFlowNone = 1,
    cpOutFlowXonXoff = 2,
    cpOutFlowHardware = 3,
    cpBreakOn = 5,
    cpBreakOff = 6,
    cpDtrOn = 8,
    cpDtrOff = 9,
    cpRtsOn = 11,
    cpRtsOff = 12,
    cpInFlowNone = 14,
    cpInFlowXonXoff = 15,
    cpInFlowHardware = 16
};
enum TComPortPurge : uint8_t { cpPurgeReceive = 1, cpPurgeTransmit = 2, cpPurgeBoth = 3 };

// Line-state bits (NOTIFY-LINESTATE, SET-LINESTATE-MASK).
inline constexpr uint8_t LineTimeout = 0x80, LineTxShiftEmpty = 0x40, LineTxHoldEmpty = 0x20, LineBreak = 0x10,
                         LineFraming = 0x08, LineParity = 0x04, LineOverrun = 0x02, LineDataReady = 0x01;
// Modem-state bits (NOTIFY-MODEMSTATE, SET-MODEMSTATE-MASK).
inline constexpr uint8_t ModemCD = 0x80, ModemRI = 0x40, ModemDSR = 0x20, ModemCTS = 0x10, ModemDeltaCD = 0x08,
                         ModemRingEnd = 0x04, ModemDeltaDSR = 0x02, ModemDeltaCTS = 0x01;

}  // namespace telnet

// One COM-PORT-OPTION message from the server: its command with the server
// offset taken off, and its value bytes (undoubled).
struct TComPortNotice {
    uint8_t Command = 0;
    std::string Value;
    bool operator==(const TComPortNotice&) const = default;
};

// What one Decode call found besides data.
struct TTelnetEvents {
    std::string Reply;                    // negotiation answers, to send as they are
    std::vector<TComPortNotice> Notices;  // COM-PORT-OPTION messages, in order
    size_t CommandBytes = 0;              // input bytes that were no data (a doubled IAC counts as data)
};

class TTelnetCodec {
public:
    // WithComPort: offer COM-PORT-OPTION (rfc2217://); without it only
    // BINARY and SUPPRESS-GO-AHEAD are asked for.
    explicit TTelnetCodec(bool WithComPort = true);

    // The client's opening offers, sent once right after connecting.
    std::string Opening();

    // Decodes In[0..Length) into Out (which may be In itself: the output is
    // never longer than the input); returns the number of data bytes.
    size_t Decode(const unsigned char* In, size_t Length, unsigned char* Out, TTelnetEvents& Events);

    // The server has agreed to the COM-PORT-OPTION (DO), or refused it (DONT).
    bool ComPortAccepted() const { return Local_[OptionComPort] == qYes; }
    bool ComPortRefused() const { return ComPortRefused_; }
    // Both directions binary: every byte value passes as data.
    bool Binary() const { return Local_[OptionBinary] == qYes && Remote_[OptionBinary] == qYes; }
    // Anything at all has come from the server.
    bool HeardFromServer() const { return Heard_; }
    // A sub-negotiation ran past SubEndLimit: nothing more is decoded.
    bool Broken() const { return State_ == sBroken; }

    // Data with every IAC doubled, appended to Out.
    static void EscapeData(const void* Data, size_t Length, std::string& Out);

    // COM-PORT-OPTION requests, complete with IAC SB ... IAC SE.
    static std::string Request(telnet::TComPortCommand Command, const std::string& Value);
    static std::string SetBaudRate(uint32_t BitsPerSecond);
    static std::string RequestByte(telnet::TComPortCommand Command, uint8_t Value);

    // The baud rate of a SET-BAUDRATE value (network byte order); 0 if not four bytes.
    static uint32_t BaudRateOf(const std::string& Value);

    // Longest sub-negotiation kept; longer ones are dropped whole.
    static constexpr size_t SubLimit = 64;
    // Longest sub-negotiation waited through for its end.
    static constexpr size_t SubEndLimit = 4096;

private:
    // Per-option negotiation state (RFC 1143, without the queue bit: the
    // client never changes its mind).
    enum TQ : uint8_t { qNo, qYes, qWantYes };
    enum TOptionIndex : uint8_t { OptionBinary, OptionSga, OptionComPort, OptionCount };
    enum TState : uint8_t { sData, sIac, sVerb, sSub, sSubIac, sBroken };

    static int IndexOf(uint8_t Option);
    bool WantLocal(int Index) const;
    bool WantRemote(int Index) const;
    void Negotiate(uint8_t Verb, uint8_t Option, std::string& Reply);
    void Refuse(uint8_t Verb, uint8_t Option, std::string& Reply);
    void EndSub(TTelnetEvents& Events);
    void AddToSub(unsigned char C);

    bool WithComPort_;
    TQ Local_[OptionCount]{};   // we do the option (WILL side)
    TQ Remote_[OptionCount]{};  // the server does it (DO side)
    bool ComPortRefused_ = false;
    bool Heard_ = false;
    TState State_ = sData;
    uint8_t Verb_ = 0;
    std::string Sub_;
    size_t SubLength_ = 0;  // bytes of the sub-negotiation so far, kept or not
    // Options refused so far, by the verb of the refusal (WONT, DONT): each
    // is refused once.
    std::bitset<256> RefusedWont_, RefusedDont_;
};

}  // namespace cport
