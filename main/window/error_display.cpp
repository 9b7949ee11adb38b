// SPDX-License-Identifier: MIT
// The window's error display: a modal box by default, replaceable by tests,
// and the messages it shows.
#include "main/window/error_display.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "cport/comport.h"
#include "main/ports/failure_reason.h"

namespace varnolink {

namespace {

const char* const ErrorBoxTitle = "VARNOLINK I/O Setup";

void ShowErrorBox(const QString& Text)
{
    QMessageBox::critical(QApplication::activeWindow(), QString::fromLatin1(ErrorBoxTitle), Text);
}

TErrorMessageDisplay& CurrentDisplay()
{
    static TErrorMessageDisplay Display;
    return Display;
}

std::function<std::string()>& CurrentDevicePath()
{
    static std::function<std::string()> DevicePath;
    return DevicePath;
}

}  // namespace

QString ErrorMessageText(std::exception_ptr Error)
{
    try {
        std::rethrow_exception(std::move(Error));
    } catch (const cport::EComPort& Failure) {
        QString Text = QString::fromLocal8Bit(Failure.what());
        if (Failure.SystemErrorCode() == EACCES)
            Text += QStringLiteral("\nYour user may not use this serial port: add it to the \"dialout\" group "
                                   "(sudo adduser $USER dialout), then log out and log in again.");
        return Text;
    } catch (const std::exception& Failure) {
        return QString::fromLocal8Bit(Failure.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

QString ErrorReportText(std::exception_ptr Error)
{
    QStringList Lines = ErrorMessageText(Error).split(QLatin1Char('\n'));
    try {
        std::rethrow_exception(std::move(Error));
    } catch (const cport::EComPort& Failure) {
        // A failure that carries its own reason (a network port names the
        // server that refused) needs no second one from the error number.
        const bool HasOwnReason = std::string_view(Failure.what()).find('\n') != std::string_view::npos;
        const std::string Device = CurrentDevicePath() ? CurrentDevicePath()() : std::string();
        const std::string Reason = HasOwnReason ? std::string() : FailureReason(Failure.SystemErrorCode(), Device);
        if (!Reason.empty())
            Lines.insert(1, QString::fromLocal8Bit(Reason.c_str()));
    } catch (...) {
        // Other errors carry no system error number: their text says it all.
    }
    return Lines.join(QLatin1Char('\n'));
}

void SetErrorDevicePath(std::function<std::string()> DevicePath)
{
    CurrentDevicePath() = std::move(DevicePath);
}

void SetErrorMessageDisplay(TErrorMessageDisplay Display)
{
    CurrentDisplay() = std::move(Display);
}

void ShowErrorMessage(const QString& Text)
{
    try {
        if (CurrentDisplay())
            CurrentDisplay()(Text);
        else
            ShowErrorBox(Text);
    } catch (...) {
        // The display itself failed: the message must not get lost.
        std::fprintf(stderr, "varnolink-setup: %s\n", Text.toLocal8Bit().constData());
    }
}

void ShowApplicationErrorMessage(std::exception_ptr Error) noexcept
{
    QString Text;
    try {
        Text = ErrorReportText(std::move(Error));
    } catch (...) {
        Text = QStringLiteral("Unknown error");
    }
    ShowErrorMessage(Text);
}

void InstallApplicationErrorDisplay()
{
    cport::SetApplicationErrorDisplay([](std::exception_ptr Error) { ShowApplicationErrorMessage(std::move(Error)); });
}

}  // namespace varnolink
