// SPDX-License-Identifier: MIT
#pragma once

namespace varnolink {

// Serves the serial component's hand-over queue from the Qt event loop.
//
// The Qt loop watches the component's wait descriptor of the main thread
// (a QSocketNotifier) and runs cport::CheckSynchronize() whenever it is
// readable, inside the message loop or inside a reply wait: the event
// threads' hand-overs are served there, and the main thread reads its
// ports' received bytes there itself, so a reply reaches the window after
// one wake of the main thread. While an object of this class lives the
// descriptor is watched; the last one to go stops watching it.
class TQtHandOver {
public:
    TQtHandOver();
    ~TQtHandOver();
    TQtHandOver(const TQtHandOver&) = delete;
    TQtHandOver& operator=(const TQtHandOver&) = delete;
};

}  // namespace varnolink
