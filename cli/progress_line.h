// SPDX-License-Identifier: MIT
// The progress line of a connection on a terminal.
#pragma once

#include <optional>
#include <string>

#include "main/engine/module_connection.h"

namespace varnolink {

// One line on a terminal's stderr that says what the connection is doing:
// the request, n of m, and while a reply is awaited the seconds left. It is
// rewritten in place on every request and every second, and erased when a
// chain ends and when the line goes. Off, it writes nothing at all.
class TProgressLine {
public:
    TProgressLine(int Fd, bool On) : Fd_(Fd), On_(On) {}
    ~TProgressLine() { Erase(); }
    TProgressLine(const TProgressLine&) = delete;
    TProgressLine& operator=(const TProgressLine&) = delete;

    // Listens to Connection's events and ticks (does nothing when off).
    void Follow(TModuleConnection& Connection);
    // Before other text goes to the same terminal.
    void Erase();
    // Any line of the caller's own (does nothing when off).
    void ShowText(const std::string& Text);

private:
    void Show(const TChainSession& Session);
    // When the countdown shown next changes (nullopt: nothing counts down).
    std::optional<TSessionTime> NextSecond(const TChainSession& Session) const;
    void Put(const std::string& Text);

    int Fd_;
    bool On_;
    bool Shown_ = false;
    std::string What_;
    std::string LastText_;
    std::optional<TSessionTime> CountedTo_;  // the deadline the figure shown counts to
    long long SecondsShown_ = 0;
};

}  // namespace varnolink
