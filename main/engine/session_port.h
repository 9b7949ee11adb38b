// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cport/comport.h"
#include "main/engine/chain_session.h"
#include "main/engine/module_errors.h"
#include "main/engine/rs485_choice.h"
#include "main/engine/wire_log.h"

namespace varnolink {

class TEpollLoop;

// One module's serial port with its session, driven by a loop: the port is
// opened with the module's line settings and no line events, so it runs no
// event thread; the loop watches Descriptor() and calls Readable, and the
// received bytes go straight into the session. Requests are written whole.
// Every session event goes to the wire log and then to OnEvent.
class TSessionPort {
public:
    TSessionPort();
    ~TSessionPort();  // leaves its loop and closes the port
    TSessionPort(const TSessionPort&) = delete;
    TSessionPort& operator=(const TSessionPort&) = delete;

    // PORT as the tool takes it: a path, "ttyUSB0", "socket://HOST:PORT".
    // EModulePort when the port cannot be opened.
    void Open(const std::string& PortName);
    // Opens as Open does, but a network port's connect, negotiation and
    // telnet check are steps of the loop, each with its own deadline, so that
    // a server that does not answer holds nobody else: Opening() is true
    // meanwhile, and OnOpenEnded tells how the open ended (null: the port is
    // open). A local device opens at once; EModulePort at once for a port
    // that cannot even begin. A stop request abandons an open under way.
    void BeginOpen(const std::string& PortName);
    bool Opening() const { return Opening_; }
    std::function<void(const EModulePort* Failure)> OnOpenEnded;
    // For a caller that opens many ports in a row: a raw network port
    // (socket://) does not wait at Open for a telnet server's greeting;
    // first bytes that are one end the chain as a port error instead.
    void CheckTelnetAtFirstBytes() { TelnetAtFirstBytes_ = true; }
    // The line's speed in baud: the module's 9600 unless set (one of the
    // module's eight rates); on an open port it changes at once.
    void SetLineSpeed(int Baud);
    // The kernel's RS-485 mode for this line (none: off). A device without
    // it refuses it at Open (EModulePort, "the device has no RS-485 mode").
    void SetRs485(const std::optional<TRs485Choice>& Choice);
    int LineSpeed() const { return LineSpeed_; }
    void Close();
    bool IsOpen() const { return Port_.Connected(); }
    const std::string& DevicePath() const { return DevicePath_; }
    // The descriptor the loop watches while the port is open; -1 when closed
    // or once the device is gone.
    int Descriptor() const;
    // What the loop watches Descriptor() for (epoll's flags).
    uint32_t WatchEvents() const;
    // When the loop must call TimePassed at the latest: the open's step or
    // the session's deadline.
    std::optional<TSessionTime> NextDeadline();
    bool DeviceLost() const { return Lost_; }

    // The loop that serves the port takes any use of the session as a change.
    TChainSession& Session();
    TWireLog& WireLog() { return WireLog_; }
    std::function<void(const TSessionEvent&)> OnEvent;

    // Starts a chain and writes its first request. A port that is closed or
    // whose device is gone ends the chain at once.
    void Start(TChainPlan Plan, TSessionTime Now);
    // The descriptor reported EpollEvents: ReadInput, then Settle.
    void Readable(uint32_t EpollEvents, TSessionTime Now);
    // The loop: the session's deadline may have passed.
    void TimePassed(TSessionTime Now);
    void RequestStop();
    void StopNow();

private:
    friend class TEpollLoop;

    // Tells the loop that serves the port that its descriptor, what it waits
    // for or its deadline may have changed.
    void Touch();
    void Lose(const std::string& Reason);
    // The open in steps: the next step, and its end.
    void StepOpen();
    void EndOpen(const EModulePort* Failure);
    void AbandonOpen();
    // The port has opened (either way of opening).
    void Opened();
    EModulePort OpenFailure(const cport::EComPort& Error) const;
    // Reads what has arrived into the session (or takes the open's next
    // step); a request the input queued stays queued until Settle. The loop
    // reads every port of a round this way and looks at its stop requests
    // once before settling them, so that a stop raised before a reply was
    // sent ends the chain before that reply's next request goes out.
    void ReadInput(uint32_t EpollEvents, TSessionTime Now);
    // Writes what the session has to send, then hands its events on.
    void Settle();

    cport::TComPort Port_;
    // A reply answers only its own request here: a reply to another ends the chain.
    TChainSession Session_{TChainSession::TPace::Continuous, TChainSession::TReplyMatch::SameCode};
    TWireLog WireLog_;
    std::string DevicePath_;
    int Descriptor_ = -1;
    bool Lost_ = false;
    bool TelnetAtFirstBytes_ = false;
    bool Opening_ = false;
    int LineSpeed_ = 9600;
    std::optional<TRs485Choice> Rs485_;
    bool FirstBytesPending_ = false;  // a raw network port whose first bytes are still to be looked at
    TEpollLoop* Loop_ = nullptr;      // the loop that serves it, and its place there
    uint32_t LoopSlot_ = 0;
};

}  // namespace varnolink
