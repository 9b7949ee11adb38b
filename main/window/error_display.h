// SPDX-License-Identifier: MIT
// How the window shows errors that end a handler.
#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <string>

namespace varnolink {

// The application's default error display. An error raised in a handler
// ends that handler; the handler's wrapper (RunGuarded) catches it and shows
// its message here, and the program carries on. By default the message goes
// into a modal error box; tests install a recorder instead.

// The text shown for an error: its message; for a serial-port error caused by
// a permission refusal (EACCES) one more line says how to get access.
QString ErrorMessageText(std::exception_ptr Error);

// The text the error box shows: the error's message as its first line, then
// for a serial-port error a reason from the system error number (the device
// is gone, who holds a busy port, the system's text), then the hint of
// ErrorMessageText when there is one.
QString ErrorReportText(std::exception_ptr Error);

// Where the reasons look for the device a failure concerns (the window's
// port); an empty function: no device.
void SetErrorDevicePath(std::function<std::string()> DevicePath);

// Replaces the display of error texts; an empty function restores the
// default error box.
using TErrorMessageDisplay = std::function<void(const QString& Text)>;
void SetErrorMessageDisplay(TErrorMessageDisplay Display);

// Shows a text through the current display. Never throws.
void ShowErrorMessage(const QString& Text);
// Shows an error's text through the current display. Never throws.
void ShowApplicationErrorMessage(std::exception_ptr Error) noexcept;

// Makes the serial component report the errors it cannot pass to a caller
// through the same display.
void InstallApplicationErrorDisplay();

// Runs Handler; an error it raises is shown and goes no further.
template <typename F>
void RunGuarded(F&& Handler) noexcept
{
    try {
        Handler();
    } catch (...) {
        ShowApplicationErrorMessage(std::current_exception());
    }
}

// A Qt slot that runs Handler guarded, whatever the signal's arguments.
template <typename F>
auto Guarded(F Handler)
{
    return [Handler = std::move(Handler)](auto&&...) { RunGuarded(Handler); };
}

}  // namespace varnolink
