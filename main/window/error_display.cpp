#include "main/window/error_display.h"

#include <QApplication>
#include <QMessageBox>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "cport/comport.h"

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

}  // namespace

QString ErrorMessageText(std::exception_ptr Error)
{
    try {
        std::rethrow_exception(std::move(Error));
    } catch (const cport::EComPort& Failure) {
        QString Text = QString::fromLocal8Bit(Failure.what());
        if (Failure.SystemErrorCode() == EACCES)
            Text += QStringLiteral(
                "\nYour user may not use this serial port: add it to the \"dialout\" group "
                "(sudo adduser $USER dialout), then log out and log in again.");
        return Text;
    } catch (const std::exception& Failure) {
        return QString::fromLocal8Bit(Failure.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
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
        Text = ErrorMessageText(std::move(Error));
    } catch (...) {
        Text = QStringLiteral("Unknown error");
    }
    ShowErrorMessage(Text);
}

void InstallApplicationErrorDisplay()
{
    cport::SetApplicationErrorDisplay(
        [](std::exception_ptr Error) { ShowApplicationErrorMessage(std::move(Error)); });
}
