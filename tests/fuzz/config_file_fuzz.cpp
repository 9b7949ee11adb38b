// SPDX-License-Identifier: MIT
// Feeds arbitrary text to the configuration file parser. A text it accepts
// must give a configuration that, written out and parsed again, is the
// same; a text it refuses must be refused with an EConfigFile only.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "main/files/config_file.h"

using namespace varnolink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
    TConfigFile Parsed;
    try {
        Parsed = ParseConfigText(Text, "fuzz.ini");
    } catch (const EConfigFile&) {
        return 0;
    }
    const TModuleConfig Config = Parsed.Config.Over(FactoryModuleConfig);
    const std::string Written = ConfigFileText(Config, &Parsed.Identity, "2026-01-01T00:00:00Z");
    const TConfigFile Again = ParseConfigText(Written, "again.ini");
    if (!(Again.Config == Complete(Config))) {
        std::fprintf(stderr, "config_file_fuzz: the written file reads back differently\n");
        std::abort();
    }
    if (ConfigFileText(Again.Config.Over(TModuleConfig{}), &Again.Identity, Again.ReadAt) != Written) {
        std::fprintf(stderr, "config_file_fuzz: the text of a file read back is not the same bytes\n");
        std::abort();
    }
    return 0;
}
