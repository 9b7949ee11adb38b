// SPDX-License-Identifier: MIT
// Feeds arbitrary text to the configuration file parser. A text it accepts
// must give a configuration that, written out and parsed again, is the
// same; a text it refuses must be refused with an EConfigFile only.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "main/files/config_file.h"
#include "tests/fuzz/fuzz_input.h"

using namespace varnolink;
using fuzz_test::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string_view Text = fuzz_test::TextOf(Data, Size);
    const auto Accepted = fuzz_test::Accepted<EConfigFile>([Text] { return ParseConfigText(Text, "fuzz.ini"); });
    if (!Accepted)
        return 0;
    const TConfigFile& Parsed = *Accepted;
    const TModuleConfig Config = Parsed.Config.Over(FactoryModuleConfig);
    const std::string Written = ConfigFileText(Config, &Parsed.Identity, "2026-01-01T00:00:00Z");
    const TConfigFile Again = ParseConfigText(Written, "again.ini");
    Require(Again.Config == Complete(Config), "the written file reads back differently");
    Require(ConfigFileText(Again.Config.Over(TModuleConfig{}), &Again.Identity, Again.ReadAt) == Written,
            "the text of a file read back is not the same bytes");
    return 0;
}
