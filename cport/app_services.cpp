// SPDX-License-Identifier: MIT
// The application's default error display. Any thread may install a display
// or report an error; the display runs on the reporting thread, outside the
// lock, so a display may itself install another one.
#include "cport/comport.h"

#include <cstdio>
#include <mutex>

namespace cport {

namespace {

std::mutex GDisplayMutex;
TErrorDisplay GDisplay;  // empty: print to stderr

std::string MessageOf(const std::exception_ptr& Error)
{
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
        return "Unknown error";
    }
}

void PrintToStderr(const std::exception_ptr& Error) noexcept
{
    try {
        const std::string Line = MessageOf(Error) + "\n";
        std::fputs(Line.c_str(), stderr);
    } catch (...) {
        std::fputs("Unknown error\n", stderr);
    }
}

}  // namespace

void SetApplicationErrorDisplay(TErrorDisplay Display)
{
    std::lock_guard Lock(GDisplayMutex);
    GDisplay = std::move(Display);
}

// Never throws: a display that fails falls back to stderr for the original
// error.
void ShowApplicationError(std::exception_ptr Error)
{
    if (!Error)
        return;
    TErrorDisplay Display;
    try {
        std::lock_guard Lock(GDisplayMutex);
        Display = GDisplay;
    } catch (...) {
        Display = nullptr;
    }
    if (Display) {
        try {
            Display(Error);
            return;
        } catch (...) {
        }
    }
    PrintToStderr(Error);
}

}  // namespace cport
