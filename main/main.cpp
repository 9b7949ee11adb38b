// SPDX-License-Identifier: MIT
// varnolink-setup: the configuration tool for the VARNOLINK I/O module.

#include <QApplication>
#include <QIcon>

#include <cstdlib>
#include <string_view>

#include "main/window/main_form.h"
#include "main/window/main_window.h"

using namespace varnolink;

int main(int argc, char** argv)
{
    QApplication Application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("varnolink-setup"));
    // Lets desktops match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.varnolink.Setup"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("io.github.varnolink.Setup")));

    QApplication::setApplicationVersion(QStringLiteral(VARNOLINK_VERSION));

    TMainWindow MainWindow;
    MainWindow.show();
    TMainForm& MainForm = *MainWindow.Form();

    // VARNOLINK_TRACE_STATE=1: print what the window shows to stderr.
    if (const char* Trace = std::getenv("VARNOLINK_TRACE_STATE"); Trace != nullptr && std::string_view(Trace) == "1")
        MainForm.EnableStateTrace();

    return QApplication::exec();
}
