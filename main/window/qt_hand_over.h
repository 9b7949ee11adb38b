// SPDX-License-Identifier: MIT
#pragma once

// Serves the serial component's hand-over queue from the Qt event loop.
//
// The port's event thread queues its events for the main thread and calls
// the wake hook; the hook posts a call to the Qt loop (thread-safe), and the
// loop runs cport::CheckSynchronize() on the main thread, inside the message
// loop or inside a reply wait. While an object of this class lives, its hook
// is installed; the destructor removes it.
class TQtHandOver {
public:
    TQtHandOver();
    ~TQtHandOver();
    TQtHandOver(const TQtHandOver&) = delete;
    TQtHandOver& operator=(const TQtHandOver&) = delete;
};
