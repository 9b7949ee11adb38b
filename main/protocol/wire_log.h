// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "main/protocol/port_io.h"
#include "main/protocol/transaction_chains.h"

// What went over the serial line, as events for a wire log: each request
// frame sent, each reply line received, the characters the reply assembler
// drops, and what the line's user reports (a time-out, an error, the device
// gone). One formatter turns an event into one log line; the command line's
// -v and the window's wire log print the same lines.
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

// The meaning of one of our own request frames: "read P2 direction",
// "write Remote ID A7", "write baud rate 03 (9600)"; empty when the frame is
// not laid out as a request.
std::string DescribeRequestFrame(std::string_view Frame);

// The meaning of a reply line (without its CR): the request it answers and
// its value, "read P2 direction → 0F"; "reply to ..." when it answers a
// request other than Outstanding (a late reply). Empty if it does not decode.
std::string DescribeReplyLine(std::string_view Line, const std::optional<TChainStep>& Outstanding);

// A protocol port that reports what passes through it to an observer, then
// hands it on unchanged. Frames are reported when their LF is written;
// received characters are cut into lines as the reply assembler does.
class TWireTap final : public TProtocolPort {
public:
    explicit TWireTap(TProtocolPort& Inner) : Inner_(Inner) {}

    void SetObserver(TWireObserver* Observer) { Observer_ = Observer; }
    TWireObserver* Observer() const { return Observer_; }

    // Starts the clock of the events (the port has just been opened) and
    // forgets any partial frame or line.
    void Restart();

    // The request whose frame was sent last.
    const std::optional<TChainStep>& Outstanding() const { return Outstanding_; }

    // An event of the line's user, stamped and passed to the observer.
    void Report(TWireEventKind Kind, std::string Meaning);

    int WriteBytes(const void* Buffer, int Count) override;
    int ReadText(std::string& Text, int Count) override;

private:
    void Emit(TWireEventKind Kind, std::string Raw, std::string Meaning);
    void TakeReceived(char Ch);
    void FlushNoise();

    TProtocolPort& Inner_;
    TWireObserver* Observer_ = nullptr;
    std::chrono::steady_clock::time_point Start_ = std::chrono::steady_clock::now();
    std::string Frame_;
    std::string Line_;           // from the last "*"
    std::string Noise_;          // characters outside any line
    bool AfterLineEnd_ = false;  // one LF right after a CR belongs to that line
    std::optional<TChainStep> Outstanding_;
};
