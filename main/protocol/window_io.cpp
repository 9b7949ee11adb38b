// SPDX-License-Identifier: MIT
#include "main/protocol/window_io.h"

TProtocolWindow::~TProtocolWindow() = default;
