// SPDX-License-Identifier: MIT
#pragma once

// The port enumeration lives in the toolkit-free ports library.
#include "main/ports/port_candidates.h"

namespace varnolink {}  // namespace varnolink
