// SPDX-License-Identifier: MIT
#include "main/protocol/port_io.h"

TProtocolPort::~TProtocolPort() = default;
