// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "main/engine/chain_session.h"

namespace varnolink {

// What went over the serial line, as events for a wire log: each request
// frame sent, each reply line and what the decoder made of it, the bytes it
// dropped, and what the line's user reports (a time-out, an error, the
// device gone). One formatter turns an event into one log line; the command
// line's -v and the window's wire log print the same lines, made from the
// session's own events, so the log says what the one decoder decided.
enum class TWireEventKind {
    Sent,        // a request frame, from "*" to LF
    Received,    // a reply line that decodes, through its CR
    Noise,       // received characters that form no reply (dropped or ignored)
    TimeOut,     // no reply within the wait
    Error,       // the port refused an operation
    DeviceLost,  // the device went away under the open port
    Note,        // anything else worth a line (opened, closed, stopped)
};

struct TWireEvent {
    TWireEventKind Kind = TWireEventKind::Note;
    double ElapsedMs = 0;  // since the port was opened
    std::string Raw;       // the bytes as they were on the line (Sent, Received, Noise)
    std::string Meaning;   // "read P2 direction", "read P2 direction → 0F", ...
};

class TWireObserver {
public:
    virtual ~TWireObserver();
    virtual void OnWireEvent(const TWireEvent& Event) = 0;
};

// The bytes with CR and LF as <CR> and <LF>, every other byte outside
// printable ASCII as <xx> in hexadecimal.
std::string VisibleText(std::string_view Raw);

// One line, no line end:
//   "    12.3 ms  >  *06:0,00=00<CR><LF>  read P2 direction"
//   "    58.9 ms  <  *??:E06,00=0F<CR>  read P2 direction → 0F"
//   "  5060.2 ms  !  no reply to read P4 direction within 5000 ms"
std::string FormatWireEvent(const TWireEvent& Event);

// The meaning of a request: "read P2 direction", "write Remote ID A7",
// "write baud rate 03 (9600)".
std::string DescribeRequestStarted(const TRequestStarted& Request);

// The meaning of a decoded reply: the request it answers and its value,
// "read P2 direction → 0F"; "reply to ... (late or unasked)" when it answers
// a request other than the one sent last.
std::string DescribeReply(const TReplyDecoded& Reply);

// Turns one session's events into wire events for an observer, stamped
// with the time since the port was opened.
class TWireLog {
public:
    void SetObserver(TWireObserver* Observer) { Observer_ = Observer; }
    TWireObserver* Observer() const { return Observer_; }

    // Starts the clock of the events: the port has just been opened.
    void Restart()
    {
        Start_ = std::chrono::steady_clock::now();
        EchoNoted_ = false;
    }

    void Show(const TSessionEvent& Event);
    // An event of the line's user (opened, closed, an error, the device gone).
    void Report(TWireEventKind Kind, std::string Meaning);

private:
    void Emit(TWireEventKind Kind, std::string Raw, std::string Meaning);

    TWireObserver* Observer_ = nullptr;
    bool EchoNoted_ = false;
    std::chrono::steady_clock::time_point Start_ = std::chrono::steady_clock::now();
};

}  // namespace varnolink
