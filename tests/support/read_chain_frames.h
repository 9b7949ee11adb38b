// SPDX-License-Identifier: MIT
#pragma once

// The fourteen reads of a whole configuration (READ CONFIG, the read-back
// of every save), byte for byte as the module receives them: the expected
// frames of the suites, written out rather than built.

#include <string>
#include <vector>

namespace test_support {

inline const std::vector<std::string> ReadChainFrames{
    "*00:0,00=00\r\n", "*01:0,00=00\r\n", "*02:0,00=00\r\n", "*03:0,00=00\r\n", "*04:0,00=00\r\n",
    "*05:0,00=00\r\n", "*06:0,00=00\r\n", "*07:0,00=00\r\n", "*08:0,00=00\r\n", "*09:0,00=00\r\n",
    "*10:0,00=00\r\n", "*11:0,00=00\r\n", "*12:0,00=00\r\n", "*13:0,00=00\r\n"};

}  // namespace test_support
