// SPDX-License-Identifier: MIT
#pragma once

// What every fuzz target does with its input: reads it as text, or as a first
// byte that chooses how the rest is used; and ends the run when a property
// fails, so that libFuzzer keeps the input that broke it.

#include <errno.h>  // program_invocation_short_name

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace fuzz_test {

// Unless Condition holds, ends the run with What on standard error, after
// the target's name.
inline void Require(bool Condition, const char* What)
{
    if (!Condition) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, What);
        std::abort();
    }
}

// What Parse returns, or nothing when it refuses its input with a TRefusal,
// the error type by which it says that the input is not one it reads.
template <typename TRefusal, typename TParse>
auto Accepted(TParse&& Parse) -> std::optional<std::invoke_result_t<TParse>>
{
    try {
        return std::forward<TParse>(Parse)();
    } catch (const TRefusal&) {
        return std::nullopt;
    }
}

// The input's bytes as text.
inline std::string_view TextOf(const uint8_t* Data, std::size_t Size)
{
    return {reinterpret_cast<const char*>(Data), Size};
}

// An input whose first byte chooses something (a parser, a mode, a cutting)
// and whose rest is the text it is used on.
struct THeadedInput {
    uint8_t Head;
    std::string_view Rest;
};

// An empty input reads as a head of 0 with no rest, as the input "\0" does.
inline THeadedInput HeadedInput(const uint8_t* Data, std::size_t Size)
{
    if (Size == 0)
        return {0, {}};
    return {Data[0], TextOf(Data + 1, Size - 1)};
}

}  // namespace fuzz_test
