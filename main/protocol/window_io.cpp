#include "main/protocol/window_io.h"

TProtocolWindow::~TProtocolWindow() = default;
