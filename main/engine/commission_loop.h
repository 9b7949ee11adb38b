// SPDX-License-Identifier: MIT
#pragma once

#include "main/engine/series_commissioning.h"

namespace varnolink {

// Runs a commissioning run on this thread until it is finished: Poll on a
// half-second timer, and at once when the operator presses Enter. Waits in
// epoll; nothing spins.
//
// StopFd (-1: none) becomes readable when the operator asks to stop, a
// signalfd for SIGINT; it is watched, never read. Seen between two polls it
// ends the run between two modules. (The line's connection may watch the
// same descriptor, so that a stop during a module ends that module's
// request chain.)
//
// EnterFd (-1: none) carries the operator's lines, standard input: every
// line end means "the next module is connected". When it closes (or is a
// file or /dev/null, which cannot be waited on) while the run waits for the
// operator's word, nothing could ever move it on, so the run ends there.
void RunCommissionLoop(TSeriesCommissioning& Series, int StopFd, int EnterFd);

}  // namespace varnolink
