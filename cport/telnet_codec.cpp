// SPDX-License-Identifier: MIT
// The telnet stream of a network port: decoding, negotiation, requests.
#include "cport/telnet_codec.h"

namespace cport {

using namespace telnet;

TTelnetCodec::TTelnetCodec(bool WithComPort) : WithComPort_(WithComPort) {}

int TTelnetCodec::IndexOf(uint8_t Option)
{
    switch (Option) {
    case BINARY:
        return OptionBinary;
    case SGA:
        return OptionSga;
    case ComPortOption:
        return OptionComPort;
    default:
        return -1;
    }
}

bool TTelnetCodec::WantLocal(int Index) const
{
    return Index == OptionBinary || Index == OptionSga || (Index == OptionComPort && WithComPort_);
}

// The server controls the line through us, never the other way round: its
// WILL COM-PORT-OPTION is refused.
bool TTelnetCodec::WantRemote(int Index) const
{
    return Index == OptionBinary || Index == OptionSga;
}

namespace {

void Append(std::string& Out, uint8_t Verb, uint8_t Option)
{
    Out.push_back(static_cast<char>(IAC));
    Out.push_back(static_cast<char>(Verb));
    Out.push_back(static_cast<char>(Option));
}

}  // namespace

std::string TTelnetCodec::Opening()
{
    std::string Out;
    for (int I = 0; I < OptionCount; ++I) {
        static constexpr uint8_t OptionCodes[OptionCount] = {BINARY, SGA, ComPortOption};
        if (WantLocal(I) && Local_[I] == qNo) {
            Local_[I] = qWantYes;
            Append(Out, WILL, OptionCodes[I]);
        }
        if (WantRemote(I) && Remote_[I] == qNo) {
            Remote_[I] = qWantYes;
            Append(Out, DO, OptionCodes[I]);
        }
    }
    return Out;
}

// A refusal (WONT or DONT) of an option, sent the first time only: the
// option stays refused, and a server repeating its request learns nothing
// new from the same answer.
void TTelnetCodec::Refuse(uint8_t Verb, uint8_t Option, std::string& Reply)
{
    std::bitset<256>& Refused = Verb == WONT ? RefusedWont_ : RefusedDont_;
    if (Refused.test(Option))
        return;
    Refused.set(Option);
    Append(Reply, Verb, Option);
}

// Answers one negotiation command. A request for what is already in force
// is not answered (no loops); an option we do not want is refused.
void TTelnetCodec::Negotiate(uint8_t Verb, uint8_t Option, std::string& Reply)
{
    const int I = IndexOf(Option);
    if (I < 0) {  // an option we do not know: refused when offered or asked for
        if (Verb == DO)
            Refuse(WONT, Option, Reply);
        if (Verb == WILL)
            Refuse(DONT, Option, Reply);
        return;
    }
    // DO and WILL: the option goes on at that side if we want it there (with
    // an answer only when it was off), else it is refused.
    const auto Enable = [&](TQ& State, bool Wanted, uint8_t Agree, uint8_t RefuseVerb) {
        if (!Wanted) {
            Refuse(RefuseVerb, Option, Reply);
            return;
        }
        if (State == qNo)
            Append(Reply, Agree, Option);
        State = qYes;
    };
    // DONT and WONT: the option goes off at that side, answered when it was on.
    const auto Disable = [&](TQ& State, uint8_t Answer) {
        if (State == qYes)
            Append(Reply, Answer, Option);
        State = qNo;
    };
    switch (Verb) {
    case DO:
        Enable(Local_[I], WantLocal(I), WILL, WONT);
        break;
    case DONT:
        if (Local_[I] != qNo && I == OptionComPort)
            ComPortRefused_ = true;
        Disable(Local_[I], WONT);
        break;
    case WILL:
        Enable(Remote_[I], WantRemote(I), DO, DONT);
        break;
    default:
        Disable(Remote_[I], DONT);
        break;  // WONT
    }
}

// A finished sub-negotiation: COM-PORT-OPTION messages of the server become
// notices; anything else (other options, a client command echoed back, an
// overlong or empty one) is dropped.
void TTelnetCodec::EndSub(TTelnetEvents& Events)
{
    if (SubLength_ <= SubLimit && Sub_.size() >= 2 && static_cast<uint8_t>(Sub_[0]) == ComPortOption) {
        const auto Command = static_cast<uint8_t>(Sub_[1]);
        if (Command >= ServerOffset)
            Events.Notices.push_back({static_cast<uint8_t>(Command - ServerOffset), Sub_.substr(2)});
    }
    Sub_.clear();
    SubLength_ = 0;
}

// One value byte of a sub-negotiation: kept up to SubLimit, counted always;
// past SubEndLimit the stream is given up.
void TTelnetCodec::AddToSub(unsigned char C)
{
    if (++SubLength_ <= SubLimit)
        Sub_.push_back(static_cast<char>(C));
    else if (SubLength_ > SubEndLimit)
        State_ = sBroken;
}

size_t TTelnetCodec::Decode(const unsigned char* In, size_t Length, unsigned char* Out, TTelnetEvents& Events)
{
    if (Length > 0)
        Heard_ = true;
    size_t Decoded = 0, Escaped = 0;
    for (size_t I = 0; I < Length && State_ != sBroken; ++I) {
        const unsigned char C = In[I];
        switch (State_) {
        case sData:
            if (C == IAC)
                State_ = sIac;
            else
                Out[Decoded++] = C;
            break;
        case sIac:
            if (C == IAC) {
                Out[Decoded++] = C;
                ++Escaped;
                State_ = sData;
            } else if (C >= WILL && C <= DONT) {
                Verb_ = C;
                State_ = sVerb;
            } else if (C == SB) {
                Sub_.clear();
                SubLength_ = 0;
                State_ = sSub;
            } else {
                State_ = sData;  // NOP, GA, a stray SE and the other commands carry nothing
            }
            break;
        case sVerb:
            Negotiate(Verb_, C, Events.Reply);
            State_ = sData;
            break;
        case sSub:
            if (C == IAC)
                State_ = sSubIac;
            else
                AddToSub(C);
            break;
        case sSubIac:
            if (C == IAC) {
                State_ = sSub;
                AddToSub(C);
            } else if (C == SE) {
                EndSub(Events);
                State_ = sData;
            } else {
                // A command inside a sub-negotiation ends it unfinished; the
                // command itself counts.
                Sub_.clear();
                SubLength_ = 0;
                State_ = sIac;
                --I;
            }
            break;
        case sBroken:
            break;
        }
    }
    Events.CommandBytes += Length - Decoded - Escaped;
    return Decoded;
}

void TTelnetCodec::EscapeData(const void* Data, size_t Length, std::string& Out)
{
    const auto* Bytes = static_cast<const unsigned char*>(Data);
    Out.reserve(Out.size() + Length);
    for (size_t I = 0; I < Length; ++I) {
        Out.push_back(static_cast<char>(Bytes[I]));
        if (Bytes[I] == IAC)
            Out.push_back(static_cast<char>(IAC));
    }
}

std::string TTelnetCodec::Request(TComPortCommand Command, const std::string& Value)
{
    std::string Out{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(ComPortOption),
                    static_cast<char>(Command)};
    EscapeData(Value.data(), Value.size(), Out);
    Out.push_back(static_cast<char>(IAC));
    Out.push_back(static_cast<char>(SE));
    return Out;
}

std::string TTelnetCodec::SetBaudRate(uint32_t BitsPerSecond)
{
    const std::string Value{static_cast<char>(BitsPerSecond >> 24), static_cast<char>(BitsPerSecond >> 16),
                            static_cast<char>(BitsPerSecond >> 8), static_cast<char>(BitsPerSecond)};
    return Request(cpSetBaudRate, Value);
}

std::string TTelnetCodec::RequestByte(TComPortCommand Command, uint8_t Value)
{
    return Request(Command, std::string(1, static_cast<char>(Value)));
}

uint32_t TTelnetCodec::BaudRateOf(const std::string& Value)
{
    if (Value.size() != 4)
        return 0;
    uint32_t Rate = 0;
    for (char C : Value)
        Rate = (Rate << 8) | static_cast<uint8_t>(C);
    return Rate;
}

}  // namespace cport
