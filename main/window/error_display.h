#pragma once

#include <QString>

#include <exception>
#include <functional>

// The application's default error display. An error raised in a handler
// ends that handler; the handler's wrapper (RunGuarded) catches it and shows
// its message here, and the program carries on. By default the message goes
// into a modal error box; tests install a recorder instead.

// The text shown for an error: its message; for a serial-port error caused by
// a permission refusal (EACCES) one more line says how to get access.
QString ErrorMessageText(std::exception_ptr Error);

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
