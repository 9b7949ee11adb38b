// SPDX-License-Identifier: MIT
// The component's errors: EComPort's numbered texts, and the application's
// error display. Any thread may install a display or report an error; the
// display runs on the reporting thread, outside the lock, so a display may
// itself install another one.
#include "cport/comport.h"

#include <array>
#include <cstdio>
#include <mutex>

namespace cport {

namespace {

// Texts of codes 1 to 24, in code order. Codes nothing raises any more keep
// their place so that the numbers of the others stay as they were; new codes
// go at the end.
constexpr std::array<const char*, 24> CodeTexts = {
    "Unable to open com port",                           // 1
    "WriteFile function failed",                         // 2
    "ReadFile function failed",                          // 3
    "Invalid Async parameter",                           // 4
    "PurgeComm function failed",                         // 5
    "Unable to get async status",                        // 6
    "SetCommState function failed",                      // 7
    "SetCommTimeouts failed",                            // 8
    "SetupComm function failed",                         // 9
    "ClearCommError function failed",                    // 10
    "GetCommModemStatus function failed",                // 11
    "EscapeCommFunction function failed",                // 12
    "TransmitCommChar function failed",                  // 13
    "Cannot set property while connected",               // 14
    "EnumPorts function failed",                         // 15
    "Failed to store settings",                          // 16
    "Failed to load settings",                           // 17
    "Link (un)registration failed",                      // 18
    "Cannot change led state if ComPort is selected",    // 19
    "Cannot wait for event if event thread is created",  // 20
    "WaitForEvent method failed",                        // 21
    "A component is linked to OnRxBuf event",            // 22
    "Registry error",                                    // 23
    "Unable to set RS-485 mode",                         // 24
};

std::string MessageWithSystemError(int32_t Code, int32_t SystemError)
{
    return EComPort::CodeText(Code) + " (win error code: " + std::to_string(SystemError) + ")";
}

}  // namespace

std::string EComPort::CodeText(int32_t Code)
{
    if (Code < 1 || Code > static_cast<int32_t>(CodeTexts.size()))
        return "Unknown com port error " + std::to_string(Code);
    return CodeTexts[static_cast<size_t>(Code - 1)];
}

EComPort::EComPort(int32_t Code, int32_t SystemError)
    : std::runtime_error(MessageWithSystemError(Code, SystemError)), Code_(Code), System_(SystemError)
{}

EComPort::EComPort(int32_t Code, int32_t SystemError, const std::string& Reason)
    : std::runtime_error(MessageWithSystemError(Code, SystemError) + "\n" + Reason), Code_(Code), System_(SystemError)
{}

EComPort::EComPort(int32_t Code) : std::runtime_error(CodeText(Code)), Code_(Code), System_(-1) {}

// ---------------------------------------------------------------------------
// The application's default error display.

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
