// SPDX-License-Identifier: MIT
// The telnet stream of a network port: decoding, negotiation, requests.
#include "cport/telnet_codec.h"

namespace cport {

using namespace telnet;

TTelnetCodec::TTelnetCodec(bool WithComPort) : with_com_port_(WithComPort) {}

int TTelnetCodec::IndexOf(uint8_t Option) {
    switch (Option) {
    case BINARY: return kBinary;
    case SGA: return kSga;
    case COM_PORT_OPTION: return kComPort;
    default: return -1;
    }
}

bool TTelnetCodec::WantLocal(int Index) const {
    return Index == kBinary || Index == kSga || (Index == kComPort && with_com_port_);
}

// The server controls the line through us, never the other way round: its
// WILL COM-PORT-OPTION is refused.
bool TTelnetCodec::WantRemote(int Index) const { return Index == kBinary || Index == kSga; }

namespace {

void Append(std::string& Out, uint8_t Verb, uint8_t Option) {
    Out.push_back(static_cast<char>(IAC));
    Out.push_back(static_cast<char>(Verb));
    Out.push_back(static_cast<char>(Option));
}

}  // namespace

std::string TTelnetCodec::Opening() {
    std::string out;
    for (int i = 0; i < kOptionCount; ++i) {
        static constexpr uint8_t kCodes[kOptionCount] = {BINARY, SGA, COM_PORT_OPTION};
        if (WantLocal(i) && local_[i] == qNo) {
            local_[i] = qWantYes;
            Append(out, WILL, kCodes[i]);
        }
        if (WantRemote(i) && remote_[i] == qNo) {
            remote_[i] = qWantYes;
            Append(out, DO, kCodes[i]);
        }
    }
    return out;
}

// Answers one negotiation command. A request for what is already in force
// is not answered (no loops); an option we do not want is refused.
void TTelnetCodec::Negotiate(uint8_t Verb, uint8_t Option, std::string& Reply) {
    const int i = IndexOf(Option);
    if (i < 0) {   // an option we do not know: refused when offered or asked for
        if (Verb == DO) Append(Reply, WONT, Option);
        if (Verb == WILL) Append(Reply, DONT, Option);
        return;
    }
    // DO and WILL: the option goes on at that side if we want it there (with
    // an answer only when it was off), else it is refused.
    const auto enable = [&](TQ& State, bool Wanted, uint8_t Agree, uint8_t Refuse) {
        if (!Wanted) {
            Append(Reply, Refuse, Option);
            return;
        }
        if (State == qNo) Append(Reply, Agree, Option);
        State = qYes;
    };
    // DONT and WONT: the option goes off at that side, answered when it was on.
    const auto disable = [&](TQ& State, uint8_t Answer) {
        if (State == qYes) Append(Reply, Answer, Option);
        State = qNo;
    };
    switch (Verb) {
    case DO: enable(local_[i], WantLocal(i), WILL, WONT); break;
    case DONT:
        if (local_[i] != qNo && i == kComPort) com_port_refused_ = true;
        disable(local_[i], WONT);
        break;
    case WILL: enable(remote_[i], WantRemote(i), DO, DONT); break;
    default: disable(remote_[i], DONT); break;   // WONT
    }
}

// A finished sub-negotiation: COM-PORT-OPTION messages of the server become
// notices; anything else (other options, a client command echoed back, an
// overlong or empty one) is dropped.
void TTelnetCodec::EndSub(TTelnetEvents& Events) {
    if (!sub_overflow_ && sub_.size() >= 2 && static_cast<uint8_t>(sub_[0]) == COM_PORT_OPTION) {
        const auto command = static_cast<uint8_t>(sub_[1]);
        if (command >= ServerOffset)
            Events.notices.push_back({static_cast<uint8_t>(command - ServerOffset), sub_.substr(2)});
    }
    sub_.clear();
    sub_overflow_ = false;
}

size_t TTelnetCodec::Decode(const unsigned char* In, size_t Length, unsigned char* Out,
                            TTelnetEvents& Events) {
    if (Length > 0) heard_ = true;
    size_t out = 0;
    for (size_t i = 0; i < Length; ++i) {
        const unsigned char c = In[i];
        switch (state_) {
        case sData:
            if (c == IAC)
                state_ = sIac;
            else
                Out[out++] = c;
            break;
        case sIac:
            if (c == IAC) {
                Out[out++] = c;
                state_ = sData;
            } else if (c >= WILL && c <= DONT) {
                verb_ = c;
                state_ = sVerb;
            } else if (c == SB) {
                sub_.clear();
                sub_overflow_ = false;
                state_ = sSub;
            } else {
                state_ = sData;   // NOP, GA, a stray SE and the other commands carry nothing
            }
            break;
        case sVerb:
            Negotiate(verb_, c, Events.reply);
            state_ = sData;
            break;
        case sSub:
            if (c == IAC) {
                state_ = sSubIac;
            } else if (sub_.size() < kSubLimit) {
                sub_.push_back(static_cast<char>(c));
            } else {
                sub_overflow_ = true;
            }
            break;
        case sSubIac:
            if (c == IAC) {
                if (sub_.size() < kSubLimit)
                    sub_.push_back(static_cast<char>(c));
                else
                    sub_overflow_ = true;
                state_ = sSub;
            } else if (c == SE) {
                EndSub(Events);
                state_ = sData;
            } else {
                // A command inside a sub-negotiation ends it unfinished; the
                // command itself counts.
                sub_.clear();
                sub_overflow_ = false;
                state_ = sIac;
                --i;
            }
            break;
        }
    }
    return out;
}

void TTelnetCodec::EscapeData(const void* Data, size_t Length, std::string& Out) {
    const auto* bytes = static_cast<const unsigned char*>(Data);
    Out.reserve(Out.size() + Length);
    for (size_t i = 0; i < Length; ++i) {
        Out.push_back(static_cast<char>(bytes[i]));
        if (bytes[i] == IAC) Out.push_back(static_cast<char>(IAC));
    }
}

std::string TTelnetCodec::Request(TComPortCommand Command, const std::string& Value) {
    std::string out{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COM_PORT_OPTION),
                    static_cast<char>(Command)};
    EscapeData(Value.data(), Value.size(), out);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
    return out;
}

std::string TTelnetCodec::SetBaudRate(uint32_t BitsPerSecond) {
    const std::string value{static_cast<char>(BitsPerSecond >> 24), static_cast<char>(BitsPerSecond >> 16),
                            static_cast<char>(BitsPerSecond >> 8), static_cast<char>(BitsPerSecond)};
    return Request(cpSetBaudRate, value);
}

std::string TTelnetCodec::RequestByte(TComPortCommand Command, uint8_t Value) {
    return Request(Command, std::string(1, static_cast<char>(Value)));
}

uint32_t TTelnetCodec::BaudRateOf(const std::string& Value) {
    if (Value.size() != 4) return 0;
    uint32_t rate = 0;
    for (char c : Value) rate = (rate << 8) | static_cast<uint8_t>(c);
    return rate;
}

}  // namespace cport
